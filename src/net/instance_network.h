#pragma once
// The networking of one instance: the master's servers and push, the client's
// connection to its master, and the status web page. The shell's sequences call it
// through ShellSubsystems (setUpSockets, sendRestartToClients, closeSockets,
// setUpWebServer, clientConnected); acquisition arms the push after each measurement.

#include "net/client_link.h"
#include "net/master_link.h"
#include "net/web_status.h"

#include <functional>

namespace cvx {

class NetSockets;
class ProbeLists;
class TimeService;

class InstanceNetwork {
public:
    struct Hooks {
        // Global_settings of the shared database ("" when missing or no database).
        std::function<QString(const QString& key)> readGlobalSetting;
        // The master ordered a restart (ShellController::RestartOrderedByMaster).
        std::function<void()> restartOrdered;
        // Answer supervision of a client (ActivitySupervision).
        std::function<void()> answerAwaited;
        std::function<void()> answerArrived;
    };

    InstanceNetwork(TimeService& time, ProbeLists& probes, Hooks hooks, NetAcquisitionHooks acquisition = {},
                    NetSockets* sockets = nullptr, TWebStatus::ServerFactory httpServers = {});
    ~InstanceNetwork();

    void setAcquisitionHooks(const NetAcquisitionHooks& hooks);

    TMasterLink& Master() { return master_; }
    TClientLink& Client() { return client_; }
    TWebStatus& Web() { return web_; }

    // All three sockets closed; a master listens on "TCPIP_PORT" and "TCPIP_PORT" + 1,
    // a client connects to RegisteredMasterHost.
    void SetUpSockets();
    void SendRestartToClients();
    // Server, keep-alive server, client socket and the reconnect timer.
    void CloseSockets();
    bool ClientConnected() const;
    void SetUpWebServer();
    // Arms the 2000 ms one-shot push to clients (after a new measurement).
    void ArmPush();

private:
    Hooks hooks_;
    TMasterLink master_;
    TClientLink client_;
    TWebStatus web_;
};

} // namespace cvx
