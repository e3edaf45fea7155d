#pragma once
// A client instance's side of the instance link: ClientSocket to the registered master,
// the values it pushes applied to the local sensors, its restart order, the requests a
// client sends (poll, poll everything now, switch a relay), and the reconnect every
// 20 s that reads the master's address afresh from the shared database.
// Single-threaded; the reconnect timer comes from the time service.

#include "devproto/instance_codec.h"
#include "net/instance_messages.h"

#include <QString>

#include <functional>
#include <memory>

namespace cvx {

class NetSockets;
class ProbeLists;
class TcpClient;
class TimeService;
class Timer;

class TClientLink {
public:
    static constexpr int ReconnectIntervalMs = 20000;

    struct Hooks {
        // Global_settings "Master_apps_IP" as stored now.
        std::function<QString()> readMasterHost;
        // The master ordered a restart (ShellController::RestartOrderedByMaster).
        std::function<void()> restartOrdered;
        // Answer supervision: a request that the master answers with values was sent /
        // values arrived.
        std::function<void()> answerAwaited;
        std::function<void()> answerArrived;
    };

    TClientLink(TimeService& time, ProbeLists& probes, NetSockets& sockets, NetAcquisitionHooks acquisition = {},
                Hooks hooks = {});
    ~TClientLink();
    TClientLink(const TClientLink&) = delete;
    TClientLink& operator=(const TClientLink&) = delete;

    void setAcquisitionHooks(NetAcquisitionHooks hooks) { acq_ = std::move(hooks); }
    void setHooks(Hooks hooks) { hooks_ = std::move(hooks); }

    // Sets host and port and activates ClientSocket.
    void Open(const QString& host, quint16 port);
    // Deactivates ClientSocket and stops the reconnect timer.
    void Close();
    bool Connected() const;
    bool Active() const { return active_; }
    QString Host() const { return host_; }
    quint16 Port() const { return port_; }

    // timKapcsolodas (20000 ms while enabled).
    bool ReconnectPending() const;
    // One reconnect attempt: reads "Master_apps_IP" into RegisteredMasterHost and
    // connects there.
    void Reconnect();
    // The toolbar button "Újracsatlakozás": logs "msgReconnecting", then Reconnect.
    void ReconnectClicked();

    // Requests to the master; false when not connected or the write failed.
    bool SendPollRequest();                       // type 1; an answer is awaited
    bool SendPollAllNow();                        // type 2; an answer is awaited
    bool SendRelaySwitch(int sensorId, bool on);  // type 5
    bool SendEcho();                              // type 4

    struct Statistics {
        qint64 messagesReceived = 0;
        qint64 valuesApplied = 0;
        qint64 valuesDropped = 0;    // no such sensor, or a measure type it does not carry
        qint64 discardedBytes = 0;
        qint64 lastValuesTick = 0;   // tick of the last values message
    };
    const Statistics& statistics() const { return stats_; }
    // Every values message as it arrived (tests and load runs); off by default.
    std::function<void(int sensorId, int measureType, const QDateTime& time, double value)> onValue;

private:
    void connectNow();
    void onConnected();
    void onError(int code, const QString& message);
    void onDisconnected();
    void onReceived(const QByteArray& bytes);
    void handleMessage();
    void applyValues();
    bool send(int messageType);

    TimeService& time_;
    ProbeLists& probes_;
    NetSockets& sockets_;
    NetAcquisitionHooks acq_;
    Hooks hooks_;
    std::unique_ptr<TcpClient> socket_;
    std::unique_ptr<Timer> timKapcsolodas_;
    TCorvaluxProtocol rx_;
    TCorvaluxProtocol tx_;
    QString host_;
    quint16 port_ = 0;
    bool active_ = false;
    bool firstValuesLogged_ = false;
    Statistics stats_;
};

} // namespace cvx
