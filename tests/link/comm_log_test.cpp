// The communication log: line format, switches, repeated-error suppression, client copies.
#include "link/comm_log.h"
#include "link_fixture.h"
#include "test_support.h"

namespace cvx::test {
namespace {

TEST(CommLogLine, ReceivedAnswerToTheColumn)
{
    const QString line = commlog::PacketLine(QStringLiteral("VALASZ - OK"), commlog::Received, "ASYSI", 5, 250, 7, 35);
    const QString expected = QStringLiteral("         VALASZ - OK") // event, right-aligned in 20
        + QStringLiteral(" ") + QStringLiteral("007. ") + QStringLiteral("       5") + QStringLiteral(" > ")
        + QString(8, u' ') + QStringLiteral(" T:00035") + QStringLiteral(" ") + QStringLiteral("ASYSI     ")
        + QStringLiteral(" ") + QStringLiteral("065 083 089 083 073 ");
    EXPECT_EQ(line, expected);
}

struct LineCase {
    const char* name;
    QString text;
    int level;
    QByteArray data;
    qint64 sender, addressee, serial, elapsed;
    QString expected;
};

void PrintTo(const LineCase& c, std::ostream* os) { *os << c.name; }

class CommLogLines : public ::testing::TestWithParam<LineCase> {};

TEST_P(CommLogLines, Format)
{
    const LineCase c = GetParam();
    EXPECT_EQ(commlog::PacketLine(c.text, c.level, c.data, c.sender, c.addressee, c.serial, c.elapsed), c.expected)
        << c.name;
}

const qint64 N = commlog::None;

INSTANTIATE_TEST_SUITE_P(
    Table, CommLogLines,
    ::testing::Values(
        LineCase{"sent: sender blank, addressee shown", "KIKULD_ACK", 9, "CRLSO\x01", 250, 5, 12, N,
                 "          KIKULD_ACK 012.          >        5         CRLSO#1    067 082 076 083 079 001 "},
        LineCase{"decision: sender blank even when given", "PAR. UJRA 2X", 8, "CSYSI", 5, 5, 250, 110,
                 "        PAR. UJRA 2X 250.          >        5 T:00110 CSYSI      067 083 089 083 073 "},
        LineCase{"undecodable: both blank, no serial", "HIBAS:1 ROSSZ CHSUM,VARUNK", 10, "\xFD\x01", 5, 7, N, 3,
                 "HIBAS:1 ROSSZ CHSUM,    .          >          T:00003 \u00FD#1        253 001 "},
        LineCase{"wide sender", "NEM VART CS", 2, "E", 0x10005, 250, 1, N,
                 "         NEM VART CS 001.    65541 >                  E          069 "},
        LineCase{"long text is cut, long data too", "ABCDEFGHIJKLMNOPQRSTUVWXYZ", 2, "0123456789ABC", 3, 4, 99,
                 123456, "ABCDEFGHIJKLMNOPQRST 099.        3 >        4 T:123456 0123456789 048 049 050 051 052 053 "
                         "054 055 056 057 065 066 067 "},
        LineCase{"raw bytes", "BE:", 1, QByteArray("\x01\xFE\r", 3), N, N, N, N,
                 QStringLiteral("                 BE: ") + QString(32, u' ') + QStringLiteral(" #1\u00FE#13     \r\n")
                     + QString::fromLatin1("\x01\xFE\r", 3)}));

class CommLog : public LinkTest {};

TEST_F(CommLog, LineAboutAClientFrameGoesToThePortAndToThatClient)
{
    makeTcpPort();
    port->SetActive(true);
    LogFile log5, log6;
    TVBTComms& c5 = addClient(5);
    c5.LogWriter = &log5.naplo;
    c5.SetActive(true);
    TVBTComms& c6 = addClient(6);
    c6.LogWriter = &log6.naplo;
    c6.SetActive(true);
    deviceSends(5, "AITGD\x01\x02", nem_kerek_nyugtat, 3);
    EXPECT_EQ(log.count(QStringLiteral("NEM VART CS")), 1);
    EXPECT_EQ(log5.count(QStringLiteral("NEM VART CS")), 1);
    EXPECT_EQ(log6.count(QStringLiteral("NEM VART CS")), 0);
    // Outgoing packets to client 6 land in its log.
    SendWith(packet("CSYSI", 6, "ASYSI"), port.get());
    advanceUntilWrite();
    EXPECT_EQ(log6.count(QStringLiteral("KIKULD")), 1);
    EXPECT_EQ(log5.count(QStringLiteral("KIKULD")), 0);
    clients.clear(); // before their log files go
}

TEST_F(CommLog, ExchangeLinesCarryTheElapsedTime)
{
    makeTcpPort();
    port->SetActive(true);
    SendWith(packet("CSYSI", 5, "ASYSI"), port.get());
    advanceUntilWrite();
    const SentFrame f = lastSent();
    time.advance(35);
    deviceSends(5, "ASYSI", nem_kerek_nyugtat, f.serial);
    const QString expected = QStringLiteral("         VALASZ - OK %1.        5 >          T:00035 ASYSI      065 083 089 083 073 ")
                                 .arg(f.serial, 3, 10, QLatin1Char('0'));
    EXPECT_TRUE(log.lines().contains(expected)) << log.lines().join(u'\n').toStdString();
}

TEST_F(CommLog, RepeatedPortFailureIsWrittenOnceUntilAnotherMessage)
{
    makeSerialPort(QStringLiteral("/dev/ttyMISSING"), false);
    port->SetActive(true);
    for (int i = 0; i < 20; ++i)
        time.advance(90'000);
    EXPECT_EQ(log.count(QStringLiteral("Opening port failed: /dev/ttyMISSING")), 1);
    EXPECT_TRUE(log.contains(QStringLiteral("(:3)")));

    transports.devices[QStringLiteral("/dev/ttyMISSING")] = {};
    time.advance(90'000);
    EXPECT_TRUE(port->Connected());
    EXPECT_TRUE(log.contains(QStringLiteral("Connected (:3)")));
    transports.serial->lose();
    transports.devices.remove(QStringLiteral("/dev/ttyMISSING"));
    for (int i = 0; i < 5; ++i)
        time.advance(90'000);
    EXPECT_EQ(log.count(QStringLiteral("Opening port failed")), 2);
}

TEST_F(CommLog, PollsLeaveNoTraceWithoutPollLog)
{
    makeTcpPort();
    port->Pollingolo = true;
    port->SetActive(true);
    TVBTComms& c = addClient(1);
    c.SetActive(true);
    time.advance(5000);
    ASSERT_GE(sentCount(), 2u);
    EXPECT_FALSE(log.contains(QStringLiteral("POLL")));

    port->Poll_Log = true;
    time.advance(2000);
    EXPECT_TRUE(log.contains(QStringLiteral("POLLING")));
    EXPECT_TRUE(log.contains(QStringLiteral("POLL. SIKERTELEN")));
}

TEST_F(CommLog, EverythingIsLoggedWithMindenNaplozasa)
{
    makeTcpPort();
    port->Pollingolo = true;
    port->MindenNaplozasa = true;
    port->SetActive(true);
    addClient(1).SetActive(true);
    SendWith(packet("AGSWD", 249, {}, psoDontQueue | psoDontLog | psoDontAck), port.get());
    time.advance(300);
    EXPECT_TRUE(log.contains(QStringLiteral("POLLING")));
    EXPECT_TRUE(log.contains(QStringLiteral("GYORSPARANCS")));
}

TEST_F(CommLog, DontLogPacketsStayOutOfTheLog)
{
    makeTcpPort();
    port->SetActive(true);
    SendWith(packet("CSYSI", 5, "ASYSI", psoDontLog), port.get());
    advanceUntilWrite();
    deviceSends(5, "ASYSI", nem_kerek_nyugtat, lastSent().serial);
    EXPECT_EQ(rec.codes(), std::vector<int>{0});
    EXPECT_FALSE(log.contains(QStringLiteral("KIKULD")));
    EXPECT_FALSE(log.contains(QStringLiteral("VALASZ")));
}

TEST_F(CommLog, RawLinesCarryTheBytesUnconverted)
{
    makeTcpPort();
    port->Log_Raw_Data = true;
    port->SetActive(true);
    log.naplo.ConvertToPrintable = true; // the raw line must bypass it
    receive(QByteArray("\x01\x02zz\r", 5));
    const QString text = QString::fromUtf8(log.bytes());
    EXPECT_TRUE(text.contains(QStringLiteral("BE: ")));
    EXPECT_TRUE(text.contains(QStringLiteral("\r\n\x01\x02zz\r"))) << text.toStdString();
    EXPECT_TRUE(log.naplo.ConvertToPrintable) << "switched back after the line";
    // Written frames too.
    SendWith(packet("CSYSI", 5, "ASYSI"), port.get());
    advanceUntilWrite();
    EXPECT_TRUE(QString::fromUtf8(log.bytes()).contains(QStringLiteral("KI: ")));
}

TEST_F(CommLog, LogCommEchoesEveryMessageToTheMainLog)
{
    CapturedMainLog main;
    shellState().LOG_COMM = true;
    makeTcpPort();
    port->SetActive(true);
    EXPECT_TRUE(main.contains(QStringLiteral("VBTPort active.")));
    EXPECT_TRUE(main.contains(QStringLiteral("Connected (devserver:4001)")));
    shellState().LOG_COMM = false;
    port->SetActive(false);
    EXPECT_FALSE(main.contains(QStringLiteral("VBTPort inactive.")));
    EXPECT_TRUE(log.contains(QStringLiteral("VBTPort inactive.")));
}

TEST_F(CommLog, PollLogDefaultComesFromTheProcessSwitch)
{
    shellState().LOG_POLL = true;
    shellState().VbtCommandAttempts = 5;
    shellState().VbtTimeOut1 = 300;
    TVBTComms link(time, &transports);
    EXPECT_TRUE(link.Poll_Log);
    EXPECT_EQ(link.Max_tries_cmd, 5);
    EXPECT_EQ(link.Timeout_1, 300);
    EXPECT_EQ(link.Timeout_2, 160);
}

} // namespace
} // namespace cvx::test
