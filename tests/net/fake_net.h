#pragma once
// An in-memory network for the instance link on virtual time: servers listen on
// (host, port), clients connect to them, and every connection, write, close and error
// is queued and happens only when the test calls deliver(), in the order it was caused.
// Writes are recorded with the virtual time at which they were made.

#include "net/net_sockets.h"
#include "platform/time_service.h"

#include <QByteArray>
#include <QMap>
#include <QPair>
#include <QSet>
#include <QString>

#include <deque>
#include <functional>
#include <memory>
#include <vector>

namespace cvx::test {

class FakeNet;
class FakeClient;
class FakeServerConnection;

struct TimedBytes {
    qint64 tick = 0;
    QByteArray bytes;
};

// Both ends of one connection; each end clears its pointer when it goes away.
struct FakePipe {
    FakeClient* client = nullptr;
    FakeServerConnection* server = nullptr;
};

class FakeServerConnection final : public TcpConnection {
public:
    FakeServerConnection(FakeNet& net, std::shared_ptr<FakePipe> pipe, QString address, quint16 port);
    ~FakeServerConnection() override;

    void setEvents(Events events) override { events_ = std::move(events); }
    QString peerAddress() const override { return address_; }
    quint16 peerPort() const override { return port_; }
    bool isConnected() const override { return open_; }
    bool write(const QByteArray& bytes, QString* error) override;
    qint64 pendingWriteBytes() const override { return pendingWrite; }
    void close() override;

    // Test controls.
    void breakWith(int code, const QString& message = QStringLiteral("Connection reset by peer"));
    void receive(const QByteArray& bytes)
    {
        if (open_ && events_.received)
            events_.received(bytes);
    }
    void peerClosed()
    {
        if (!open_)
            return;
        open_ = false;
        if (events_.disconnected)
            events_.disconnected();
    }

    std::vector<TimedBytes> written;
    qint64 pendingWrite = 0;   // what pendingWriteBytes() reports (a peer that stopped reading)
    bool closedByOwner = false;

private:
    FakeNet& net_;
    std::shared_ptr<FakePipe> pipe_;
    Events events_;
    QString address_;
    quint16 port_;
    bool open_ = true;
};

class FakeServer final : public TcpServer {
public:
    FakeServer(FakeNet& net, QString host) : net_(net), host_(std::move(host)) {}
    ~FakeServer() override { close(); }

    void setAcceptHandler(AcceptHandler handler) override { accept_ = std::move(handler); }
    bool listen(const QString& address, quint16 port, QString* error) override;
    void close() override;
    bool isListening() const override { return listening_; }
    quint16 serverPort() const override { return port_; }

    void accept(std::unique_ptr<TcpConnection> c)
    {
        if (accept_)
            accept_(std::move(c));
    }
    const QString& host() const { return host_; }

private:
    FakeNet& net_;
    QString host_;
    quint16 port_ = 0;
    bool listening_ = false;
    AcceptHandler accept_;
};

class FakeClient final : public TcpClient {
public:
    FakeClient(FakeNet& net, QString address) : net_(net), address_(std::move(address)) {}
    ~FakeClient() override;

    void setEvents(Events events) override { events_ = std::move(events); }
    void connectToHost(const QString& host, quint16 port) override;
    void close() override;
    bool isConnected() const override { return connected_; }
    bool write(const QByteArray& bytes, QString* error) override;

    // Called by the network.
    void connectedTo(std::shared_ptr<FakePipe> pipe)
    {
        pipe_ = std::move(pipe);
        connecting_ = false;
        connected_ = true;
        if (events_.connected)
            events_.connected();
    }
    void refused(int code, const QString& message)
    {
        connecting_ = false;
        if (events_.error)
            events_.error(code, message);
    }
    void receive(const QByteArray& bytes)
    {
        if (!connected_)
            return;
        received += bytes;
        if (events_.received)
            events_.received(bytes);
    }
    void peerClosed()
    {
        if (!connected_)
            return;
        connected_ = false;
        pipe_.reset();
        if (events_.disconnected)
            events_.disconnected();
    }

    QString host;
    quint16 port = 0;
    int attempts = 0;
    bool connecting() const { return connecting_; }
    QByteArray received;           // everything received while connected
    std::vector<TimedBytes> written;
    const QString& address() const { return address_; }
    quint16 localPort = 0;

private:
    FakeNet& net_;
    QString address_;
    Events events_;
    std::shared_ptr<FakePipe> pipe_;
    bool connecting_ = false;
    bool connected_ = false;
    quint64 attempt_ = 0;   // events of an older attempt are ignored
};

class FakeNet final : public NetSockets {
public:
    explicit FakeNet(TimeService* time = nullptr) : time_(time) {}

    std::unique_ptr<TcpServer> createServer() override
    {
        return std::make_unique<FakeServer>(*this, serverHost);
    }
    std::unique_ptr<TcpClient> createClient() override
    {
        auto c = std::make_unique<FakeClient>(*this, clientAddress);
        clients.push_back(c.get());
        return c;
    }

    // Host that servers created from now on listen on, and the address of clients.
    QString serverHost = QStringLiteral("10.0.0.1");
    QString clientAddress = QStringLiteral("10.0.0.50");
    QSet<quint16> busyPorts;

