// A client instance's side of the instance link on virtual time: values applied to the
// local sensors, the restart order, the reconnect that finds a new master, requests.
#include "net_fixture.h"

#include "net/client_link.h"
#include "net/master_link.h"

namespace cvx::test {
namespace {

constexpr quint16 Port = 11110;

struct Applied {
    int sensorId;
    int measureType;
    QDateTime time;
    double value;
    bool active, online, recorded;
};

class ClientLinkTest : public NetTest {
protected:
    ClientLinkTest()
    {
        shellState().DbConnected = true;
        net.serverHost = QStringLiteral("10.0.0.1");
        masterServer = net.createServer();
        masterServer->setAcceptHandler([this](std::unique_ptr<TcpConnection> c) {
            c->setEvents({[this](const QByteArray& b) { fromClient += b; }, {}, {}});
            toClient.push_back(std::move(c));
        });
        EXPECT_TRUE(masterServer->listen({}, Port, nullptr));

        NetAcquisitionHooks acq;
        acq.setRemoteValue = [this](TProbe& s, int l, const QDateTime& t, double v, bool a, bool o, bool r) {
            applied.push_back({s.Id, l, t, v, a, o, r});
            s.Values[l] = v;
        };
        acq.handleAnswer = [this](TProbe& s, const QByteArray& a, quint16 code) {
            answers.push_back({s.Id, a});
            EXPECT_EQ(code, 0);
        };
        TClientLink::Hooks hooks;
        hooks.readMasterHost = [this] { return masterApsIp; };
        hooks.restartOrdered = [this] { ++restarts; };
        hooks.answerAwaited = [this] { ++awaited; };
        hooks.answerArrived = [this] { ++arrived; };
        link = std::make_unique<TClientLink>(time, probes, net, acq, hooks);

        iface = &build.addInterface(1, ptVBT, 6000);
        th = &build.addSensor(10, stTempHumidity, *iface);
    }

    void connect()
    {
        link->Open(QStringLiteral("10.0.0.1"), Port);
        net.deliver();
        ASSERT_TRUE(link->Connected());
    }
    void masterSends(const QByteArray& bytes)
    {
        ASSERT_FALSE(toClient.empty());
        toClient.back()->write(bytes, nullptr);
        net.deliver();
    }
    QByteArray value(int id, int l, const QString& v, const QString& t)
    {
        return encodeMessage(0, {{QStringLiteral("CorvaluxID"), QString::number(id)},
                                 {QStringLiteral("UtolsoMeresErtek"), v},
                                 {QStringLiteral("UtolsoMeresIdo"), t},
                                 {QStringLiteral("CorvaluxMerestipusID"), QString::number(l)},
                                 {QStringLiteral("MeresErtekRogzitve"), QStringLiteral("TRUE")},
                                 {QStringLiteral("Aktiv"), QStringLiteral("TRUE")},
                                 {QStringLiteral("Online"), QStringLiteral("FALSE")}});
    }
    int warnings(const QString& fragment) const
    {
        int n = 0;
        for (const QString& e : warningPanel().memo())
            n += e.contains(fragment) ? 1 : 0;
        return n;
    }

