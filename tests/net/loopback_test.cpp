// A master-side and client-side object pair over real Qt sockets on loopback, in one
// process. Timers run on virtual time; the test waits on the event loop only for real
// I/O, with a generous bound.
#include "net_fixture.h"

#include "net/client_link.h"
#include "net/master_link.h"

#include <QRandomGenerator>
#include <QTcpSocket>

namespace cvx::test {
namespace {

struct ClientSide {
    ProbeLists probes;
    std::unique_ptr<TClientLink> link;
    std::vector<std::tuple<int, int, double>> values;
    int restarts = 0;
};

class Loopback : public ::testing::Test {
protected:
    Loopback()
    {
        resetShellState();
        warningPanel().reset();
        master.ListenAddress = QStringLiteral("127.0.0.1");
        for (int attempt = 0; attempt < 50 && !master.Listening(); ++attempt) {
            port = quint16(QRandomGenerator::global()->bounded(20000, 60000));
            if (!master.Open(port))
                master.Close();
        }
        EXPECT_TRUE(master.Listening());
        ProbeBuilder mb(masterProbes);
        TProbe& i = mb.addInterface(1);
        for (int id = 1; id <= SensorCount; ++id) {
            TProbe& s = mb.addSensor(id, stTempHumidity, i, QStringLiteral("S%1").arg(id));
            s.LastMeasureTime = QDateTime(QDate(2024, 5, 21), QTime(10, 0));
            ProbeBuilder::setValue(s, mtT, 20.0 + id / 100.0);
            ProbeBuilder::setValue(s, mtH, 40.5);
        }
    }
    ~Loopback() override
    {
        clients.clear();
        master.Close();
        resetShellState();
    }

    ClientSide& addClient()
    {
        auto c = std::make_unique<ClientSide>();
        ClientSide* cs = c.get();
        ProbeBuilder cb(cs->probes);
        TProbe& i = cb.addInterface(1);
        for (int id = 1; id <= SensorCount; ++id)
            cb.addSensor(id, stTempHumidity, i);
        NetAcquisitionHooks acq;
        acq.setRemoteValue = [cs](TProbe& s, int l, const QDateTime&, double v, bool, bool, bool) {
            cs->values.emplace_back(s.Id, l, v);
        };
        TClientLink::Hooks hooks;
        hooks.restartOrdered = [cs] { ++cs->restarts; };
        cs->link = std::make_unique<TClientLink>(time, cs->probes, qtNetSockets(), acq, hooks);
        cs->link->Open(QStringLiteral("127.0.0.1"), port);
        clients.push_back(std::move(c));
        return *cs;
    }

    static constexpr int SensorCount = 200;
    test::VirtualProcessTime vt;
    ManualTimeService& time = vt.time();
    test::CapturedMainLog log;
    ProbeLists masterProbes;
    TMasterLink master{time, masterProbes, qtNetSockets()};
    quint16 port = 0;
    std::vector<std::unique_ptr<ClientSide>> clients;
};

TEST_F(Loopback, APushReachesEveryClientWhole)
{
    for (int i = 0; i < 5; ++i)
        addClient();
    ASSERT_TRUE(waitFor([&] {
        return master.ClientCount() == 5
            && std::all_of(clients.begin(), clients.end(), [](const auto& c) { return c->link->Connected(); });
    }));
    EXPECT_TRUE(log.contains(QStringLiteral("(összesen 5 aktív kapcsolat)")));

    clients[0]->link->SendPollRequest();
    ASSERT_TRUE(waitFor([&] { return master.PushArmed(); }));
    time.advance(TMasterLink::PushDelayMs);
    EXPECT_EQ(master.statistics().messagesPushed, 2 * SensorCount);
    ASSERT_TRUE(waitFor([&] {
        return std::all_of(clients.begin(), clients.end(),
                           [](const auto& c) { return c->values.size() == size_t(2 * SensorCount); });
    }));
    for (const auto& c : clients) {
        EXPECT_EQ(std::get<0>(c->values.front()), 1);
        EXPECT_DOUBLE_EQ(std::get<2>(c->values.front()), 20.01);
        EXPECT_EQ(std::get<0>(c->values.back()), SensorCount);
        EXPECT_DOUBLE_EQ(std::get<2>(c->values.back()), 40.5);
        EXPECT_EQ(c->link->statistics().valuesDropped, 0);
    }
}

TEST_F(Loopback, TheRestartMessageLeavesBeforeTheMasterCloses)
{
    shellState().DevHub_kliens = true;
    ClientSide& a = addClient();
    ClientSide& b = addClient();
    ASSERT_TRUE(waitFor([&] { return master.ClientCount() == 2 && a.link->Connected() && b.link->Connected(); }));
    // As the stop sequence does: the restart message, then every socket closed at once.
    master.SendRestartToClients();
    master.Close();
    ASSERT_TRUE(waitFor([&] { return a.restarts == 1 && b.restarts == 1; }));
    EXPECT_TRUE(shellState().Stopping);
    ASSERT_TRUE(waitFor([&] { return !a.link->Connected() && !b.link->Connected(); }));
    EXPECT_FALSE(a.link->ReconnectPending()) << "a stopping client does not reconnect";
}

TEST_F(Loopback, KeepAliveAndRelayRequestsOverRealSockets)
{
    QTcpSocket k1, k2;
    k1.connectToHost(QStringLiteral("127.0.0.1"), quint16(port + 1));
    k2.connectToHost(QStringLiteral("127.0.0.1"), quint16(port + 1));
    ASSERT_TRUE(waitFor([&] {
        return k1.state() == QAbstractSocket::ConnectedState && k2.state() == QAbstractSocket::ConnectedState
            && master.KeepAliveClientCount() == 2;
    }));
    k1.write("xyz");
    QByteArray got1, got2;
    ASSERT_TRUE(waitFor([&] {
        got1 += k1.readAll();
        got2 += k2.readAll();
        return got1 == "a" && got2 == "a";
    }));

    ClientSide& c = addClient();
    ASSERT_TRUE(waitFor([&] { return c.link->Connected() && master.ClientCount() == 1; }));
    c.link->SendEcho();
    ASSERT_TRUE(waitFor([&] { return master.statistics().messagesReceived == 1; }));
}

TEST_F(Loopback, TheClientNoticesTheMasterGoingAway)
{
    ClientSide& c = addClient();
    ASSERT_TRUE(waitFor([&] { return c.link->Connected() && master.ClientCount() == 1; }));
    master.Close();
    ASSERT_TRUE(waitFor([&] { return !c.link->Connected(); }));
    EXPECT_TRUE(c.link->ReconnectPending());
    EXPECT_TRUE(log.contains(QStringLiteral("A kapcsolat az adatrögzítő Corvaluxval megszakadt.")));
    // The master comes back on the same port; the reconnect timer finds it.
    ASSERT_TRUE(master.Open(port));
    shellState().RegisteredMasterHost = QStringLiteral("127.0.0.1");
    time.advance(TClientLink::ReconnectIntervalMs);
    ASSERT_TRUE(waitFor([&] { return c.link->Connected() && master.ClientCount() == 1; }));
    EXPECT_FALSE(c.link->ReconnectPending());
}

} // namespace
} // namespace cvx::test
