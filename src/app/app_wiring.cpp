#include "app_wiring.h"

#include "shell_controller.h"

#include "acquisition/acquisition.h"
#include "platform/snmp_client.h"
#include "events/event_engine.h"
#include "events/watchdog.h"
#include "shell/shell_state.h"
#include "store/data_module.h"

namespace cvx {

AppWiring::AppWiring(TimeService& time, ShellController& shell) : time_(time), shell_(shell)
{
    TfDM* dm = &shell_.DataModule();
    acquisition_ = std::make_unique<Acquisition>(time_, shell_.Probes());
    watchdog_ = std::make_unique<WatchdogDevice>(time_, shell_.Probes(),
                                                 [dm](const QString& key) { return dm->ReadGlobalSetting(key); });
    events_ = std::make_unique<EventEngine>(time_, shell_.Probes(), dm);
    events_->SetWatchdog(watchdog_.get());

    ShellSubsystems& sub = shell_.subsystems();
    sub.reloadEvents = [this] { events_->ReloadEvents(); };
    // Before the probes go: the engine reaches into their relay holds and names.
    sub.destroyEventsAndTasks = [this] {
        events_->FreeAll();
        watchdog_->TearDown();
    };
    sub.setUpWatchdog = [this] { watchdog_->SetUpWatchdog(); };
    sub.evaluateEvents = [this](TProbe& sensor) { events_->EvaluateAll(sensor); };

    sub.createSnmpPoller = [this] { acquisition_->CreateSnmpPoller(); };
    sub.destroySnmpPoller = [this] { acquisition_->DestroySnmpPoller(); };
    sub.loadAll = [this, dm] {
        if (shellState().DbConnected)
            acquisition_->SetDatabase(&dm->conMainConnection, dm);
        else
            acquisition_->SetDatabase(nullptr, nullptr);
        acquisition_->LoadAll();
    };
    sub.startAll = [this] { acquisition_->StartAll(); };
    sub.csvLogChanged = [this](QIODevice* device) { acquisition_->SetMeasurementLog(device); };
    sub.notifyViews = [this](TProbe& sensor) { acquisition_->NotifyViews(sensor, false); };
    acquisition_->Hooks.EvaluateEvents = [this](TProbe& sensor) { events_->EvaluateAll(sensor); };
    acquisition_->Hooks.PurgeTaskRelayLists = [this] { events_->PurgeTaskRelayLists(); };
}

AppWiring::~AppWiring()
{
    shell_.subsystems() = ShellSubsystems{};
    // The engine and the watchdog reach into the probes; the model empties the lists.
    events_.reset();
    watchdog_.reset();
    acquisition_.reset();
}

} // namespace cvx
