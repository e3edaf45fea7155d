// Transports of a port link over the in-memory serial port and TCP client: connection
// attempts, keep-alive, connection events, the receive buffer, the relay lines.
#include "link_fixture.h"

namespace cvx::test {
namespace {

class LinkTransport : public LinkTest {};

TEST_F(LinkTransport, TcpConnectsAtStartAndLogsIt)
{
    makeTcpPort();
    port->SetActive(true);
    ASSERT_NE(transports.tcp, nullptr);
    EXPECT_EQ(transports.tcp->host, QStringLiteral("devserver"));
    EXPECT_EQ(transports.tcp->port, 4001);
    EXPECT_TRUE(port->Connected());
    EXPECT_FALSE(port->Connecting());
    EXPECT_EQ(port->ConnectionState(), TVBTComms::TConnectionState::wasConnected);
    EXPECT_TRUE(log.contains(QStringLiteral("VBTPort active.")));
    EXPECT_TRUE(log.contains(QStringLiteral("Connected (devserver:4001)")));
}

TEST_F(LinkTransport, RefusedServerIsLoggedOnceAndRetriedEveryThirtyToNinetySeconds)
{
    transports.refuseCode = 111;
    makeTcpPort(false);
    port->SetActive(true);
    EXPECT_EQ(transports.tcp->attempts, 1);
    EXPECT_FALSE(port->Connecting());
    // First connect timer event 1 to 30 s after the start, then every 30 to 90 s.
    std::vector<qint64> attemptTicks{time.tickMs()};
    for (int s = 0; s < 600; ++s) {
        const int before = transports.tcp->attempts;
        time.advance(1000);
        if (transports.tcp->attempts > before)
            attemptTicks.push_back(time.tickMs());
    }
    ASSERT_GE(attemptTicks.size(), 7u);
    EXPECT_LE(attemptTicks[1] - attemptTicks[0], 30'000);
    for (size_t i = 2; i < attemptTicks.size(); ++i) {
        EXPECT_GE(attemptTicks[i] - attemptTicks[i - 1], 30'000);
        EXPECT_LE(attemptTicks[i] - attemptTicks[i - 1], 90'000);
    }
    EXPECT_EQ(log.count(QStringLiteral("Comm. error: 111 (devserver:4001)")), 1);

    // The server comes back: connected at the next connect timer event.
    transports.refuseCode = 0;
    transports.autoConnect = true;
    time.advance(90'000);
    EXPECT_TRUE(port->Connected());
    EXPECT_TRUE(log.contains(QStringLiteral("Connected (devserver:4001)")));
    // A new run of errors is logged again.
    transports.tcp->breakConnection(104);
    transports.refuseCode = 111;
    time.advance(200'000);
    EXPECT_EQ(log.count(QStringLiteral("Comm. error: 104")), 1);
    EXPECT_EQ(log.count(QStringLiteral("Comm. error: 111")), 2);
    EXPECT_TRUE(log.contains(QStringLiteral("Disconnected (devserver:4001)")));
}

TEST_F(LinkTransport, NoNewAttemptWhileOneIsUnderWay)
{
    makeTcpPort(false);
    port->SetActive(true);
    EXPECT_TRUE(port->Connecting());
    time.advance(200'000);
    EXPECT_EQ(transports.tcp->attempts, 1);
    transports.tcp->completeConnect();
    EXPECT_TRUE(port->Connected());
}

TEST_F(LinkTransport, IdleTcpConnectionGetsOneKeepAliveByteAfterSixtySeconds)
{
    makeTcpPort();
    port->SetActive(true);
    // Connect timer events before 60 s of silence send nothing.
    time.advance(60'000);
    EXPECT_EQ(sentCount(), 0u);
    time.advance(90'000);
    ASSERT_EQ(sentCount(), 1u);
    EXPECT_EQ(line().writes[0].bytes, QByteArray("x"));
    EXPECT_GT(line().writes[0].tick - (time.tickMs() - 150'000), 60'000);
    // Traffic postpones it.
    const size_t n = sentCount();
    for (int i = 0; i < 10; ++i) {
        receive(QByteArray("noise"));
        time.advance(20'000);
    }
    EXPECT_EQ(sentCount(), n);
}

TEST_F(LinkTransport, SerialLinkGetsNoKeepAlive)
{
    makeSerialPort(QStringLiteral("/dev/ttyS2"));
    port->SetActive(true);
    time.advance(400'000);
    EXPECT_EQ(sentCount(), 0u);
}

TEST_F(LinkTransport, GarbageBurstIsCutToItsLastFourKilobytes)
{
    makeTcpPort();
    port->SetActive(true);
    QByteArray burst(20000, 'g');
    for (int i = 0; i < 4096; ++i)
        burst[20000 - 4096 + i] = char('a' + i % 26);
    receive(burst);
    EXPECT_EQ(port->RxBuffer(), burst.right(4096));
    EXPECT_EQ(log.count(QStringLiteral("Overflow, puffer was truncated.")), 1);
    // Frames still come through afterwards.
    SendWith(packet("CSYSI", 5, "ASYSI"), port.get());
    advanceUntilWrite();
    deviceSends(5, "ASYSI", nem_kerek_nyugtat, lastSent().serial);
    EXPECT_EQ(rec.codes(), std::vector<int>{0});
}

TEST_F(LinkTransport, BytesArrivingWhileInactiveAreIgnored)
{
    makeTcpPort();
    port->SetActive(true);
    FakeTcpClient* tcp = transports.tcp;
    port->SetActive(false);
    tcp->feed(QByteArray("abc")); // closed: no notification reaches the link
    EXPECT_TRUE(port->RxBuffer().isEmpty());
}

TEST_F(LinkTransport, MissingSerialPortIsReportedOnceAndOpenedWhenItAppears)
{
    makeSerialPort(QStringLiteral("/dev/ttyUSB7"), false);
    port->SetActive(true);
    EXPECT_FALSE(port->Connected());
    EXPECT_EQ(port->ConnectionState(), TVBTComms::TConnectionState::noSuchPort);
    EXPECT_TRUE(log.contains(QStringLiteral("Opening port failed: /dev/ttyUSB7: No such file or directory (:3)")));
    SendWith(packet("CSYSI", 5, "ASYSI"), port.get());
    time.advance(300);
    EXPECT_EQ(rec.codes(), std::vector<int>{11});

    transports.devices[QStringLiteral("/dev/ttyUSB7")] = {};
    time.advance(90'000);
    EXPECT_TRUE(port->Connected());
    EXPECT_EQ(transports.serial->baud, 115200);
    EXPECT_TRUE(log.contains(QStringLiteral("Connected (:3)")));
    EXPECT_EQ(log.count(QStringLiteral("Opening port failed")), 1);
}

TEST_F(LinkTransport, LostSerialDeviceDisconnectsAndIsReopened)
{
    makeSerialPort(QStringLiteral("/dev/ttyACM0"));
    int disconnects = 0;
    port->OnDisConnect = [&] { ++disconnects; };
    port->SetActive(true);
    ASSERT_TRUE(port->Connected());
    transports.serial->lose(9, QStringLiteral("Device removed"));
    EXPECT_FALSE(port->Connected());
    EXPECT_EQ(disconnects, 1);
    EXPECT_TRUE(log.contains(QStringLiteral("Disconnected (:3)")));
    time.advance(90'000);
    EXPECT_TRUE(port->Connected());
}

TEST_F(LinkTransport, RelayLinesAreSetRecordedAndRaisedAgainAfterAReopen)
{
    makeSerialPort(QStringLiteral("/dev/ttyS0"));
    port->ReleVezerlesSorosPorton = true;
    port->SetActive(true);
    FakeSerialPort* s = transports.serial;
    EXPECT_EQ(s->history.first(), QStringLiteral("open /dev/ttyS0 dtr=0 rts=0"));
    port->SetLine(2, true);
    port->SetLine(1, true);
    EXPECT_TRUE(s->dtr);
    EXPECT_TRUE(s->brk);
    EXPECT_FALSE(s->rts);
    EXPECT_TRUE(port->GetLine(2));
    EXPECT_TRUE(port->GetLine(1));
    EXPECT_FALSE(port->GetLine(3));
    EXPECT_FALSE(port->GetLine(4));

    // The cable is pulled; at the next opening DTR is up as the port opens, then break.
    s->lose();
    time.advance(90'000);
    ASSERT_TRUE(port->Connected());
    const QStringList h = s->history;
    const qsizetype reopen = h.lastIndexOf(QStringLiteral("open /dev/ttyS0 dtr=1 rts=0"));
    ASSERT_GE(reopen, 1) << h.join(u',').toStdString();
    EXPECT_EQ(h.value(reopen + 1), QStringLiteral("break=1"));
    EXPECT_TRUE(port->GetLine(2));

    // Through a client link the port's lines are used.
    TVBTComms& c = addClient(1);
    c.SetActive(true);
    c.SetLine(3, true);
    EXPECT_TRUE(s->rts);
    EXPECT_TRUE(c.GetLine(3));
}

TEST_F(LinkTransport, LinesDoNothingWithoutRelayControlOrOnTcp)
{
    makeSerialPort(QStringLiteral("/dev/ttyS0"));
    port->SetActive(true);
    port->SetLine(2, true);
    EXPECT_FALSE(transports.serial->dtr);
    EXPECT_FALSE(port->GetLine(2));

    clients.clear();
    port.reset();
    makeTcpPort();
    port->ReleVezerlesSorosPorton = true;
    port->SetActive(true);
    port->SetLine(2, true);
    EXPECT_FALSE(port->GetLine(2));
}

TEST_F(LinkTransport, NoPortOpenNeverOpens)
{
    makeSerialPort(QStringLiteral("/dev/ttyS0"));
    port->NoPortOpen = true;
    port->SetActive(true);
    time.advance(300'000);
    EXPECT_FALSE(port->Connected());
    EXPECT_TRUE(transports.serial == nullptr);
}

TEST_F(LinkTransport, DisconnectionKeepsTheQueueForTheQueueTimeout)
{
    makeTcpPort();
    int disconnects = 0;
    port->OnDisConnect = [&] { ++disconnects; };
    port->SetActive(true);
    transports.tcp->dropByPeer();
    EXPECT_EQ(disconnects, 1);
    EXPECT_TRUE(log.contains(QStringLiteral("Disconnected (devserver:4001)")));
    SendWith(packet("CSYSI", 5, "ASYSI"), port.get());
    SendWith(packet("CSYSI", 5, "ASYSI"), port.get());
    EXPECT_EQ(port->QueueCount(), 2);
    time.advance(235);
    EXPECT_EQ(rec.codes(), std::vector<int>{3});
    EXPECT_EQ(port->QueueCount(), 1);
    // Reconnected: the rest is sent.
    transports.autoConnect = true;
    time.advance(90'000);
    ASSERT_TRUE(port->Connected());
    EXPECT_GE(sentCount(), 1u);
}

TEST_F(LinkTransport, StoppingASerialLinkReportsItsDisconnection)
{
    makeSerialPort(QStringLiteral("/dev/ttyS0"));
    int disconnects = 0;
    port->OnDisConnect = [&] { ++disconnects; };
    port->SetActive(true);
    port->SetActive(false);
    EXPECT_EQ(disconnects, 1);
    EXPECT_TRUE(log.contains(QStringLiteral("Disconnected (:3)")));
    EXPECT_EQ(transports.serial->history.last(), QStringLiteral("close"));
}

struct PathCase {
    int port;
    const char* device;
    const char* path;
};

void PrintTo(const PathCase& c, std::ostream* os) { *os << c.port << " '" << c.device << "'"; }

class SerialPath : public ::testing::TestWithParam<PathCase> {};

TEST_P(SerialPath, Maps)
{
    EXPECT_EQ(SerialDevicePath(GetParam().port, QString::fromLatin1(GetParam().device)),
              QString::fromLatin1(GetParam().path));
}

INSTANTIATE_TEST_SUITE_P(Table, SerialPath,
                         ::testing::Values(PathCase{1, "", "/dev/ttyS0"}, PathCase{4, "", "/dev/ttyS3"},
                                           PathCase{99, "", "/dev/ttyS98"}, PathCase{100, "", "/dev/ttyUSB0"},
                                           PathCase{103, "", "/dev/ttyUSB3"}, PathCase{200, "", "/dev/ttyACM0"},
                                           PathCase{0, "", ""}, PathCase{300, "", ""}, PathCase{-1, "", ""},
                                           PathCase{1, "/tmp/vbt-a", "/tmp/vbt-a"},
                                           PathCase{5, "ttyAMA0", "/dev/ttyAMA0"},
                                           PathCase{5, " /dev/serial/by-id/usb-x ", "/dev/serial/by-id/usb-x"}));

} // namespace
} // namespace cvx::test
