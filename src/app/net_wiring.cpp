#include "net_wiring.h"

#include "activity_supervision.h"
#include "shell_controller.h"

#include "acquisition/acquisition.h"
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

void ShellNetwork::ConnectAcquisition(Acquisition& acquisition)
{
    DisconnectAcquisition();
    acquisition_ = &acquisition;
    Acquisition* a = &acquisition;
    NetAcquisitionHooks hooks;
    hooks.handleAnswer = [a](TProbe& s, const QByteArray& answer, quint16 code) { a->HandleAnswer(s, answer, code); };
    hooks.setRemoteValue = [a](TProbe& s, int l, const QDateTime& t, double v, bool active, bool online, bool rec) {
        a->SetRemoteValue(s, l, t, v, active, online, rec);
    };
    net_->setAcquisitionHooks(hooks);
    InstanceNetwork* n = net_.get();
    acquisition.Hooks.StartClientReplyTimer = [n] { n->ArmPush(); };
}

void ShellNetwork::DisconnectAcquisition()
{
    if (!acquisition_)
        return;
    acquisition_->Hooks.StartClientReplyTimer = nullptr;
    net_->setAcquisitionHooks({});
    acquisition_ = nullptr;
}

ShellNetwork::~ShellNetwork()
{
    DisconnectAcquisition();
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
