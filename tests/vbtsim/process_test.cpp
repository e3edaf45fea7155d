// vbtsim as a program: started on loopback, spoken to with hand-made frames, checked
// byte for byte, bent through its control channel, killed and started again.
#include "sim_client.h"
#include "sim_harness.h"
#include "test_support.h"
#include "vbtsim_process.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QSerialPort>
#include <QtEndian>
#include <gtest/gtest.h>

#include <csignal>

using namespace cvx::vbtsim;
using namespace cvx::vbtsim::test;
using cvx::test::VbtsimProcess;

namespace {

const QByteArray kScenario = R"({
  "name": "proc",
  "interfaces": [
    {"name": "srv", "protocol": "VBT", "devices": [
      {"name": "th", "address": 5, "type": 4, "values": {"T": 21.5, "H": 45.2},
       "info": {"id": "0A0B0C0D0E0F", "version": "V3.01", "model": "THSIM1", "project": 42, "name": "rack"}},
      {"name": "thp", "address": 8, "type": 5, "values": {"T": -0.5, "H": 99.9, "P": 980.5}},
      {"name": "air", "address": 11, "type": 7, "values": {"AV": 2.5}},
      {"name": "relays", "address": 20, "type": 8, "relays": 4}
    ]},
    {"name": "wsrv", "protocol": "VBTW", "devices": [
      {"name": "wth", "address": 5, "type": 4, "values": {"T": 21.5, "H": 45.2}}
    ]},
    {"name": "dov", "protocol": "DOV", "devices": [
      {"name": "dovdev", "period": 60, "channels": [21.5, -3.25]}
    ]}
  ]
})";

class ProcessTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sim.start(kScenario)) << sim.stderrText().toStdString(); }
    void TearDown() override { EXPECT_EQ(sim.quit(), 0); }

    bool ok(const QString& command)
    {
        const QStringList r = sim.control(command);
        return !r.isEmpty() && r.last() == QLatin1String("ok");
    }

    VbtsimProcess sim;
};

} // namespace

TEST_F(ProcessTest, PrintsOneListeningLinePerPort)
{
    EXPECT_GT(sim.port("srv"), 0);
    EXPECT_GT(sim.port("wsrv"), 0);
    EXPECT_GT(sim.port("dov"), 0);
    EXPECT_GT(sim.controlPort(), 0);
    EXPECT_EQ(sim.stdoutText().count(QStringLiteral("listening ")), 4);
}

TEST_F(ProcessTest, CsysiWorkedExampleIsAcknowledgedAndAnsweredByteForByte)
{
    Client c;
    ASSERT_TRUE(c.connectTo(sim.port("srv")));
    c.send(hex("FD 05 FA 05 11 80 06 01 01 43 53 59 53 49 80 A8 FE"));
    const QByteArray ack = hex("FD FA 05 06 11 80 80 01 01 18 FE");
    const QByteArray got = c.bytes(ack.size() + 20);
    ASSERT_GE(got.size(), ack.size());
    EXPECT_EQ(got.left(ack.size()), ack);
    const auto f = c.frames(2);
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[1].serial, 0x11);
    EXPECT_EQ(f[1].sender, 5u);
    const QByteArray r = f[1].payload;
    ASSERT_EQ(r.size(), 5 + 66);
    EXPECT_EQ(r.left(5), QByteArray("ASYSI"));
    EXPECT_EQ(r.mid(5, 6), hex("0A 0B 0C 0D 0E 0F"));
    EXPECT_EQ(r.mid(11, 11), QByteArray("V3.01THSIM1"));
    EXPECT_EQ(qFromLittleEndian<quint16>(r.constData() + 5 + 25), 42);
    EXPECT_EQ(quint8(r.at(5 + 27)), 4);
    EXPECT_EQ(r.mid(5 + 32, 24), QByteArray("rack").leftJustified(24, ' '));
}

TEST_F(ProcessTest, VbtwWorkedExampleIsAcknowledgedInVbtwFromTheWideAddress)
{
    Client c;
    ASSERT_TRUE(c.connectTo(sim.port("wsrv")));
    c.send(hex("FB 85 80 80 80 7A 80 80 7F 80 7A 41 91 80 85 80 7B 43 53 59 53 49 80 D5 FC"));
    const QByteArray ack = hex("FB 7A 80 80 80 85 80 81 7F 80 85 82 91 80 80 80 7F 96 FC");
    const QByteArray got = c.bytes(ack.size());
    EXPECT_EQ(got.left(ack.size()), ack);
    const auto f = c.frames(2);
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[1].form, FrameForm::Vbtw);
    EXPECT_EQ(f[1].sender, 0x00010005u);
    EXPECT_TRUE(f[1].payload.startsWith("ASYSI"));
}

