// Link engine: the serial and TCP transports of a port link — connection attempts,
// keep-alive, connection events, reading, writing and the relay lines.
#include "link/vbt_comms.h"

#include "link/comm_log.h"

namespace cvx {

using commlog::None;

namespace {
constexpr int RxBufferLimit = 16384;
constexpr int RxBufferKeep = 4096;
constexpr qint64 KeepAliveSeconds = 60;
} // namespace

QString TVBTComms::hostPort() const { return QStringLiteral("%1:%2").arg(Host).arg(Port); }

void TVBTComms::connectTimerTick()
{
    if (processing_)
        return;
    if (!connected_ && connectionState_ == TConnectionState::wasConnected)
        connectionState_ = TConnectionState::none;
    if (active_ && !PortOwner && !connected_ && !connecting_ && !NoPortOpen)
        attemptConnection();
    std::uniform_int_distribution<int> spread(0, 59999);
    connectTimer_->setInterval(30000 + spread(random_));

    if (active_ && connected_ && !Host.isEmpty() && !connecting_ && !NoPortOpen
        && (now() - lastIoTime_) / 1000 > KeepAliveSeconds && tcp_) {
        const QByteArray x("x");
        QString error;
        tcp_->write(x, &error);
        lastIoTime_ = now();
        if (Log_Raw_Data)
            LogPacket(QStringLiteral("KI:"), commlog::RawBytes, x, None, None, None, None, 0, None, true);
    }
}

void TVBTComms::closePort()
{
    if (tcp_)
        tcp_->close();
    if (serial_)
        serial_->close();
}

void TVBTComms::attemptConnection()
{
    closePort();
    if (!Host.isEmpty()) {
        if (!tcp_) {
            tcp_ = transports_.createTcpClient();
            TcpClient::Events ev;
            ev.connected = [this] { onConnected(); };
            ev.disconnected = [this] { onDisconnected(); };
            ev.error = [this](int code, const QString& message) { onTcpError(code, message); };
            ev.received = [this](const QByteArray& bytes) { bytesReceived(bytes); };
            tcp_->setEvents(std::move(ev));
        }
        connecting_ = true;
        lastIoTime_ = now();
        tcp_->connectToHost(Host, quint16(Port));
        return;
    }

    if (!serial_) {
        serial_ = transports_.createSerialPort();
        SerialPort::Events ev;
        ev.received = [this](const QByteArray& bytes) { bytesReceived(bytes); };
        ev.error = [this](int code, const QString& message) { onSerialError(code, message); };
        serial_->setEvents(std::move(ev));
    }
    const bool relays = ReleVezerlesSorosPorton;
    const QString device = SerialDevicePath(Port, SerialDevice);
    SerialPort::OpenFailure why = SerialPort::OpenFailure::NoSuchPort;
    QString message = QStringLiteral("No serial device for port number %1").arg(Port);
    const bool opened = !device.isEmpty()
        && serial_->open(device, Baud, relays && lineStates_[1], relays && lineStates_[2], &why, &message);
    lastIoTime_ = now();
    if (opened) {
        if (relays)
            serial_->setBreak(lineStates_[0]);
        onConnected();
        return;
    }
    closePort();
    connected_ = false;
    connecting_ = false;
    WriteLog(QStringLiteral("Opening port failed: %1 (%2)").arg(message, hostPort()), commlog::OpenFailed);
    connectionState_ = why == SerialPort::OpenFailure::Busy ? TConnectionState::portBusy
        : why == SerialPort::OpenFailure::NoSuchPort       ? TConnectionState::noSuchPort
                                                           : TConnectionState::none;
}

void TVBTComms::onConnected()
{
    WriteLog(QStringLiteral("Connected (%1)").arg(hostPort()), commlog::Connected);
    connected_ = true;
    connecting_ = false;
    rxBuffer_.clear();
    lastIoTime_ = now();
    connectionState_ = TConnectionState::wasConnected;
    auto alive = alive_;
    if (OnConnect) {
        const auto cb = OnConnect;
        cb();
        if (!*alive)
            return;
    }
    const QList<TVBTComms*> clients = clients_;
    for (TVBTComms* c : clients) {
        if (!clients_.contains(c) || !c->OnConnect)
            continue;
        const auto cb = c->OnConnect;
        cb();
        if (!*alive)
            return;
    }
    if (active_ && !sendTick_->isActive())
        sendTick_->start(5);
}

void TVBTComms::onDisconnected()
{
    WriteLog(QStringLiteral("Disconnected (%1)").arg(hostPort()), commlog::Disconnected);
    connected_ = false;
    connecting_ = false;
    rxBuffer_.clear();
    if (destroying_)
        return; // nobody is told anything while the engine goes away
    auto alive = alive_;
    if (OnDisConnect) {
        const auto cb = OnDisConnect;
        cb();
        if (!*alive)
            return;
    }
    const QList<TVBTComms*> clients = clients_;
    for (TVBTComms* c : clients) {
        if (!clients_.contains(c) || !c->OnDisConnect)
            continue;
        const auto cb = c->OnDisConnect;
        cb();
        if (!*alive)
            return;
    }
    // Packets queued meanwhile are dropped one by one by the queue time-out.
    if (active_ && !queue_.empty())
        sendTick_->setEnabled(true);
}

void TVBTComms::onTcpError(int code, const QString& message)
{
    Q_UNUSED(message);
    WriteLog(QStringLiteral("Comm. error: %1 (%2)").arg(code).arg(hostPort()), commlog::CommError);
    connected_ = false;
    connecting_ = false;
    rxBuffer_.clear();
    if (active_ && !queue_.empty())
        sendTick_->setEnabled(true);
}

void TVBTComms::onSerialError(int code, const QString& message)
{
    // The device went away (a USB adapter pulled out): the port is closed and the
    // connect timer opens it again once it is back.
    WriteLog(QStringLiteral("Comm. error: %1 (%2) %3").arg(code).arg(hostPort(), message), commlog::CommError);
    closePort();
    if (connected_)
        onDisconnected();
}

void TVBTComms::bytesReceived(const QByteArray& bytes)
{
    if (!active_)
        return;
    lastIoTime_ = now();
    rxBuffer_ += bytes;
    if (Log_Raw_Data)
        LogPacket(QStringLiteral("BE:"), commlog::RawBytes, bytes, None, None, None, None, 0, None, true);
    if (rxBuffer_.size() > RxBufferLimit) {
        rxBuffer_ = rxBuffer_.right(RxBufferKeep);
        WriteLog(QStringLiteral("Overflow, puffer was truncated."), commlog::General);
    }
    processTick_->setEnabled(true);
}

int TVBTComms::WriteBytes(const QByteArray& frame)
{
    if (PortOwner)
        return PortOwner->WriteBytes(frame);
    QString error;
    bool ok = false;
    if (!Host.isEmpty())
        ok = tcp_ && tcp_->write(frame, &error);
    else
        ok = serial_ && serial_->write(frame, &error);
    if (!ok) {
        if (error.isEmpty())
            error = QStringLiteral("Port is not open");
        LogPacket(QStringLiteral("KHIBA:") + error, commlog::RawBytes, frame, None, None, None, None, 0, None, true);
        return vbt::rcQueueFullOrWrite;
    }
    lastIoTime_ = now();
    if (Log_Raw_Data)
        LogPacket(QStringLiteral("KI:"), commlog::RawBytes, frame, None, None, None, None, 0, None, true);
    return vbt::rcOk;
}

bool TVBTComms::GetLine(int line) const
{
    if (PortOwner)
        return PortOwner->GetLine(line);
    if (line < 1 || line > 3 || !ReleVezerlesSorosPorton || !Host.isEmpty() || !connected_)
        return false;
    return lineStates_[line - 1];
}

void TVBTComms::SetLine(int line, bool state)
{
    if (PortOwner) {
        PortOwner->SetLine(line, state);
        return;
    }
    if (line < 1 || line > 3 || !ReleVezerlesSorosPorton || !Host.isEmpty() || !connected_ || !serial_)
        return;
    lineStates_[line - 1] = state;
    switch (line) {
    case 1: serial_->setBreak(state); break;
    case 2: serial_->setDtr(state); break;
    case 3: serial_->setRts(state); break;
    }
}

} // namespace cvx
