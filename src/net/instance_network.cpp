#include "net/instance_network.h"

#include "net/net_sockets.h"
#include "shell/shell_state.h"

namespace cvx {

namespace {

TClientLink::Hooks clientHooks(const InstanceNetwork::Hooks& h)
{
    TClientLink::Hooks c;
    if (h.readGlobalSetting) {
        auto read = h.readGlobalSetting;
        c.readMasterHost = [read] { return read(QStringLiteral("Master_apps_IP")); };
    }
    c.restartOrdered = h.restartOrdered;
    c.answerAwaited = h.answerAwaited;
    c.answerArrived = h.answerArrived;
    return c;
}

} // namespace

InstanceNetwork::InstanceNetwork(TimeService& time, ProbeLists& probes, Hooks hooks, NetAcquisitionHooks acquisition,
                                 NetSockets* sockets, TWebStatus::ServerFactory httpServers)
    : hooks_(std::move(hooks)),
      master_(time, probes, sockets ? *sockets : qtNetSockets(), acquisition),
      client_(time, probes, sockets ? *sockets : qtNetSockets(), acquisition, clientHooks(hooks_)),
      web_(time, probes, hooks_.readGlobalSetting, std::move(httpServers))
{
}

InstanceNetwork::~InstanceNetwork() = default;

void InstanceNetwork::setAcquisitionHooks(const NetAcquisitionHooks& hooks)
{
    master_.setHooks(hooks);
    client_.setAcquisitionHooks(hooks);
}

void InstanceNetwork::SetUpSockets()
{
    CloseSockets();
    const ShellState& s = shellState();
    const quint16 port = quint16(s.TCPIP_PORT);
    if (s.MasterMode)
        master_.Open(port);
    else if (s.DbConnected)
        client_.Open(s.RegisteredMasterHost, port);
}

void InstanceNetwork::SendRestartToClients() { master_.SendRestartToClients(); }

void InstanceNetwork::CloseSockets()
{
    master_.Close();
    client_.Close();
}

bool InstanceNetwork::ClientConnected() const { return client_.Connected(); }
void InstanceNetwork::SetUpWebServer() { web_.SetUpWebServer(); }
void InstanceNetwork::ArmPush() { master_.ArmPush(); }

} // namespace cvx