TEST_F(ProcessTest, PollAnswersFollowTheSensorTypes)
{
    Client c;
    ASSERT_TRUE(c.connectTo(sim.port("srv")));
    c.send(request(5, "c", InfoNoAck, 0x2A));
    const QByteArray expected = hex("FD FA 05 04 2A 80 0B 01 01 41 49 54 47 44 66 08 80 44 01 40 96 FE");
    EXPECT_EQ(c.bytes(expected.size()), expected);
    c.frames(1);
    c.send(request(8, "c", InfoNoAck, 0x2B));
    c.send(request(11, "c", InfoNoAck, 0x2C));
    c.send(request(20, "c", InfoNoAck, 0x2D));
    const auto f = c.frames(3);
    ASSERT_EQ(f.size(), 3u);
    EXPECT_EQ(f[0].payload, QByteArray("AITGD") + hex("CE FF E7 03 14 F6 0E 00")); // -0.50, 99.9, 980.5
    EXPECT_EQ(f[1].payload, QByteArray("AITGD") + hex("FA 00"));
    EXPECT_EQ(f[2].payload, QByteArray("AITGD") + hex("00"));
    EXPECT_EQ(f[2].serial, 0x2D);
}

TEST_F(ProcessTest, RelaysAreSwitchedAndReported)
{
    Client c;
    ASSERT_TRUE(c.connectTo(sim.port("srv")));
    c.send(request(20, QByteArray("CRLSO") + char(1), InfoWantAck, 0x33));
    const QByteArray ack = hex("FD FA 14 06 33 80 80 01 01 49 FE");
    EXPECT_EQ(c.bytes(ack.size()), ack);
    c.frames(1);
    c.send(request(20, QByteArray("CRLGS") + char(1), InfoNoAck, 0x34));
    const QByteArray state = hex("FD FA 14 04 34 80 07 01 01 41 52 4C 47 53 01 80 C9 FE");
    EXPECT_EQ(c.bytes(ack.size() + state.size()).mid(ack.size()), state);
    c.frames(1);
    c.send(request(20, QByteArray("CRLSC") + char(1), InfoWantAck, 0x35));
    c.send(request(20, QByteArray("CRLGS") + char(1), InfoNoAck, 0x36));
    const auto f = c.frames(2);
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[0].info, InfoAck);
    EXPECT_EQ(f[1].payload, QByteArray("ARLGS") + char(0));
}

TEST_F(ProcessTest, ClockIsSetAndRead)
{
    Client c;
    ASSERT_TRUE(c.connectTo(sim.port("srv")));
    // 2024-05-21 09:29:07.36, the packed worked example.
    c.send(request(5, QByteArray("CRTSC") + hex("0F D0 B5 4B A3 A4"), InfoWantAck, 1));
    c.send(request(5, "CRTGC", InfoNoAck, 2));
    const auto f = c.frames(2);
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[0].info, InfoAck);
    ASSERT_TRUE(f[1].payload.startsWith("ARTGC"));
    ASSERT_EQ(f[1].payload.size(), 11);
    // The device's clock runs on from the time set: the year, month, day and hour bits
    // are what was set, the rest moved on by the moments in between.
    EXPECT_EQ(f[1].payload.mid(5, 3), hex("0F D0 B5"));
}

TEST_F(ProcessTest, DovLineGoesToEveryConnection)
{
    Client a, b;
    ASSERT_TRUE(a.connectTo(sim.port("dov")));
    ASSERT_TRUE(b.connectTo(sim.port("dov")));
    // Both connections are accepted before the line is sent.
    for (int i = 0; i < 50 && !sim.control("status").join('\n').contains("DOV tcp 127.0.0.1:" + QString::number(sim.port("dov")) + " connections 2"); ++i)
        ;
    ASSERT_TRUE(ok("measure dovdev"));
    const QByteArray line("*T0=+021.50C T1=-003.25C\r\n");
    EXPECT_EQ(a.bytes(line.size()), line);
    EXPECT_EQ(b.bytes(line.size()), line);
}

// ---- faults through the control channel ---------------------------------------------

struct ProcessFaultCase {
    const char* name;
    const char* command;
    std::function<void(Client&)> check; // after a poll of th (serial 1)
};

