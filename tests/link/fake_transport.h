#pragma once
// In-memory serial ports and TCP clients for link engine tests: feed received bytes,
// read what was written (with the virtual time of each write), inject open failures,
// write errors, stalled writes, lost devices and dropped connections.

#include "link/link_transport.h"
#include "platform/time_service.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

#include <utility>
#include <vector>

namespace cvx::test {

class FakeTransports;

struct FakeWrite {
    qint64 tick = 0;
    QByteArray bytes;
};

// What both kinds of fake share: the line as the test sees it.
class FakeLine {
public:
    explicit FakeLine(FakeTransports& owner) : owner_(owner) {}
    std::vector<FakeWrite> writes;  // every write that reached the line, in order
    QByteArray stalled;             // written while stalled, not yet on the line
    bool failWrites = false;
    bool stallWrites = false;

    QByteArray written() const
    {
        QByteArray all;
        for (const auto& w : writes)
            all += w.bytes;
        return all;
    }
    void releaseStalled();
    bool acceptWrite(const QByteArray& bytes, QString* error);

protected:
    FakeTransports& owner_;
};

class FakeSerialPort final : public SerialPort, public FakeLine {
public:
    explicit FakeSerialPort(FakeTransports& owner);
    ~FakeSerialPort() override;

    void setEvents(Events events) override { events_ = std::move(events); }
    bool open(const QString& device, int baud, bool dtr, bool rts, OpenFailure* failure, QString* message) override;
    void close() override
    {
        if (open_)
            history.append(QStringLiteral("close"));
        open_ = false;
    }
    bool isOpen() const override { return open_; }
    bool write(const QByteArray& bytes, QString* error) override
    {
        if (!open_) {
            if (error)
                *error = QStringLiteral("Port is not open");
            return false;
        }
        return acceptWrite(bytes, error);
    }
    bool setDtr(bool on) override { return setLineState(QStringLiteral("dtr"), dtr, on); }
    bool setRts(bool on) override { return setLineState(QStringLiteral("rts"), rts, on); }
    bool setBreak(bool on) override { return setLineState(QStringLiteral("break"), brk, on); }

    void feed(const QByteArray& bytes)
    {
        if (open_ && events_.received)
            events_.received(bytes);
    }
    // The device disappears under an open port.
    void lose(int code = 9, const QString& message = QStringLiteral("Device removed"))
    {
        if (open_ && events_.error)
            events_.error(code, message);
    }

    QString device;
    int baud = 0;
    bool dtr = false, rts = false, brk = false;
    QStringList history; // "open /dev/x dtr=1 rts=0", "dtr=1", "break=0", "close"

private:
    bool setLineState(const QString& name, bool& field, bool on)
    {
        if (!open_)
            return false;
        field = on;
        history.append(QStringLiteral("%1=%2").arg(name).arg(on ? 1 : 0));
        return true;
    }
    Events events_;
    bool open_ = false;
};

class FakeTcpClient final : public TcpClient, public FakeLine {
public:
    explicit FakeTcpClient(FakeTransports& owner);
    ~FakeTcpClient() override;

    void setEvents(Events events) override { events_ = std::move(events); }
    void connectToHost(const QString& h, quint16 p) override;
    void close() override
    {
        connecting_ = false;
        connected_ = false;
    }
    bool isConnected() const override { return connected_; }
    bool write(const QByteArray& bytes, QString* error) override
    {
        if (!connected_) {
            if (error)
                *error = QStringLiteral("Socket is not connected");
            return false;
        }
        return acceptWrite(bytes, error);
    }

