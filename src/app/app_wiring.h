#pragma once
// The composition of the running program: the objects of the layers above the data
// store, created once, and the shell's hooks pointed at them.

#include <memory>

namespace cvx {

class Acquisition;
class EventEngine;
class ShellController;
class TimeService;
class WatchdogDevice;

class AppWiring {
public:
    AppWiring(TimeService& time, ShellController& shell);
    ~AppWiring();
    AppWiring(const AppWiring&) = delete;
    AppWiring& operator=(const AppWiring&) = delete;

    Acquisition& Acq() { return *acquisition_; }
    EventEngine& Events() { return *events_; }
    WatchdogDevice& Watchdog() { return *watchdog_; }

private:
    TimeService& time_;
    ShellController& shell_;
    std::unique_ptr<Acquisition> acquisition_;
    std::unique_ptr<WatchdogDevice> watchdog_;
    std::unique_ptr<EventEngine> events_;
};

} // namespace cvx