void PrintTo(const ProcessFaultCase& c, std::ostream* os) { *os << c.name; }

class ProcessFaults : public ProcessTest, public ::testing::WithParamInterface<ProcessFaultCase> {};

TEST_P(ProcessFaults, BendOneAnswerThenTheDeviceIsItselfAgain)
{
    Client c;
    ASSERT_TRUE(c.connectTo(sim.port("srv")));
    ASSERT_TRUE(ok(QString::fromLatin1(GetParam().command)));
    c.send(request(5, "c", InfoNoAck, 1));
    // A second poll: everything the first one caused is in the stream before its answer.
    c.send(request(5, "c", InfoNoAck, 2));
    GetParam().check(c);
}

INSTANTIATE_TEST_SUITE_P(
    Process, ProcessFaults,
    ::testing::Values(
        ProcessFaultCase{"silence", "fault th silence once",
                         [](Client& c) {
                             const auto f = c.frames(1);
                             ASSERT_EQ(f.size(), 1u);
                             EXPECT_EQ(f[0].serial, 2);
                         }},
        ProcessFaultCase{"nack", "fault th nack once",
                         [](Client& c) {
                             const auto f = c.frames(2);
                             ASSERT_EQ(f.size(), 2u);
                             EXPECT_EQ(f[0].info, InfoNack);
                             EXPECT_EQ(f[0].serial, 1);
                             EXPECT_EQ(f[1].serial, 2);
                         }},
        ProcessFaultCase{"asyer", "fault th asyer once 4",
                         [](Client& c) {
                             const auto f = c.frames(2);
                             ASSERT_EQ(f.size(), 2u);
                             EXPECT_EQ(f[0].payload, QByteArray("ASYER") + char(4));
                             EXPECT_TRUE(f[1].payload.startsWith("AITGD"));
                         }},
        ProcessFaultCase{"wrongserial", "fault th wrongserial once",
                         [](Client& c) {
                             const auto f = c.frames(2);
                             ASSERT_EQ(f.size(), 2u);
                             EXPECT_EQ(f[0].serial, 2);
                             EXPECT_EQ(f[1].serial, 2);
                         }},
        ProcessFaultCase{"garbage", "fault th garbage once 31 32 33",
                         [](Client& c) {
                             const auto f = c.frames(2);
                             ASSERT_EQ(f.size(), 2u);
                             EXPECT_TRUE(c.raw.startsWith("123\xFD"));
                             EXPECT_EQ(c.skipped, QByteArray("123"));
                         }},
        ProcessFaultCase{"tail", "fault th tail once",
                         [](Client& c) {
                             const auto f = c.frames(2);
                             ASSERT_EQ(f.size(), 2u);
                             EXPECT_EQ(f[0].payload, QByteArray("AITGD") + hex("99 F7 3B FE"));
                             EXPECT_EQ(f[1].payload, QByteArray("AITGD") + hex("66 08 C4 01"));
                         }},
        ProcessFaultCase{"delay", "fault th delay once 200",
                         [](Client& c) {
                             // The late answer leaves after the second one's: the line
                             // keeps its order, so both come after the delay, in order.
                             const auto f = c.frames(2);
                             ASSERT_EQ(f.size(), 2u);
                             EXPECT_EQ(f[0].serial, 1);
                             EXPECT_EQ(f[1].serial, 2);
                         }},
        ProcessFaultCase{"slow", "fault srv slow on 9600",
                         [](Client& c) {
                             const auto f = c.frames(2);
                             ASSERT_EQ(f.size(), 2u);
                             EXPECT_EQ(f[1].payload, QByteArray("AITGD") + hex("66 08 C4 01"));
                         }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ProcessTest, DropClosesTheConnectionAndRefuseDropsTheNextOne)
{
    Client c;
    ASSERT_TRUE(c.connectTo(sim.port("srv")));
    c.send(request(5, "c", InfoNoAck, 1));
    ASSERT_EQ(c.frames(1).size(), 1u);
    ASSERT_TRUE(ok("drop srv"));
    EXPECT_TRUE(c.waitDisconnected());

    ASSERT_TRUE(ok("fault srv refuse once"));
    Client refused;
    ASSERT_TRUE(refused.connectTo(sim.port("srv")));
    EXPECT_TRUE(refused.waitDisconnected());
    Client again;
    ASSERT_TRUE(again.connectTo(sim.port("srv")));
    again.send(request(5, "c", InfoNoAck, 3));
    ASSERT_EQ(again.frames(1).size(), 1u);
}

TEST_F(ProcessTest, ControlChannelReportsStatusAndErrors)
{
    const QString status = sim.control("status").join('\n');
    EXPECT_TRUE(status.contains("interface srv VBT tcp 127.0.0.1:" + QString::number(sim.port("srv"))));
    EXPECT_TRUE(status.contains("device relays relay panel address 20"));
    EXPECT_TRUE(sim.control("fault nobody nack on").last().startsWith("error: "));
    EXPECT_TRUE(sim.control("set th T 25").last() == "ok");
    Client c;
    ASSERT_TRUE(c.connectTo(sim.port("srv")));
    c.send(request(5, "c", InfoNoAck, 9));
    const auto f = c.frames(1);
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].payload, QByteArray("AITGD") + hex("C4 09 C4 01"));
}

