#include "platform/tcp_server.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include "platform/socket_error.h"

namespace cvx {
namespace {

constexpr int LingerMs = 10000;

QString addressText(const QHostAddress& a)
{
    bool isV4 = false;
    const quint32 v4 = a.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4).toString() : a.toString();
}

class QtTcpConnection final : public TcpConnection {
public:
    explicit QtTcpConnection(QTcpSocket* socket) : socket_(socket)
    {
        socket_->setParent(nullptr);
        socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        address_ = addressText(socket_->peerAddress());
        port_ = socket_->peerPort();
        QObject::connect(socket_, &QTcpSocket::readyRead, [this] {
            const QByteArray bytes = socket_->readAll();
            if (!bytes.isEmpty() && events_.received)
                events_.received(bytes);
        });
        QObject::connect(socket_, &QTcpSocket::errorOccurred, [this](QAbstractSocket::SocketError e) {
            // A peer that closes is a disconnection, not an error.
            if (e == QAbstractSocket::RemoteHostClosedError)
                return;
            if (events_.error)
                events_.error(SocketErrorNumber(e), socket_->errorString());
        });
        QObject::connect(socket_, &QTcpSocket::disconnected, [this] {
            if (events_.disconnected)
                events_.disconnected();
        });
    }
    ~QtTcpConnection() override { close(); }

    void setEvents(Events events) override { events_ = std::move(events); }
    QString peerAddress() const override { return address_; }
    quint16 peerPort() const override { return port_; }
    bool isConnected() const override { return socket_ && socket_->state() == QAbstractSocket::ConnectedState; }

    bool write(const QByteArray& bytes, QString* error) override
    {
        if (!isConnected()) {
            if (error)
                *error = QStringLiteral("Socket is not connected");
            return false;
        }
        if (socket_->write(bytes) != bytes.size()) {
            if (error)
                *error = socket_->errorString();
            return false;
        }
        return true;
    }

    qint64 pendingWriteBytes() const override { return socket_ ? socket_->bytesToWrite() : 0; }

    void close() override
    {
        if (!socket_)
            return;
        QTcpSocket* s = socket_;
        socket_ = nullptr;
        // The socket may be in the middle of emitting a signal: detach it, let the
        // bytes already written go, and let the event loop delete it.
        QObject::disconnect(s, nullptr, nullptr, nullptr);
        if (s->state() == QAbstractSocket::ConnectedState) {
            s->flush();
            QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            QObject::connect(s, &QTcpSocket::errorOccurred, s, &QObject::deleteLater);
            s->disconnectFromHost();
            if (s->state() == QAbstractSocket::UnconnectedState) {
                s->deleteLater();
            } else {
                // A peer that never reads must not keep the socket for ever.
                QTimer::singleShot(LingerMs, s, [s] {
                    s->abort();
                    s->deleteLater();
                });
            }
        } else {
            s->abort();
            s->deleteLater();
        }
    }

private:
    QTcpSocket* socket_;
    Events events_;
    QString address_;
    quint16 port_ = 0;
};

class QtTcpServer final : public TcpServer {
public:
    QtTcpServer()
    {
        QObject::connect(&server_, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* s = server_.nextPendingConnection()) {
                auto c = std::make_unique<QtTcpConnection>(s);
                if (accept_)
                    accept_(std::move(c));
            }
        });
    }
    ~QtTcpServer() override { server_.close(); }

    void setAcceptHandler(AcceptHandler handler) override { accept_ = std::move(handler); }

    bool listen(const QString& address, quint16 port, QString* error) override
    {
        server_.close();
        const QHostAddress a = address.isEmpty() ? QHostAddress(QHostAddress::Any) : QHostAddress(address);
        if (a.isNull()) {
            if (error)
                *error = QStringLiteral("Invalid address: ") + address;
            return false;
        }
        if (!server_.listen(a, port)) {
            if (error)
                *error = server_.errorString();
            return false;
        }
        return true;
    }

    void close() override { server_.close(); }
    bool isListening() const override { return server_.isListening(); }
    quint16 serverPort() const override { return server_.serverPort(); }

private:
    QTcpServer server_;
    AcceptHandler accept_;
};

} // namespace

std::unique_ptr<TcpServer> createQtTcpServer() { return std::make_unique<QtTcpServer>(); }

} // namespace cvx
