// The link over real transports: TCP on loopback against a device server in the test,
// and a serial line through a socat pty pair. Timers run on virtual time; only the I/O
// is real.
#include "link_fixture.h"
#include "real_io.h"

#include <QSerialPort>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace cvx::test {
namespace {

class RealLink : public ::testing::Test {
protected:
    RealLink() { resetShellState(); }
    ~RealLink() override
    {
        clients.clear();
        port.reset();
        resetShellState();
    }
    TVBTComms& makePort()
    {
        port = std::make_unique<TVBTComms>(vt); // the Qt serial port and TCP client
        port->LogWriter = &log.naplo;
        return *port;
    }
    TVBTComms& addClient(quint32 address, std::vector<QByteArray>* reads)
    {
        auto c = std::make_unique<TVBTComms>(vt);
        c->PortOwner = port.get();
        c->VBTAddress = address;
        c->OnRead = [reads](const QByteArray& s, quint16, int) { reads->push_back(s); };
        c->SetActive(true);
        clients.push_back(std::move(c));
        return *clients.back();
    }
    // Sends a command and pumps until its result arrives.
    int exchange(const QByteArray& command, quint32 address, QByteArray* answer = nullptr)
    {
        int code = -1;
        auto p = std::make_unique<TKuldendo>(command, address);
        p->ExpectedAnswer = "A" + command.mid(1, 4);
        p->Options = psoTagged;
        p->OnRead = [&](const QByteArray& s, quint16 c, int) {
            code = c;
            if (answer)
                *answer = s;
        };
        p->OnError = [&](const QByteArray&, quint16 c, int) { code = c; };
        SendWith(std::move(p), port.get());
        pumpUntil(vt, *port, [&] { return code >= 0; });
        return code;
    }

