#include "platform/tcp_client.h"

#include <QTcpSocket>

#include "platform/socket_error.h"

namespace cvx {
namespace {

class QtTcpClient final : public TcpClient {
public:
    QtTcpClient() { makeSocket(); }
    ~QtTcpClient() override { dropSocket(); }

    void setEvents(Events events) override { events_ = std::move(events); }

    void connectToHost(const QString& host, quint16 port) override
    {
        dropSocket();
        makeSocket();
        socket_->connectToHost(host, port);
    }

    void close() override
    {
        dropSocket();
        makeSocket();
    }

    bool isConnected() const override
    {
        return socket_ && socket_->state() == QAbstractSocket::ConnectedState;
    }

    bool write(const QByteArray& bytes, QString* error) override
    {
        if (!isConnected()) {
            if (error)
                *error = QStringLiteral("Socket is not connected");
            return false;
        }
        const qint64 n = socket_->write(bytes);
        if (n != bytes.size()) {
            if (error)
                *error = socket_->errorString();
            return false;
        }
        return true;
    }

private:
    void makeSocket()
    {
        socket_ = new QTcpSocket();
        // Small frames must leave at once, not wait for Nagle's algorithm.
        socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        QObject::connect(socket_, &QTcpSocket::connected, [this] {
            socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            wasConnected_ = true;
            if (events_.connected)
                events_.connected();
        });
        QObject::connect(socket_, &QTcpSocket::disconnected, [this] {
            if (!wasConnected_)
                return;
            wasConnected_ = false;
            if (events_.disconnected)
                events_.disconnected();
        });
        QObject::connect(socket_, &QTcpSocket::errorOccurred, [this](QAbstractSocket::SocketError e) {
            // A peer that closes is a disconnection, not an error.
            if (e == QAbstractSocket::RemoteHostClosedError)
                return;
            if (events_.error)
                events_.error(SocketErrorNumber(e), socket_->errorString());
        });
        QObject::connect(socket_, &QTcpSocket::readyRead, [this] {
            const QByteArray bytes = socket_->readAll();
            if (!bytes.isEmpty() && events_.received)
                events_.received(bytes);
        });
    }

    void dropSocket()
    {
        if (!socket_)
            return;
        // The socket may be in the middle of emitting a signal: detach it and let the
        // event loop delete it.
        QObject::disconnect(socket_, nullptr, nullptr, nullptr);
        socket_->abort();
        socket_->deleteLater();
        socket_ = nullptr;
        wasConnected_ = false;
    }

    Events events_;
    QTcpSocket* socket_ = nullptr;
    bool wasConnected_ = false;
};

} // namespace

std::unique_ptr<TcpClient> createQtTcpClient() { return std::make_unique<QtTcpClient>(); }

} // namespace cvx
