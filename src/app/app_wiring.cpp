#include "app_wiring.h"

#include "shell_controller.h"

#include "events/event_engine.h"
#include "events/watchdog.h"
#include "store/data_module.h"

namespace cvx {

AppWiring::AppWiring(TimeService& time, ShellController& shell) : time_(time), shell_(shell)
{
    TfDM* dm = &shell_.DataModule();
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
}

AppWiring::~AppWiring()
{
    ShellSubsystems& sub = shell_.subsystems();
    sub.reloadEvents = nullptr;
    sub.destroyEventsAndTasks = nullptr;
    sub.setUpWatchdog = nullptr;
    sub.evaluateEvents = nullptr;
}

} // namespace cvx
