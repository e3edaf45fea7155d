#include "net_wiring.h"

#include "activity_supervision.h"
#include "shell_controller.h"

#include "shell/shell_state.h"
#include "store/data_module.h"

namespace cvx {

ShellNetwork::ShellNetwork(ShellController& shell, TimeService& time, NetAcquisitionHooks acquisition) : shell_(shell)
{
    InstanceNetwork::Hooks hooks;
    hooks.readGlobalSetting = [&shell](const QString& key) {
        return shellState().DbConnected ? shell.DataModule().ReadGlobalSetting(key) : QString();
    };
    hooks.restartOrdered = [&shell] { shell.RestartOrderedByMaster(); };
    hooks.answerAwaited = [&shell] { shell.Activity().AnswerAwaited(); };
    hooks.answerArrived = [&shell] { shell.Activity().AnswerArrived(); };
    net_ = std::make_unique<InstanceNetwork>(time, shell.Probes(), std::move(hooks), std::move(acquisition));

    InstanceNetwork* n = net_.get();
    ShellSubsystems& sub = shell.subsystems();
    sub.setUpSockets = [n] { n->SetUpSockets(); };
    sub.sendRestartToClients = [n] { n->SendRestartToClients(); };
    sub.closeSockets = [n] { n->CloseSockets(); };
    sub.setUpWebServer = [n] { n->SetUpWebServer(); };
    sub.clientConnected = [n] { return n->ClientConnected(); };
}

ShellNetwork::~ShellNetwork()
{
    ShellSubsystems& sub = shell_.subsystems();
    sub.setUpSockets = nullptr;
    sub.sendRestartToClients = nullptr;
    sub.closeSockets = nullptr;
    sub.setUpWebServer = nullptr;
    sub.clientConnected = nullptr;
    net_->CloseSockets();
    net_->Web().Stop();
}

} // namespace cvx
