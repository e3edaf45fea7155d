#pragma once
// A listening TCP socket and the connections it accepts, as the instance link needs
// them: raw bytes both ways, error and disconnection notifications, and a close that
// lets bytes already written leave first. Notifications arrive on the thread that
// created the server.

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>

namespace cvx {

class TcpConnection {
public:
    struct Events {
        std::function<void(const QByteArray& bytes)> received;
        // The connection broke; the code is the system error number where one applies
        // (ECONNRESET 104, ...), otherwise 1000 + the Qt socket error.
        std::function<void(int code, const QString& message)> error;
        // The peer closed the connection.
        std::function<void()> disconnected;
    };

    virtual ~TcpConnection() = default;
    virtual void setEvents(Events events) = 0;
    // Dotted IPv4 text for IPv4 peers (also when the server listens on both families).
    virtual QString peerAddress() const = 0;
    virtual quint16 peerPort() const = 0;
    virtual bool isConnected() const = 0;
    virtual bool write(const QByteArray& bytes, QString* error) = 0;
    // Bytes written but not yet handed to the system (a peer that does not read).
    virtual qint64 pendingWriteBytes() const = 0;
    // Closes once the bytes already written have left; no notifications follow.
    virtual void close() = 0;
};

class TcpServer {
public:
    using AcceptHandler = std::function<void(std::unique_ptr<TcpConnection>)>;

    virtual ~TcpServer() = default;
    virtual void setAcceptHandler(AcceptHandler handler) = 0;
    // address: empty for every interface of both families, else one address.
    // Port 0 picks a free port (serverPort() tells which).
    virtual bool listen(const QString& address, quint16 port, QString* error) = 0;
    // Stops listening; connections already accepted are not touched.
    virtual void close() = 0;
    virtual bool isListening() const = 0;
    virtual quint16 serverPort() const = 0;
};

std::unique_ptr<TcpServer> createQtTcpServer();

} // namespace cvx
