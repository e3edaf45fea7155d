#pragma once
// Connects the instance networking (master/client link, status web page) to the shell:
// the sequences reach it through ShellSubsystems, and it reaches the shell for the
// shared database's settings, the restart the master orders and the client's answer
// supervision. Unhooks itself when destroyed.

#include "net/instance_network.h"

#include <memory>

namespace cvx {

class Acquisition;
class ShellController;
class TimeService;

class ShellNetwork {
public:
    ShellNetwork(ShellController& shell, TimeService& time, NetAcquisitionHooks acquisition = {});
    ~ShellNetwork();
    ShellNetwork(const ShellNetwork&) = delete;
    ShellNetwork& operator=(const ShellNetwork&) = delete;

    InstanceNetwork& network() { return *net_; }

    // Both directions between the acquisition model and the network: poll-now answers and
    // a client's received values go to the model (HandleAnswer, SetRemoteValue), and each
    // new measurement on the master arms the push. Destroying this object disconnects
    // them; a model that goes first must be disconnected before.
    void ConnectAcquisition(Acquisition& acquisition);
    void DisconnectAcquisition();

private:
    ShellController& shell_;
    std::unique_ptr<InstanceNetwork> net_;
    Acquisition* acquisition_ = nullptr;
};

} // namespace cvx
