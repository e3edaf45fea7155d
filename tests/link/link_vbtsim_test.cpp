// End to end against the device simulator, a program written from the protocol
// independently of this engine: over loopback TCP and over a socat pty pair.
#include "link_fixture.h"
#include "real_io.h"
#include "sensor_scenario.h"
#include "test_support.h"
#include "vbtsim_process.h"

#include <QTemporaryDir>

namespace cvx::test {
namespace {

QByteArray expectedAnswer(int address)
{
    const int t = 2000 + 25 * address;
    QByteArray a("AITGD");
    a += char(t & 0xFF);
    a += char(t >> 8);
    a += char(452 & 0xFF);
    a += char(452 >> 8);
    return a;
}

class WithVbtsim : public ::testing::Test {
protected:
    WithVbtsim() { resetShellState(); }
    ~WithVbtsim() override
    {
        clients.clear();
        port.reset();
        resetShellState();
    }
    void SetUp() override
    {
        if (!QFileInfo::exists(binDir() + QStringLiteral("/vbtsim")))
            GTEST_SKIP() << "vbtsim is not built";
    }
    TVBTComms& makePort()
    {
        port = std::make_unique<TVBTComms>(vt);
        port->LogWriter = &log.naplo;
        port->Pollingolo = true;
        port->PollTimerInterval = 2000;
        return *port;
    }
    void addClients(int count)
    {
        reads.assign(size_t(count), {});
        for (int a = 1; a <= count; ++a) {
            auto c = std::make_unique<TVBTComms>(vt);
            c->PortOwner = port.get();
            c->VBTAddress = quint32(a);
            auto* r = &reads[size_t(a - 1)];
            c->OnRead = [r](const QByteArray& s, quint16, int) { r->push_back(s); };
            c->SetActive(true);
            clients.push_back(std::move(c));
        }
    }
    bool everyClientAnswered(size_t atLeast = 1) const
    {
        for (const auto& r : reads)
            if (r.size() < atLeast)
                return false;
        return true;
    }
    size_t totalReads() const
    {
        size_t n = 0;
        for (const auto& r : reads)
            n += r.size();
        return n;
    }
    std::string logText() const { return log.lines().join(u'\n').toStdString(); }

