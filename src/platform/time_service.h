#pragma once
// Timers and clocks behind one interface. Production runs on the Qt event loop;
// tests drive a ManualTimeService whose advance() fires due timers in order, so no
// protocol test ever waits on the wall clock.

#include <QDateTime>
#include <functional>
#include <memory>

namespace cvx {

class Timer {
public:
    using Callback = std::function<void()>;
    virtual ~Timer() = default;

    // Interval in milliseconds. Changing it on a running timer restarts it from now,
    // as a window-toolkit timer does.
    virtual void setInterval(int ms) = 0;
    virtual int interval() const = 0;
    virtual void setSingleShot(bool singleShot) = 0;
    virtual bool isSingleShot() const = 0;
    // (Re)starts counting the interval from now.
    virtual void start() = 0;
    void start(int ms) { setInterval(ms); start(); }
    virtual void stop() = 0;
    virtual bool isActive() const = 0;
    // Enabling a running timer leaves its deadline alone; only start() restarts.
    void setEnabled(bool enabled)
    {
        if (!enabled)
            stop();
        else if (!isActive())
            start();
    }
    void setCallback(Callback cb) { callback_ = std::move(cb); }

protected:
    void fire()
    {
        if (callback_) {
            // The callback may replace itself or destroy the timer's owner.
            Callback cb = callback_;
            cb();
        }
    }

private:
    Callback callback_;
};

class TimeService {
public:
    virtual ~TimeService() = default;
    virtual std::unique_ptr<Timer> createTimer(Timer::Callback onTimeout = {}) = 0;
    // Monotonic millisecond tick; only differences are meaningful.
    virtual qint64 tickMs() const = 0;
    // Local wall-clock date and time.
    virtual QDateTime localNow() const = 0;

    std::unique_ptr<Timer> createTimer(int intervalMs, bool singleShot, Timer::Callback onTimeout)
    {
        auto t = createTimer(std::move(onTimeout));
        t->setInterval(intervalMs);
        t->setSingleShot(singleShot);
        return t;
    }
};

// The time service of the process: the Qt one unless a test or tool installs another.
// Components that own timers take a TimeService& explicitly; this is for the few
// process-wide helpers (log writers) that only read the clock.
TimeService& processTime();
void setProcessTime(TimeService* service); // nullptr restores the Qt service

} // namespace cvx
