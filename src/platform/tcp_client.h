#pragma once
// A TCP client connection as the device link needs it: asynchronous connect with no
// telnet option handling, raw bytes both ways, connection, disconnection and error
// notifications. Notifications arrive on the thread that created the client.

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>

namespace cvx {

class TcpClient {
public:
    struct Events {
        std::function<void()> connected;
        // An established connection ended (closed by the peer or after an error).
        std::function<void()> disconnected;
        // A connection attempt failed, or an established connection broke. The code is
        // the system error number where one applies (ECONNREFUSED 111, ETIMEDOUT 110,
        // EHOSTUNREACH 113, ...), otherwise 1000 + the Qt socket error.
        std::function<void(int code, const QString& message)> error;
        std::function<void(const QByteArray& bytes)> received;
    };

    virtual ~TcpClient() = default;
    virtual void setEvents(Events events) = 0;
    virtual void connectToHost(const QString& host, quint16 port) = 0;
    // Drops the connection or the attempt at once; no notifications follow.
    virtual void close() = 0;
    virtual bool isConnected() const = 0;
    virtual bool write(const QByteArray& bytes, QString* error) = 0;
};

std::unique_ptr<TcpClient> createQtTcpClient();

} // namespace cvx