    std::unique_ptr<TcpServer> masterServer;
    std::vector<std::unique_ptr<TcpConnection>> toClient;
    QByteArray fromClient;
    std::unique_ptr<TClientLink> link;
    std::vector<Applied> applied;
    std::vector<std::pair<int, QByteArray>> answers;
    QString masterApsIp = QStringLiteral("10.0.0.1");
    int restarts = 0, awaited = 0, arrived = 0;
    TProbe* iface = nullptr;
    TProbe* th = nullptr;
};

// ------------------------------------------------------------------ values

TEST_F(ClientLinkTest, AValuesMessageIsAppliedThroughSetRemoteValue)
{
    connect();
    EXPECT_TRUE(log.contains(QStringLiteral("Kapcsolódtam az adatrögzítő Corvaluxhoz (10.0.0.1:11110)")));
    masterSends(value(10, 1, QStringLiteral("22,5"), QStringLiteral("2024-05-21 09:29:07.365")));
    ASSERT_EQ(applied.size(), 1u);
    const Applied a = applied[0];
    EXPECT_EQ(a.sensorId, 10);
    EXPECT_EQ(a.measureType, 1);
    EXPECT_EQ(a.time, QDateTime(QDate(2024, 5, 21), QTime(9, 29, 7, 365)));
    EXPECT_DOUBLE_EQ(a.value, 22.5);
    EXPECT_TRUE(a.active);
    EXPECT_FALSE(a.online);
    EXPECT_TRUE(a.recorded);
    EXPECT_EQ(arrived, 1);
    EXPECT_EQ(logCount(QStringLiteral("Megérkeztek az első mérési értékek az adatrögzítő Corvaluxtól.")), 1);
    masterSends(value(10, 2, QStringLiteral("40"), QStringLiteral("2024-05-21 09:29:07.365")));
    EXPECT_EQ(logCount(QStringLiteral("Megérkeztek az első mérési értékek")), 1) << "once per connection";
    // The first value: the gap is the interface's poll interval.
    EXPECT_EQ(th->RemoteTime, a.time);
    EXPECT_EQ(th->MeasureGap, 6000);
}

TEST_F(ClientLinkTest, ALaterValueMovesRemoteTimeAndAnEqualOrEarlierOneDoesNot)
{
    connect();
    masterSends(value(10, 1, QStringLiteral("20"), QStringLiteral("2024-05-21 10:00:00.000")));
    masterSends(value(10, 1, QStringLiteral("21"), QStringLiteral("2024-05-21 10:00:30.000")));
    EXPECT_EQ(th->MeasureGap, 30000);
    EXPECT_EQ(th->RemoteTime, QDateTime(QDate(2024, 5, 21), QTime(10, 0, 30)));
    masterSends(value(10, 2, QStringLiteral("40,5"), QStringLiteral("2024-05-21 10:00:30.000")));
    masterSends(value(10, 1, QStringLiteral("19.5"), QStringLiteral("2024-05-21 10:00:10.000")));
    EXPECT_EQ(th->MeasureGap, 30000);
    EXPECT_EQ(th->RemoteTime, QDateTime(QDate(2024, 5, 21), QTime(10, 0, 30)));
    ASSERT_EQ(applied.size(), 4u) << "the value is applied even so";
    EXPECT_DOUBLE_EQ(applied[3].value, 19.5) << "a decimal point reads as well";
    EXPECT_DOUBLE_EQ(th->Values[mtH], 40.5);
}

TEST_F(ClientLinkTest, ValuesForUnknownSensorsOrMeasureTypesTheyLackAreDropped)
{
    connect();
    masterSends(value(99, 1, QStringLiteral("20"), QStringLiteral("2024-05-21 10:00:00.000")));
    masterSends(value(10, 3, QStringLiteral("101"), QStringLiteral("2024-05-21 10:00:00.000")));
    masterSends(value(10, 0, QStringLiteral("1"), QStringLiteral("2024-05-21 10:00:00.000")));
    masterSends(value(10, 21, QStringLiteral("1"), QStringLiteral("2024-05-21 10:00:00.000")));
    EXPECT_TRUE(applied.empty());
    EXPECT_EQ(link->statistics().valuesDropped, 4);
    EXPECT_FALSE(th->RemoteTime.isValid());
    EXPECT_EQ(arrived, 4) << "every values message answers a request";
}

TEST_F(ClientLinkTest, AMalformedValueIsLoggedAndTheNextOneStillArrives)
{
    connect();
    masterSends(value(10, 1, QStringLiteral("hot"), QStringLiteral("2024-05-21 10:00:00.000"))
                + value(10, 1, QStringLiteral("20"), QStringLiteral("yesterday"))
                + value(10, 1, QStringLiteral("21"), QStringLiteral("2024-05-21 10:00:00.000")));
    EXPECT_TRUE(log.contains(QStringLiteral("GetAsFloat failed: hot")));
    EXPECT_TRUE(log.contains(QStringLiteral("GetAsDateTime failed: yesterday")));
    ASSERT_EQ(applied.size(), 1u);
    EXPECT_DOUBLE_EQ(applied[0].value, 21);
}

TEST_F(ClientLinkTest, TheOlderFormHandsTheDeviceAnswerToHandleAnswer)
{
    connect();
    const QByteArray answer("AITGD\x32\x08\x9b\x01\x00,#*", 12);
    TCorvaluxProtocol p;
    p.FieldByName(QStringLiteral("prid")).SetAsInt(10);
    p.FieldByName(QStringLiteral("value")).SetAsBytes(answer);
    p.FieldByName(QStringLiteral("dtime")).SetAsDateTime(QDateTime(QDate(2024, 5, 21), QTime(10, 0)));
    masterSends(p.EncodeWire(0));
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].first, 10);
    EXPECT_EQ(answers[0].second, answer);
    EXPECT_EQ(th->RemoteTime, QDateTime(QDate(2024, 5, 21), QTime(10, 0)));
    EXPECT_TRUE(applied.empty());
}