// ---- whole-process behaviour ---------------------------------------------------------

TEST(ProcessLife, KilledAndRestartedOnTheSamePort)
{
    VbtsimProcess first;
    ASSERT_TRUE(first.start(kScenario));
    const int port = first.port("srv");
    Client c;
    ASSERT_TRUE(c.connectTo(port));
    c.send(request(5, "c", InfoNoAck, 1));
    ASSERT_EQ(c.frames(1).size(), 1u);
    first.kill9();
    EXPECT_TRUE(c.waitDisconnected());

    QByteArray fixed = kScenario;
    fixed.replace(R"({"name": "srv", "protocol": "VBT",)",
                  R"({"name": "srv", "protocol": "VBT", "tcp": {"port": )" + QByteArray::number(port) + "},");
    VbtsimProcess second;
    ASSERT_TRUE(second.start(fixed)) << second.stderrText().toStdString();
    EXPECT_EQ(second.port("srv"), port);
    Client d;
    ASSERT_TRUE(d.connectTo(port));
    d.send(request(5, "c", InfoNoAck, 2));
    const auto f = d.frames(1);
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].serial, 2);
    EXPECT_EQ(second.quit(), 0);
}

TEST(ProcessLife, ServesASerialLine)
{
    // A pty pair: vbtsim on one end, the test on the other.
    QProcess socat;
    socat.setProgram(QStringLiteral("socat"));
    socat.setArguments({QStringLiteral("-d"), QStringLiteral("-d"), QStringLiteral("pty,raw,echo=0"),
                        QStringLiteral("pty,raw,echo=0")});
    socat.start();
    if (!socat.waitForStarted(IoWaitMs))
        GTEST_SKIP() << "socat is not installed";
    QStringList ptys;
    QByteArray err;
    QDeadlineTimer deadline(IoWaitMs);
    while (ptys.size() < 2 && !deadline.hasExpired()) {
        socat.waitForReadyRead(200);
        err += socat.readAllStandardError();
        ptys.clear();
        for (const QByteArray& line : err.split('\n'))
            if (line.contains("PTY is "))
                ptys << QString::fromLatin1(line.mid(line.indexOf("PTY is ") + 7)).trimmed();
    }
    ASSERT_EQ(ptys.size(), 2) << err.toStdString();

    const QByteArray scenario = R"({"interfaces": [{"name": "line", "serial": {"path": ")" + ptys[0].toLatin1()
                                + R"("}, "devices": [{"name": "th", "address": 5, "type": 4, "values": {"T": 21.5, "H": 45.2}}]}]})";
    VbtsimProcess sim;
    ASSERT_TRUE(sim.start(scenario)) << sim.stderrText().toStdString();
    EXPECT_TRUE(sim.stdoutText().contains("serial line " + ptys[0]));

    QSerialPort port;
    port.setPortName(ptys[1]);
    ASSERT_TRUE(port.open(QIODevice::ReadWrite)) << port.errorString().toStdString();
    port.write(encodeFrame(request(5, "c", InfoNoAck, 0x2A)));
    port.waitForBytesWritten(IoWaitMs);
    const QByteArray expected = hex("FD FA 05 04 2A 80 0B 01 01 41 49 54 47 44 66 08 80 44 01 40 96 FE");
    QByteArray got;
    QDeadlineTimer readDeadline(IoWaitMs);
    while (got.size() < expected.size() && !readDeadline.hasExpired()) {
        port.waitForReadyRead(100);
        got += port.readAll();
    }
    EXPECT_EQ(got, expected);
    port.close();
    EXPECT_EQ(sim.quit(), 0);
    socat.terminate();
    socat.waitForFinished(IoWaitMs);
}

