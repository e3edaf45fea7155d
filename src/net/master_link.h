#pragma once
// The recording master's side of the instance link: ServerSocket for client instances,
// WDServerSocket (port + 1) for external keep-alive tools, and the push of current
// values. Every client connection has its own receive buffer, capped, so that one
// client's garbage or endless message cannot disturb the others or grow without bound.
// Single-threaded; the push timer comes from the time service.

#include "devproto/instance_codec.h"
#include "net/instance_messages.h"

#include <QString>

#include <memory>
#include <vector>

namespace cvx {

class NetSockets;
class ProbeLists;
class TcpConnection;
class TcpServer;
class TimeService;
class Timer;

class TMasterLink {
public:
    static constexpr int PushDelayMs = 2000;
    // A client that stops reading is dropped once this much waits to be sent to it.
    static constexpr qint64 MaxPendingWriteBytes = 8 * 1024 * 1024;

    TMasterLink(TimeService& time, ProbeLists& probes, NetSockets& sockets, NetAcquisitionHooks hooks = {});
    ~TMasterLink();
    TMasterLink(const TMasterLink&) = delete;
    TMasterLink& operator=(const TMasterLink&) = delete;

    void setHooks(NetAcquisitionHooks hooks) { hooks_ = std::move(hooks); }

    // Where both servers listen; empty: every interface.
    QString ListenAddress;

    // Opens ServerSocket on port and WDServerSocket on port + 1 (each failure logged
    // with "errOpeningServerSocketIs"); true when both listen.
    bool Open(quint16 port);
    // Both servers and every connection; the push timer stops.
    void Close();
    bool Listening() const;
    quint16 Port() const;
    int ClientCount() const;
    int KeepAliveClientCount() const;

    // timReplyPollingReady: arming it while it runs keeps its deadline, so all
    // measurements of a polling cycle go out in one push.
    void ArmPush();
    bool PushArmed() const;
    // The push itself (timReplyPollingReadyTimer): every valid value of every sensor
    // that is not Inactive, one message per sensor and measure type, to every client.
    void Push();
    // Type 3 to every connected client.
    void SendRestartToClients();

    struct Statistics {
        qint64 pushes = 0;
        qint64 messagesPushed = 0;   // messages per push, summed (not multiplied by clients)
        qint64 lastPushTick = 0;
        qint64 maxPushDelayMs = 0;      // from arming to the push
        qint64 maxPushDurationMs = 0;   // encoding and handing every message to the sockets
        qint64 messagesReceived = 0;
        qint64 discardedBytes = 0;
        qint64 droppedSlowClients = 0;
    };
    const Statistics& statistics() const { return stats_; }

private:
    struct Connection;

    void accept(std::unique_ptr<TcpConnection> socket);
    void acceptKeepAlive(std::unique_ptr<TcpConnection> socket);
    void clientRead(Connection& c, const QByteArray& bytes);
    void handleMessage(Connection& c);
    void pollAllNow();
    void switchRelay(Connection& c);
    void keepAliveRead(const QByteArray& bytes);
    void sendToClients(const QByteArray& bytes);
    void sendToKeepAliveClients(const QByteArray& bytes);
    bool send(Connection& c, const QByteArray& bytes);
    void drop(Connection& c);
    void reap();

    TimeService& time_;
    ProbeLists& probes_;
    NetSockets& sockets_;
    NetAcquisitionHooks hooks_;
    std::unique_ptr<TcpServer> server_;
    std::unique_ptr<TcpServer> keepAliveServer_;
    std::vector<std::unique_ptr<Connection>> clients_;
    std::vector<std::unique_ptr<Connection>> keepAliveClients_;
    std::unique_ptr<Timer> timReplyPollingReady_;
    // Closed connections and servers wait here for the reaper, so that none is
    // destroyed inside one of its own callbacks.
    std::vector<std::unique_ptr<TcpServer>> retiredServers_;
    std::unique_ptr<Timer> reaper_;
    TCorvaluxProtocol tx_;
    Statistics stats_;
    qint64 armedAt_ = -1;
};

} // namespace cvx