    ManualTimeService vt;
    LogFile log;
    std::unique_ptr<TVBTComms> port;
    std::vector<std::unique_ptr<TVBTComms>> clients;
};

// ---- TCP on loopback ---------------------------------------------------------------------

TEST_F(RealLink, PollRoundOverTcpDeliversEachClientsAnswer)
{
    DeviceServer server;
    ASSERT_TRUE(server.start());
    makePort();
    port->Host = QStringLiteral("127.0.0.1");
    port->Port = server.port();
    port->Pollingolo = true;
    port->SetActive(true);
    std::vector<QByteArray> reads[3];
    for (quint32 a = 1; a <= 3; ++a)
        addClient(a, &reads[a - 1]);
    ASSERT_TRUE(pumpUntil(vt, *port, [&] { return !reads[0].empty() && !reads[1].empty() && !reads[2].empty(); }))
        << log.lines().join(u'\n').toStdString();
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(reads[i].front(), QByteArray("AITGD") + char(i + 1) + char(0x08));
    EXPECT_TRUE(log.contains(QStringLiteral("Connected (127.0.0.1:%1)").arg(server.port())));
    EXPECT_EQ(server.connections, 1);
}

TEST_F(RealLink, TcpServerKilledAndRestartedReconnectsWithOneCommError)
{
    DeviceServer server;
    ASSERT_TRUE(server.start());
    const quint16 tcpPort = server.port();
    makePort();
    port->Host = QStringLiteral("127.0.0.1");
    port->Port = tcpPort;
    port->SetActive(true);
    ASSERT_TRUE(pumpUntil(vt, *port, [&] { return port->Connected(); }));
    QByteArray answer;
    ASSERT_EQ(exchange("CSYSI", 5, &answer), 0);
    EXPECT_EQ(answer, QByteArray("ASYSI-ok"));

    server.stop();
    ASSERT_TRUE(pumpUntil(vt, *port, [&] { return !port->Connected(); }));
    // Five minutes of virtual time: several refused attempts, one line.
    const qint64 downSince = vt.tickMs();
    ASSERT_TRUE(pumpFast(vt, [&] { return vt.tickMs() - downSince >= 300'000; }, 120'000));
    EXPECT_EQ(log.count(QStringLiteral("Comm. error: 111 (127.0.0.1:%1)").arg(tcpPort)), 1)
        << log.lines().join(u'\n').toStdString();
    EXPECT_TRUE(log.contains(QStringLiteral("Disconnected (127.0.0.1:%1)").arg(tcpPort)));
    // A command while the server is away fails with "no connection".
    EXPECT_EQ(exchange("CSYSI", 5), 3);

    ASSERT_TRUE(server.start(tcpPort));
    const qint64 upSince = vt.tickMs();
    ASSERT_TRUE(pumpFast(vt, [&] { return port->Connected(); }));
    EXPECT_LE(vt.tickMs() - upSince, 90'000);
    ASSERT_EQ(exchange("CSYSI", 5, &answer), 0);
    EXPECT_EQ(answer, QByteArray("ASYSI-ok"));
    EXPECT_EQ(log.count(QStringLiteral("Connected (127.0.0.1:%1)").arg(tcpPort)), 2);
    EXPECT_EQ(log.count(QStringLiteral("Comm. error")), 1);
}

TEST_F(RealLink, IdleTcpConnectionCarriesTheKeepAliveByte)
{
    DeviceServer server;
    ASSERT_TRUE(server.start());
    makePort();
    port->Host = QStringLiteral("127.0.0.1");
    port->Port = server.port();
    port->SetActive(true);
    ASSERT_TRUE(pumpUntil(vt, *port, [&] { return port->Connected(); }));
    const qint64 since = vt.tickMs();
    ASSERT_TRUE(pumpFast(vt, [&] { return !server.received.isEmpty(); }));
    EXPECT_EQ(server.received, QByteArray("x"));
    EXPECT_GT(vt.tickMs() - since, 60'000);
    EXPECT_LE(vt.tickMs() - since, 151'000);
}

// ---- serial line through a socat pty pair ---------------------------------------------------

class RealSerial : public RealLink {
protected:
    void SetUp() override
    {
        if (!SocatPair::available()) {
            if (serversRequired())
                FAIL() << "socat is required";
            GTEST_SKIP() << "socat not installed";
        }
        linkPath = dir.filePath(QStringLiteral("link"));
        devicePath = dir.filePath(QStringLiteral("device"));
        ASSERT_TRUE(socat.start(linkPath, devicePath));
    }
    // The device end of the line answers frames.
    void openDevice()
    {
        device = std::make_unique<QSerialPort>();
        device->setPortName(devicePath);
        ASSERT_TRUE(device->open(QIODevice::ReadWrite)) << device->errorString().toStdString();
        answerer.write = [this](const QByteArray& b) { device->write(b); };
        QObject::connect(device.get(), &QSerialPort::readyRead, [this] {
            const QByteArray bytes = device->readAll();
            deviceReceived += bytes;
            answerer.received(bytes);
        });
    }
    TVBTComms& makeSerial(const QString& path)
    {
        makePort();
        port->Port = 1;
        port->SerialDevice = path;
        port->Baud = 115200;
        return *port;
    }
    int queuedResult()
    {
        int code = -1;
        auto p = std::make_unique<TKuldendo>("CSYSI", 5);
        p->ExpectedAnswer = "ASYSI";
        p->Options = psoTagged;
        p->OnError = [&](const QByteArray&, quint16 c, int) { code = c; };
        SendWith(std::move(p), port.get());
        pumpUntil(vt, *port, [&] { return code >= 0; });
        return code;
    }

    QTemporaryDir dir;
    QString linkPath, devicePath;
    SocatPair socat;
    std::unique_ptr<QSerialPort> device;
    FrameAnswerer answerer;
    QByteArray deviceReceived;
};

TEST_F(RealSerial, BytesFlowBothWays)
{
    openDevice();
    makeSerial(linkPath);
    port->SetActive(true);
    ASSERT_TRUE(port->Connected()) << log.lines().join(u'\n').toStdString();
    EXPECT_TRUE(log.contains(QStringLiteral("Connected (:1)")));
    QByteArray answer;
    ASSERT_EQ(exchange("CSYSI", 5, &answer), 0);
    EXPECT_EQ(answer, QByteArray("ASYSI-ok"));

    // The device asks for an acknowledgement and gets it over the line.
    TVBTProtocol tx;
    tx.Cimzett = 250;
    tx.Felado = 9;
    tx.Info = kerek_nyugtat;
    tx.CsomagSorszam = 44;
    deviceReceived.clear();
    device->write(tx.EncodeFrame("EELDL\x01"));
    ASSERT_TRUE(pumpUntil(vt, *port, [&] { return deviceReceived.contains(char(0xFE)); }));
    TVBTProtocol rx;
    const QByteArray ack = deviceReceived;
    rx.DecodeFrame(ack);
    EXPECT_EQ(rx.ErrorCode(), 0);
    EXPECT_EQ(rx.Info, pozitiv_nyugta);
    EXPECT_EQ(rx.CsomagSorszam, 44);
    EXPECT_EQ(rx.Cimzett, 9u);
}

TEST_F(RealSerial, MissingDeviceGivesEleven)
{
    makeSerial(dir.filePath(QStringLiteral("no-such-tty")));
    port->SetActive(true);
    EXPECT_FALSE(port->Connected());
    EXPECT_EQ(port->ConnectionState(), TVBTComms::TConnectionState::noSuchPort);
    EXPECT_TRUE(log.contains(QStringLiteral("Opening port failed: %1").arg(dir.filePath(QStringLiteral("no-such-tty")))));
    EXPECT_EQ(queuedResult(), 11);
}

TEST_F(RealSerial, DeviceHeldByAnotherSerialPortGivesTen)
{
    QSerialPort holder;
    holder.setPortName(linkPath);
    ASSERT_TRUE(holder.open(QIODevice::ReadWrite));
    makeSerial(linkPath);
    port->SetActive(true);
    EXPECT_FALSE(port->Connected());
    EXPECT_EQ(port->ConnectionState(), TVBTComms::TConnectionState::portBusy) << log.lines().join(u'\n').toStdString();
    EXPECT_EQ(queuedResult(), 10);

    // Released: the next connect timer event opens it.
    holder.close();
    openDevice();
    ASSERT_TRUE(pumpFast(vt, [&] { return port->Connected(); }));
    EXPECT_EQ(exchange("CSYSI", 5), 0);
}

TEST_F(RealSerial, DeviceLockedByAnotherProgramGivesTen)
{
    // Another program holding an exclusive flock() on the line, as many serial tools do.
    const QByteArray path = QFileInfo(linkPath).canonicalFilePath().toLocal8Bit();
    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    makeSerial(linkPath);
    port->SetActive(true);
    EXPECT_EQ(port->ConnectionState(), TVBTComms::TConnectionState::portBusy) << log.lines().join(u'\n').toStdString();
    EXPECT_EQ(queuedResult(), 10);
    ::close(fd);
}

TEST_F(RealSerial, LineThatGoesAwayIsOpenedAgainWhenItReturns)
{
    openDevice();
    makeSerial(linkPath);
    port->SetActive(true);
    ASSERT_TRUE(port->Connected());
    ASSERT_EQ(exchange("CSYSI", 5), 0);

    device.reset();
    socat.stop();
    ASSERT_TRUE(pumpUntil(vt, *port, [&] { return !port->Connected(); }, 10'000)) << log.lines().join(u'\n').toStdString();
    EXPECT_TRUE(log.contains(QStringLiteral("Disconnected (:1)")));

    ASSERT_TRUE(socat.start(linkPath, devicePath));
    openDevice();
    ASSERT_TRUE(pumpFast(vt, [&] { return port->Connected(); }));
    QByteArray answer;
    ASSERT_EQ(exchange("CSYSI", 5, &answer), 0);
    EXPECT_EQ(answer, QByteArray("ASYSI-ok"));
}

} // namespace
} // namespace cvx::test