TEST(ProcessLife, RejectsABadScenarioWithItsReason)
{
    VbtsimProcess sim;
    EXPECT_FALSE(sim.start(R"({"interfaces": [{"name": "a", "devices": [{"name": "s", "address": 300, "type": 1}]}]})"));
    sim.process().waitForFinished(IoWaitMs);
    EXPECT_EQ(sim.process().exitCode(), 2);
    EXPECT_TRUE(sim.stderrText().contains("interfaces[0].devices[0].address: must be an address from 1 to 249"));
}

TEST(ProcessLife, RefusesAPortInUse)
{
    VbtsimProcess first;
    ASSERT_TRUE(first.start(kScenario));
    VbtsimProcess second;
    EXPECT_FALSE(second.start(R"({"interfaces": [{"name": "a", "tcp": {"port": )"
                              + QByteArray::number(first.port("srv")) + R"(}}]})"));
    second.process().waitForFinished(IoWaitMs);
    EXPECT_EQ(second.process().exitCode(), 3);
    EXPECT_TRUE(second.stderrText().contains("interface a: cannot listen on 127.0.0.1:"));
    EXPECT_EQ(first.quit(), 0);
}

TEST(ProcessLife, VerboseLogFileHoldsTheTraffic)
{
    QTemporaryDir dir;
    const QString logFile = dir.filePath("sim.log");
    VbtsimProcess sim;
    ASSERT_TRUE(sim.start(kScenario, {QStringLiteral("--verbose"), QStringLiteral("--log"), logFile}));
    Client c;
    ASSERT_TRUE(c.connectTo(sim.port("srv")));
    c.send(request(5, "c", InfoNoAck, 7));
    ASSERT_EQ(c.frames(1).size(), 1u);
    EXPECT_EQ(sim.quit(), 0);
    const QString log = cvx::test::readFile(logFile);
    EXPECT_TRUE(log.contains("srv#1 RX VBT 250->5 info=0 serial=7 \"c\" [63]"));
    EXPECT_TRUE(log.contains("srv#1 TX VBT 5->250 info=0 serial=7 \"AITGDf...\" [41 49 54 47 44 66 08 C4 01]"));
}

TEST(ProcessLife, SampleScenariosAreValid)
{
    for (const char* name : {"sample.json", "datalogger.json", "weather.json", "watchdog.json"}) {
        QProcess p;
        p.start(cvx::test::binDir() + "/vbtsim", {"--check", cvx::test::sourceDir() + "/scenarios/" + name});
        ASSERT_TRUE(p.waitForFinished(IoWaitMs));
        EXPECT_EQ(p.exitCode(), 0) << name << ": " << p.readAllStandardError().toStdString();
    }
}

TEST(ProcessLife, LoggerReportsDownloadsAndKeepsStoringWhileNobodyIsConnected)
{
    const QByteArray scenario = R"({"interfaces": [{"name": "bridge", "protocol": "VBTW", "devices": [
      {"name": "t1", "address": 5, "type": 4, "values": {"T": 21.5, "H": 45.2}},
      {"name": "log", "kind": "logger", "address": 249, "interval": 254, "sensors": ["t1"], "prefill": 2}
    ]}]})";
    VbtsimProcess sim;
    ASSERT_TRUE(sim.start(scenario)) << sim.stderrText().toStdString();
    auto le32 = [](quint32 v) {
        QByteArray b(4, '\0');
        qToLittleEndian(v, b.data());
        return b;
    };
    {
        Client c;
        ASSERT_TRUE(c.connectTo(sim.port("bridge")));
        // Wait until the connection is in place before the logger measures.
        c.send(request(249, "CELST", InfoNoAck, 1, FrameForm::Vbtw));
        auto f = c.frames(1);
        ASSERT_EQ(f.size(), 1u);
        EXPECT_EQ(f[0].payload, QByteArray("AELST") + le32(1) + le32(2));
        ASSERT_EQ(sim.control("measure log").last(), "ok");
        f = c.frames(1);
        ASSERT_EQ(f.size(), 1u);
        EXPECT_EQ(f[0].info, InfoWantAck);
        ASSERT_TRUE(f[0].payload.startsWith(QByteArray("EELDL") + le32(3)));
        EXPECT_EQ(f[0].payload.mid(5 + 10, 3), QByteArray("g\x05", 2) + '\0');
        EXPECT_EQ(f[0].payload.mid(5 + 13), hex("66 08 C4 01 00 00 00 00"));
        c.send(request(249, {}, InfoAck, f[0].serial, FrameForm::Vbtw));
    }
    // Nobody connected: the logger goes on storing.
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(sim.control("measure log").last(), "ok");
    Client c;
    ASSERT_TRUE(c.connectTo(sim.port("bridge")));
    c.send(request(249, "CELST", InfoNoAck, 2, FrameForm::Vbtw));
    c.send(request(249, QByteArray("CELDL") + le32(4) + char(5), InfoNoAck, 3, FrameForm::Vbtw));
    const auto f = c.frames(2);
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[0].payload, QByteArray("AELST") + le32(1) + le32(6));
    ASSERT_EQ(f[1].payload.size(), 5 + 3 * 21);
    EXPECT_EQ(f[1].payload.mid(5, 4), le32(4));
    EXPECT_EQ(f[1].payload.mid(5 + 2 * 21, 4), le32(6));
    EXPECT_EQ(sim.quit(), 0);
}