    // Runs queued events (and those they cause) until none is left; returns how many ran.
    int deliver()
    {
        int n = 0;
        while (!queue_.empty()) {
            auto ev = std::move(queue_.front());
            queue_.pop_front();
            ev();
            ++n;
        }
        return n;
    }
    void post(std::function<void()> ev) { queue_.push_back(std::move(ev)); }
    qint64 tick() const { return time_ ? time_->tickMs() : 0; }

    FakeServer* serverAt(const QString& host, quint16 port) const { return servers_.value({host, port}, nullptr); }
    void registerServer(FakeServer* s, quint16 port) { servers_.insert({s->host(), port}, s); }
    void unregisterServer(FakeServer* s, quint16 port)
    {
        if (servers_.value({s->host(), port}) == s)
            servers_.remove({s->host(), port});
    }

    // Every client created, null once destroyed; every server-side connection, the same.
    std::vector<FakeClient*> clients;
    std::vector<FakeServerConnection*> connections;
    quint16 nextClientPort = 40000;

private:
    TimeService* time_;
    std::deque<std::function<void()>> queue_;
    QMap<QPair<QString, quint16>, FakeServer*> servers_;
};

// ------------------------------------------------------------------ inline definitions

inline FakeServerConnection::FakeServerConnection(FakeNet& net, std::shared_ptr<FakePipe> pipe, QString address,
                                                  quint16 port)
    : net_(net), pipe_(std::move(pipe)), address_(std::move(address)), port_(port)
{
    pipe_->server = this;
    net_.connections.push_back(this);
}

inline FakeServerConnection::~FakeServerConnection()
{
    if (pipe_->server == this)
        pipe_->server = nullptr;
    for (auto& c : net_.connections)
        if (c == this)
            c = nullptr;
}

inline bool FakeServerConnection::write(const QByteArray& bytes, QString* error)
{
    if (!open_) {
        if (error)
            *error = QStringLiteral("Socket is not connected");
        return false;
    }
    written.push_back({net_.tick(), bytes});
    auto pipe = pipe_;
    net_.post([pipe, bytes] {
        if (pipe->client)
            pipe->client->receive(bytes);
    });
    return true;
}

inline void FakeServerConnection::close()
{
    if (!open_)
        return;
    open_ = false;
    closedByOwner = true;
    auto pipe = pipe_;
    net_.post([pipe] {
        if (pipe->client)
            pipe->client->peerClosed();
    });
}

inline void FakeServerConnection::breakWith(int code, const QString& message)
{
    if (!open_)
        return;
    if (events_.error)
        events_.error(code, message);
    if (open_) {
        open_ = false;
        if (events_.disconnected)
            events_.disconnected();
    }
    auto pipe = pipe_;
    net_.post([pipe] {
        if (pipe->client)
            pipe->client->peerClosed();
    });
}

inline bool FakeServer::listen(const QString&, quint16 port, QString* error)
{
    close();
    if (net_.busyPorts.contains(port) || net_.serverAt(host_, port)) {
        if (error)
            *error = QStringLiteral("The bound address is already in use");
        return false;
    }
    port_ = port;
    listening_ = true;
    net_.registerServer(this, port);
    return true;
}

inline void FakeServer::close()
{
    if (!listening_)
        return;
    listening_ = false;
    net_.unregisterServer(this, port_);
}

inline FakeClient::~FakeClient()
{
    if (pipe_ && pipe_->client == this)
        pipe_->client = nullptr;
    for (auto& c : net_.clients)
        if (c == this)
            c = nullptr;
}

inline void FakeClient::connectToHost(const QString& h, quint16 p)
{
    close();
    host = h;
    port = p;
    ++attempts;
    connecting_ = true;
    const quint64 attempt = ++attempt_;
    FakeNet* net = &net_;
    // The client may be gone by the time the attempt completes.
    auto alive = std::make_shared<FakePipe>();
    alive->client = this;
    pipe_ = alive;
    net_.post([net, alive, attempt, h, p] {
        FakeClient* self = alive->client;
        if (!self || self->attempt_ != attempt || !self->connecting_)
            return;
        FakeServer* server = net->serverAt(h, p);
        if (!server) {
            self->pipe_.reset();
            alive->client = nullptr;
            self->refused(111, QStringLiteral("Connection refused"));
            return;
        }
        self->localPort = net->nextClientPort++;
        auto conn = std::make_unique<FakeServerConnection>(*net, alive, self->address_, self->localPort);
        self->connectedTo(alive);
        server->accept(std::move(conn));
    });
}

inline void FakeClient::close()
{
    connecting_ = false;
    if (!pipe_)
        return;
    auto pipe = pipe_;
    pipe_.reset();
    if (pipe->client == this)
        pipe->client = nullptr;
    if (connected_) {
        connected_ = false;
        net_.post([pipe] {
            if (pipe->server)
                pipe->server->peerClosed();
        });
    }
}

inline bool FakeClient::write(const QByteArray& bytes, QString* error)
{
    if (!connected_ || !pipe_) {
        if (error)
            *error = QStringLiteral("Socket is not connected");
        return false;
    }
    written.push_back({net_.tick(), bytes});
    auto pipe = pipe_;
    net_.post([pipe, bytes] {
        if (pipe->server)
            pipe->server->receive(bytes);
    });
    return true;
}

} // namespace cvx::test