    bool connecting() const { return connecting_; }
    void completeConnect()
    {
        if (!connecting_)
            return;
        connecting_ = false;
        connected_ = true;
        if (events_.connected)
            events_.connected();
    }
    void refuse(int code = 111, const QString& message = QStringLiteral("Connection refused"))
    {
        if (!connecting_)
            return;
        connecting_ = false;
        if (events_.error)
            events_.error(code, message);
    }
    void dropByPeer()
    {
        if (!connected_)
            return;
        connected_ = false;
        if (events_.disconnected)
            events_.disconnected();
    }
    void breakConnection(int code = 104, const QString& message = QStringLiteral("Connection reset"))
    {
        if (!connected_)
            return;
        if (events_.error)
            events_.error(code, message);
        dropByPeer();
    }
    void feed(const QByteArray& bytes)
    {
        if (connected_ && events_.received)
            events_.received(bytes);
    }

    QString host;
    quint16 port = 0;
    int attempts = 0;

private:
    Events events_;
    bool connecting_ = false;
    bool connected_ = false;
};

class FakeTransports final : public TransportFactory {
public:
    explicit FakeTransports(TimeService* time = nullptr) : time_(time) {}

    std::unique_ptr<SerialPort> createSerialPort() override { return std::make_unique<FakeSerialPort>(*this); }
    std::unique_ptr<TcpClient> createTcpClient() override { return std::make_unique<FakeTcpClient>(*this); }

    // Serial devices that exist; a busy one refuses to open.
    struct Device {
        bool busy = false;
    };
    QMap<QString, Device> devices;
    // TCP connection attempts complete at once when set.
    bool autoConnect = false;
    // When set, a connection attempt is refused at once with this code.
    int refuseCode = 0;

    FakeSerialPort* serial = nullptr; // the current fakes, null once destroyed
    FakeTcpClient* tcp = nullptr;

    FakeLine* line()
    {
        if (tcp)
            return tcp;
        return serial;
    }
    qint64 tick() const { return time_ ? time_->tickMs() : 0; }

private:
    TimeService* time_;
};

inline void FakeLine::releaseStalled()
{
    if (stalled.isEmpty())
        return;
    writes.push_back({owner_.tick(), stalled});
    stalled.clear();
}

inline bool FakeLine::acceptWrite(const QByteArray& bytes, QString* error)
{
    if (failWrites) {
        if (error)
            *error = QStringLiteral("Injected write error");
        return false;
    }
    if (stallWrites)
        stalled += bytes;
    else
        writes.push_back({owner_.tick(), bytes});
    return true;
}

inline FakeSerialPort::FakeSerialPort(FakeTransports& owner) : FakeLine(owner) { owner.serial = this; }
inline FakeSerialPort::~FakeSerialPort()
{
    if (owner_.serial == this)
        owner_.serial = nullptr;
}

inline bool FakeSerialPort::open(const QString& dev, int b, bool d, bool r, OpenFailure* failure, QString* message)
{
    device = dev;
    baud = b;
    auto it = owner_.devices.constFind(dev);
    if (it == owner_.devices.constEnd()) {
        if (failure)
            *failure = OpenFailure::NoSuchPort;
        if (message)
            *message = dev + QStringLiteral(": No such file or directory");
        return false;
    }
    if (it->busy) {
        if (failure)
            *failure = OpenFailure::Busy;
        if (message)
            *message = dev + QStringLiteral(": Device is locked by another program");
        return false;
    }
    open_ = true;
    dtr = d;
    rts = r;
    history.append(QStringLiteral("open %1 dtr=%2 rts=%3").arg(dev).arg(d ? 1 : 0).arg(r ? 1 : 0));
    if (failure)
        *failure = OpenFailure::None;
    return true;
}

inline FakeTcpClient::FakeTcpClient(FakeTransports& owner) : FakeLine(owner) { owner.tcp = this; }
inline FakeTcpClient::~FakeTcpClient()
{
    if (owner_.tcp == this)
        owner_.tcp = nullptr;
}

inline void FakeTcpClient::connectToHost(const QString& h, quint16 p)
{
    host = h;
    port = p;
    ++attempts;
    connected_ = false;
    connecting_ = true;
    if (owner_.refuseCode != 0)
        refuse(owner_.refuseCode);
    else if (owner_.autoConnect)
        completeConnect();
}

} // namespace cvx::test