TEST(ProcessLife, WatchdogAnswersHeartbeatsCapturesSmsAndRaisesItsAlarm)
{
    QTemporaryDir dir;
    const QString smsFile = dir.filePath("sms.jsonl");
    const QByteArray scenario = R"({"interfaces": [{"name": "gsmbox", "devices": [
      {"name": "gsm", "kind": "watchdog", "address": 249, "checkInterval": 3600, "failures": 2,
       "alarmPhone": "+36301234567", "alarmText": "PC down", "smsFile": ")" + smsFile.toUtf8() + R"("}]}]})";
    VbtsimProcess sim;
    ASSERT_TRUE(sim.start(scenario)) << sim.stderrText().toStdString();
    {
        Client c;
        ASSERT_TRUE(c.connectTo(sim.port("gsmbox")));
        // The connection is in place once a request of it has been answered.
        c.send(request(249, "CSYSI", InfoNoAck, 1));
        ASSERT_EQ(c.frames(1).size(), 1u);
        ASSERT_EQ(sim.control("check gsm").last(), "ok");
        const auto hb = c.frames(1);
        ASSERT_EQ(hb.size(), 1u);
        EXPECT_EQ(hb[0].payload, QByteArray("CGSWD"));
        // The computer's automatic answer, with the heartbeat's serial.
        c.send(request(249, "AGSWD", InfoNoAck, hb[0].serial));
        // An SMS task.
        QByteArray sms = QByteArray("CGSSM") + QByteArray("+36209876543\0", 13).leftJustified(20, ' ')
                         + QByteArray("Teszt uzenet\0", 13).leftJustified(120, ' ');
        c.send(request(249, sms, InfoWantAck, 2));
        const auto ack = c.frames(1);
        ASSERT_EQ(ack.size(), 1u);
        EXPECT_EQ(ack[0].info, InfoAck);
        ASSERT_EQ(sim.control("check gsm").last(), "ok"); // kept alive: no alarm
    }
    // The computer is gone: two missed checks raise the alarm.
    ASSERT_EQ(sim.control("check gsm").last(), "ok");
    ASSERT_EQ(sim.control("check gsm").last(), "ok");
    EXPECT_EQ(sim.quit(), 0);
    const QStringList lines = cvx::test::readFile(smsFile).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[0].contains(R"("from":"computer")"));
    EXPECT_TRUE(lines[0].contains(R"("number":"+36209876543")"));
    EXPECT_TRUE(lines[0].contains(R"("text":"Teszt uzenet")"));
    EXPECT_TRUE(lines[1].contains(R"("from":"watchdog")"));
    EXPECT_TRUE(lines[1].contains(R"("number":"+36301234567")"));
    EXPECT_TRUE(lines[1].contains(R"("text":"PC down")"));
}

TEST(ProcessLife, StopsCleanlyOnSigterm)
{
    VbtsimProcess sim;
    ASSERT_TRUE(sim.start(kScenario));
    Client c;
    ASSERT_TRUE(c.connectTo(sim.port("srv")));
    ::kill(pid_t(sim.process().processId()), SIGTERM);
    ASSERT_TRUE(sim.process().waitForFinished(IoWaitMs));
    EXPECT_EQ(sim.process().exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(sim.process().exitCode(), 0);
    EXPECT_TRUE(c.waitDisconnected());
    EXPECT_TRUE(sim.stderrText().contains("stopping on a signal"));
}
