#include "endpoints.h"

#include "faults.h"
#include "platform/time_service.h"
#include "sim_interface.h"
#include "sim_log.h"

#include <QHostAddress>
#include <QPointer>
#include <QTcpSocket>

namespace cvx::vbtsim {

class SocketPort final : public Port {
public:
    explicit SocketPort(QTcpSocket* socket) : socket_(socket) {}
    void write(const QByteArray& bytes) override
    {
        if (socket_)
            socket_->write(bytes);
    }
    void close() override
    {
        // Aborted from the event loop: the interface may be inside its own receive path.
        QPointer<QTcpSocket> s = socket_;
        QMetaObject::invokeMethod(
            socket_, [s] {
                if (s)
                    s->abort();
            },
            Qt::QueuedConnection);
    }

private:
    QPointer<QTcpSocket> socket_;
};

class SerialLinePort final : public Port {
public:
    explicit SerialLinePort(QSerialPort& serial) : serial_(serial) {}
    void write(const QByteArray& bytes) override
    {
        if (serial_.isOpen())
            serial_.write(bytes);
    }
    bool canClose() const override { return false; }
    void close() override {}

private:
    QSerialPort& serial_;
};

TcpEndpoint::TcpEndpoint(SimInterface& iface, SimLog& log, QObject* parent)
    : QObject(parent), iface_(iface), log_(log)
{
    connect(&server_, &QTcpServer::newConnection, this, &TcpEndpoint::accept);
}

TcpEndpoint::~TcpEndpoint()
{
    // The sockets are the server's children and abort when they die; their handlers use
    // members that are gone by then, so they are cut off first.
    server_.close();
    for (QTcpSocket* s : server_.findChildren<QTcpSocket*>()) {
        s->disconnect(this);
        delete s;
    }
    for (auto& [id, port] : ports_)
        iface_.detach(id);
}

bool TcpEndpoint::listen(QString* error)
{
    QHostAddress host;
    const QString h = iface_.endpoint().host;
    if (h == QLatin1String("localhost"))
        host = QHostAddress::LocalHost;
    else if (h == QLatin1String("*") || h == QLatin1String("0.0.0.0"))
        host = QHostAddress::AnyIPv4;
    else if (!host.setAddress(h)) {
        *error = QStringLiteral("not an IP address: %1").arg(h);
        return false;
    }
    if (!server_.listen(host, quint16(iface_.endpoint().port))) {
        *error = server_.errorString();
        return false;
    }
    iface_.setBoundPort(server_.serverPort());
    return true;
}

void TcpEndpoint::accept()
{
    while (QTcpSocket* s = server_.nextPendingConnection()) {
        s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        auto port = std::make_unique<SocketPort>(s);
        const QString peer = QStringLiteral("%1:%2").arg(s->peerAddress().toString()).arg(s->peerPort());
        const int id = iface_.attach(port.get(), peer);
        if (id < 0) {
            connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            continue;
        }
        ports_[id] = std::move(port);
        connect(s, &QTcpSocket::readyRead, this, [this, s, id] { iface_.receive(id, s->readAll()); });
        connect(s, &QTcpSocket::disconnected, this, [this, s, id] {
            iface_.detach(id);
            ports_.erase(id);
            s->deleteLater();
        });
    }
}

SerialEndpoint::SerialEndpoint(SimInterface& iface, SimLog& log, TimeService& time, QObject* parent)
    : QObject(parent), iface_(iface), log_(log)
{
    port_ = std::make_unique<SerialLinePort>(serial_);
    reopenTimer_ = time.createTimer(1000, true, [this] { reopen(); });
    connect(&serial_, &QSerialPort::readyRead, this, [this] {
        const QByteArray bytes = serial_.readAll();
        if (connection_ >= 0)
            iface_.receive(connection_, bytes);
    });
    connect(&serial_, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError e) {
        if (e == QSerialPort::ResourceError || e == QSerialPort::PermissionError)
            lost(serial_.errorString());
    });
}

SerialEndpoint::~SerialEndpoint()
{
    serial_.disconnect(this);
    serial_.close();
    if (connection_ >= 0)
        iface_.detach(connection_);
}

bool SerialEndpoint::open(QString* error)
{
    serial_.setPortName(iface_.endpoint().path);
    const int baud = iface_.faults()[Fault::Slow].active() ? iface_.faults()[Fault::Slow].number : 115200;
    serial_.setBaudRate(baud);
    serial_.setDataBits(QSerialPort::Data8);
    serial_.setParity(QSerialPort::NoParity);
    serial_.setStopBits(QSerialPort::OneStop);
    serial_.setFlowControl(QSerialPort::NoFlowControl);
    if (!serial_.open(QIODevice::ReadWrite)) {
        *error = serial_.errorString();
        return false;
    }
    connection_ = iface_.attach(port_.get(), iface_.endpoint().path);
    return true;
}

void SerialEndpoint::lost(const QString& why)
{
    if (!serial_.isOpen())
        return;
    log_.info(QStringLiteral("%1: serial line %2 lost (%3); trying again every second")
                  .arg(iface_.name(), iface_.endpoint().path, why));
    if (connection_ >= 0)
        iface_.detach(connection_);
    connection_ = -1;
    QMetaObject::invokeMethod(this, [this] { serial_.close(); }, Qt::QueuedConnection);
    reopenTimer_->start();
}

void SerialEndpoint::reopen()
{
    QString error;
    if (!serial_.isOpen() && open(&error)) {
        log_.info(QStringLiteral("%1: serial line %2 open again").arg(iface_.name(), iface_.endpoint().path));
        return;
    }
    reopenTimer_->start();
}

} // namespace cvx::vbtsim