TEST_F(ClientLinkTest, ABlankAtAReadBoundaryIsKept)
{
    connect();
    const QByteArray msg = value(10, 1, QStringLiteral("22,5"), QStringLiteral("2024-05-21 09:29:07.365"));
    const qsizetype blank = msg.indexOf("21 09") + 2;
    ASSERT_EQ(msg[blank], ' ');
    masterSends(msg.left(blank + 1));   // the chunk ends with the blank
    masterSends(msg.mid(blank + 1));
    ASSERT_EQ(applied.size(), 1u);
    EXPECT_EQ(applied[0].time, QDateTime(QDate(2024, 5, 21), QTime(9, 29, 7, 365)));
}

// ------------------------------------------------------------------ restart

TEST_F(ClientLinkTest, TheRestartMessageStopsAndOrdersTheRestart)
{
    connect();
    masterSends(encodeMessage(3));
    EXPECT_EQ(restarts, 1);
    EXPECT_TRUE(shellState().Stopping);
    EXPECT_TRUE(log.contains(QStringLiteral("Az adatrögzítő újraindítási parancsot küldött.")));
}

TEST_F(ClientLinkTest, WithDevHubTheRestartTravelsAsFiftyThree)
{
    shellState().DevHub_kliens = true;
    connect();
    TCorvaluxProtocol wire;
    EXPECT_EQ(wire.EncodeWire(3), QByteArray("*\"PckType=53\"#"));
    masterSends(wire.EncodeWire(3));
    EXPECT_EQ(restarts, 1);
    shellState().DevHub_kliens = false;
    shellState().Stopping = false;
    masterSends(QByteArray("*\"PckType=53\"#"));
    EXPECT_EQ(restarts, 1) << "53 is a restart only with the same setting";
}

// ------------------------------------------------------------------ connection loss and reconnect

TEST_F(ClientLinkTest, ALostMasterIsWarnedOnceAndFoundAgainElsewhere)
{
    connect();
    const qint64 lost = time.tickMs();
    toClient.back()->close();       // the master closes the connection
    masterServer->close();          // and is gone
    net.deliver();
    EXPECT_FALSE(link->Connected());
    EXPECT_TRUE(link->ReconnectPending());
    EXPECT_EQ(warnings(QStringLiteral("Az adatrögzítő Corvalux megszakította a kapcsolatot")), 1);
    EXPECT_TRUE(log.contains(QStringLiteral("A kapcsolat az adatrögzítő Corvaluxval megszakadt.")));

    // Nothing listens on the old address: every 20 s another attempt.
    run(20000);
    EXPECT_EQ(net.clients[0]->attempts, 2);
    EXPECT_EQ(warnings(QStringLiteral("Nem sikerült kapcsolódni az adatrögzítő Corvaluxhoz")), 1);
    run(20000);
    EXPECT_EQ(net.clients[0]->attempts, 3);

    // A new master registers itself elsewhere; the next attempt reads it afresh.
    net.serverHost = QStringLiteral("10.0.0.2");
    auto newMaster = net.createServer();
    std::vector<std::unique_ptr<TcpConnection>> accepted;
    newMaster->setAcceptHandler([&](std::unique_ptr<TcpConnection> c) { accepted.push_back(std::move(c)); });
    ASSERT_TRUE(newMaster->listen({}, Port, nullptr));
    masterApsIp = QStringLiteral("10.0.0.2");
    run(20000);
    EXPECT_TRUE(link->Connected());
    EXPECT_EQ(link->Host(), QStringLiteral("10.0.0.2"));
    EXPECT_EQ(shellState().RegisteredMasterHost, QStringLiteral("10.0.0.2"));
    EXPECT_EQ(accepted.size(), 1u);
    EXPECT_FALSE(link->ReconnectPending());
    EXPECT_EQ(time.tickMs() - lost, 60000);
    EXPECT_EQ(warnings(QStringLiteral("megszakította a kapcsolatot")), 0) << "connecting closed the panel";
    EXPECT_FALSE(warningPanel().visible());
    run(60000);
    EXPECT_EQ(net.clients[0]->attempts, 4) << "no attempts while connected";
}

TEST_F(ClientLinkTest, AConnectedClientLeavesTheWarningPanelOpenWhenWarningsMustStay)
{
    warningPanel().setMenuAlertsDisappear(false);
    ShowWarning(QStringLiteral("SMS"));
    connect();
    EXPECT_TRUE(warningPanel().visible());
}