    ManualTimeService vt;
    LogFile log;
    VbtsimProcess sim;
    std::unique_ptr<TVBTComms> port;
    std::vector<std::unique_ptr<TVBTComms>> clients;
    std::vector<std::vector<QByteArray>> reads;
};

TEST_F(WithVbtsim, PollRoundOverTcpDeliversThreeAnswers)
{
    ASSERT_TRUE(sim.start(sensorScenario(3, 0))) << sim.stderrText().toStdString();
    makePort();
    port->Host = QStringLiteral("127.0.0.1");
    port->Port = sim.port(QStringLiteral("room"));
    port->SetActive(true);
    addClients(3);
    ASSERT_TRUE(pumpUntil(vt, *port, [&] { return everyClientAnswered(); })) << logText();
    for (int a = 1; a <= 3; ++a)
        EXPECT_EQ(reads[size_t(a - 1)].front(), expectedAnswer(a)) << a;
}

TEST_F(WithVbtsim, SimulatorKilledAndRestartedGivesOneCommErrorAndTrafficResumes)
{
    ASSERT_TRUE(sim.start(sensorScenario(3, 0)));
    const int tcpPort = sim.port(QStringLiteral("room"));
    makePort();
    port->Host = QStringLiteral("127.0.0.1");
    port->Port = tcpPort;
    port->SetActive(true);
    addClients(3);
    ASSERT_TRUE(pumpUntil(vt, *port, [&] { return everyClientAnswered(); })) << logText();

    sim.kill9();
    ASSERT_TRUE(pumpUntil(vt, *port, [&] { return !port->Connected(); })) << logText();
    const qint64 downSince = vt.tickMs();
    ASSERT_TRUE(pumpFast(vt, [&] { return vt.tickMs() - downSince >= 300'000; }, 120'000));
    EXPECT_EQ(log.count(QStringLiteral("Comm. error: 111 (127.0.0.1:%1)").arg(tcpPort)), 1) << logText();
    const size_t before = totalReads();

    ASSERT_TRUE(sim.start(sensorScenario(3, tcpPort))) << sim.stderrText().toStdString();
    ASSERT_TRUE(pumpFast(vt, [&] { return port->Connected(); })) << logText();
    ASSERT_TRUE(pumpUntil(vt, *port, [&] { return everyClientAnswered(2); })) << logText();
    EXPECT_GT(totalReads(), before);
    EXPECT_EQ(log.count(QStringLiteral("Comm. error")), 1);
    EXPECT_EQ(log.count(QStringLiteral("Connected (127.0.0.1:%1)").arg(tcpPort)), 2);
}

TEST_F(WithVbtsim, CommandsAndFaultsOverTcp)
{
    ASSERT_TRUE(sim.start(sensorScenario(2, 0)));
    makePort();
    port->Pollingolo = false;
    port->Host = QStringLiteral("127.0.0.1");
    port->Port = sim.port(QStringLiteral("room"));
    port->SetActive(true);
    ASSERT_TRUE(pumpUntil(vt, *port, [&] { return port->Connected(); }));

    // A command answered by an independent implementation of the device side.
    int code = -1;
    QByteArray answer;
    SendTagged(
        port.get(), "CSYSI", 1, 0, 0, [&](const QByteArray&, quint16 c, int) { code = c; },
        [&](const QByteArray& s, quint16 c, int) {
            code = c;
            answer = s;
        },
        "ASYSI");
    ASSERT_TRUE(pumpUntil(vt, *port, [&] { return code >= 0; }));
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(answer.startsWith("ASYSI"));
    EXPECT_GE(answer.size(), 5 + 60);

    // A command without answer asks for an ACK and completes with "CSYAC".
    code = -1;
    SendTagged(
        port.get(), "CSYRS", 2, 0, 0, [&](const QByteArray&, quint16 c, int) { code = c; },
        [&](const QByteArray& s, quint16 c, int) {
            code = c;
            answer = s;
        },
        QByteArray());
    ASSERT_TRUE(pumpUntil(vt, *port, [&] { return code >= 0; }));
    EXPECT_EQ(code, 0);
    EXPECT_EQ(answer, QByteArray("CSYAC"));

    // A device that does not know the command answers ASYER: code 7.
    code = -1;
    SendTagged(
        port.get(), "CXXXX", 1, 0, 0, [&](const QByteArray&, quint16 c, int) { code = c; },
        [&](const QByteArray&, quint16 c, int) { code = c; }, "AXXXX");
    ASSERT_TRUE(pumpUntil(vt, *port, [&] { return code >= 0; }));
    EXPECT_EQ(code, 7);
}

class WithVbtsimOnPty : public WithVbtsim {
protected:
    void SetUp() override
    {
        WithVbtsim::SetUp();
        if (IsSkipped())
            return;
        if (!SocatPair::available()) {
            if (serversRequired())
                FAIL() << "socat is required";
            GTEST_SKIP() << "socat not installed";
        }
        linkPath = dir.filePath(QStringLiteral("link"));
        devicePath = dir.filePath(QStringLiteral("device"));
        ASSERT_TRUE(socat.start(linkPath, devicePath));
    }
    QTemporaryDir dir;
    QString linkPath, devicePath;
    SocatPair socat;
};

TEST_F(WithVbtsimOnPty, PollRoundOverASerialLineDeliversThreeAnswers)
{
    ASSERT_TRUE(sim.start(sensorScenario(3, 0, QFileInfo(devicePath).canonicalFilePath())))
        << sim.stderrText().toStdString();
    makePort();
    port->Port = 1;
    port->SerialDevice = linkPath;
    port->SetActive(true);
    ASSERT_TRUE(port->Connected()) << logText();
    addClients(3);
    ASSERT_TRUE(pumpUntil(vt, *port, [&] { return everyClientAnswered(); })) << logText();
    for (int a = 1; a <= 3; ++a)
        EXPECT_EQ(reads[size_t(a - 1)].front(), expectedAnswer(a)) << a;

    // The simulator goes away and comes back on the same line: polls are answered again.
    sim.kill9();
    const size_t before = totalReads();
    ASSERT_TRUE(sim.start(sensorScenario(3, 0, QFileInfo(devicePath).canonicalFilePath())));
    ASSERT_TRUE(pumpUntil(vt, *port, [&] { return totalReads() >= before + 3 && everyClientAnswered(2); }, 30'000))
        << logText();
}

} // namespace
} // namespace cvx::test
