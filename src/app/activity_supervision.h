#pragma once
// Once a second: marks sensors that stayed silent too long as inactive, hands them to
// the event engine, and raises or tidies the all-sensors warning. On a client the same
// tick watches for the master's answers to poll requests.

#include <functional>
#include <memory>

namespace cvx {

class ProbeLists;
class TimeService;
class Timer;
class TProbe;

class ActivitySupervision {
public:
    struct Hooks {
        std::function<void(TProbe&)> notifyViews;      // refresh without a new value
        std::function<void(TProbe&)> evaluateEvents;   // every event, in list order
        std::function<bool()> clientConnected;         // client socket to the master
    };

    ActivitySupervision(TimeService& time, ProbeLists& probes, Hooks hooks);
    ~ActivitySupervision();

    // timActivityCheck, 1000 ms.
    void Start();
    void Stop();
    bool Running() const;

    // The menu item "Szenzoraktivitás-figyelés": clears every Inactive either way.
    bool menuActCheck() const { return menuActCheck_; }
    void setMenuActCheck(bool on);

    // Client side: a poll request was sent to the master / its values arrived.
    void AnswerAwaited();
    void AnswerArrived();
    bool answerAwaited() const { return answerAwaited_; }
    int missedTicks() const { return missedTicks_; }

    void Tick();

private:
    TimeService& time_;
    ProbeLists& probes_;
    Hooks hooks_;
    std::unique_ptr<Timer> timer_;
    bool menuActCheck_ = true;
    bool answerAwaited_ = false;
    int missedTicks_ = 0;
};

} // namespace cvx