TEST_F(ClientLinkTest, NoReconnectAndNoWarningWhileStopping)
{
    connect();
    shellState().Stopping = true;
    toClient.back()->close();
    net.deliver();
    EXPECT_FALSE(link->ReconnectPending());
    EXPECT_TRUE(warningPanel().memo().isEmpty());
    EXPECT_FALSE(log.contains(QStringLiteral("megszakadt")));
}

TEST_F(ClientLinkTest, WithoutARegisteredMasterTheClientKeepsLooking)
{
    masterApsIp.clear();
    link->Open(QString(), Port);
    net.deliver();
    EXPECT_FALSE(link->Connected());
    EXPECT_TRUE(link->ReconnectPending());
    EXPECT_TRUE(warningPanel().memo().isEmpty()) << "nobody to connect to is no connection error";
    run(20000);
    EXPECT_FALSE(link->Connected());
    masterApsIp = QStringLiteral("10.0.0.1");
    run(20000);
    EXPECT_TRUE(link->Connected());
}

TEST_F(ClientLinkTest, TheReconnectButtonLogsAndConnectsAtOnce)
{
    link->Open(QStringLiteral("10.0.0.9"), Port);
    net.deliver();
    EXPECT_FALSE(link->Connected());
    link->ReconnectClicked();
    net.deliver();
    EXPECT_TRUE(log.contains(QStringLiteral("Kézi újrakapcsolódási kísérlet...")));
    EXPECT_TRUE(link->Connected());
}

TEST_F(ClientLinkTest, CloseStopsReconnecting)
{
    link->Open(QStringLiteral("10.0.0.9"), Port);
    net.deliver();
    EXPECT_TRUE(link->ReconnectPending());
    link->Close();
    EXPECT_FALSE(link->ReconnectPending());
    run(40000);
    EXPECT_EQ(net.clients[0]->attempts, 1);
}

// ------------------------------------------------------------------ requests

TEST_F(ClientLinkTest, RequestsReachTheMasterAndPollsAwaitAnAnswer)
{
    EXPECT_FALSE(link->SendRelaySwitch(20, true)) << "not connected";
    connect();
    EXPECT_TRUE(link->SendPollAllNow());
    EXPECT_TRUE(link->SendPollRequest());
    EXPECT_TRUE(link->SendRelaySwitch(20, true));
    EXPECT_TRUE(link->SendEcho());
    net.deliver();
    EXPECT_EQ(awaited, 2);
    const auto msgs = decodeMessages(fromClient);
    ASSERT_EQ(msgs.size(), 4u);
    EXPECT_EQ(msgs[0].type, 2);
    EXPECT_EQ(msgs[1].type, 1);
    EXPECT_EQ(msgs[2].type, 5);
    EXPECT_EQ(msgs[2].get(QStringLiteral("prid")), QStringLiteral("20"));
    EXPECT_EQ(msgs[2].get(QStringLiteral("rsta")), QStringLiteral("TRUE"));
    EXPECT_EQ(msgs[3].type, 4);
}

// ------------------------------------------------------------------ both sides

TEST_F(ClientLinkTest, TheMastersPushReachesTheClientsSensors)
{
    // A master on its own address with its own sensors.
    net.serverHost = QStringLiteral("10.0.0.3");
    ProbeLists masterProbes;
    ProbeBuilder mb(masterProbes);
    TProbe& mi = mb.addInterface(1);
    TProbe& ms = mb.addSensor(10, stTempHumidity, mi);
    ms.LastMeasureTime = QDateTime(QDate(2024, 5, 21), QTime(9, 0));
    ProbeBuilder::setValue(ms, mtT, 22.5);
    ProbeBuilder::setValue(ms, mtH, 41.5);
    TMasterLink master(time, masterProbes, net);
    ASSERT_TRUE(master.Open(Port));
    link->Open(QStringLiteral("10.0.0.3"), Port);
    net.deliver();
    ASSERT_TRUE(link->Connected());
    link->SendPollRequest();
    run(2000);
    ASSERT_EQ(applied.size(), 2u);
    EXPECT_DOUBLE_EQ(th->Values[mtT], 22.5);
    EXPECT_DOUBLE_EQ(th->Values[mtH], 41.5);
    EXPECT_EQ(th->RemoteTime, ms.LastMeasureTime);

    master.SendRestartToClients();
    net.deliver();
    EXPECT_EQ(restarts, 1);
}

} // namespace
} // namespace cvx::test
