#pragma once
// A timer whose period may be longer than the time service's int milliseconds allow
// (the interfaces' restart period is given in minutes; the configuration default,
// 3 600 000 minutes, is about 2.2e11 ms). It keeps a 64-bit deadline on the monotonic
// tick and re-arms a one-shot timer of the time service in steps of at most a day, so
// it fires on time however long the period, on real and on virtual time.

#include "platform/time_service.h"

#include <memory>

namespace cvx {

class LongTimer final : public Timer {
public:
    static constexpr qint64 MaxStepMs = 24LL * 3600 * 1000;

    explicit LongTimer(TimeService& time, Callback onTimeout = {});
    ~LongTimer() override;

    void setLongInterval(qint64 ms);
    qint64 longInterval() const { return period_; }
    // The deadline of the next firing on the time service's tick (running timers only).
    qint64 deadlineTick() const { return deadline_; }

    void setInterval(int ms) override { setLongInterval(ms); }
    int interval() const override;
    void setSingleShot(bool singleShot) override { singleShot_ = singleShot; }
    bool isSingleShot() const override { return singleShot_; }
    using Timer::start;
    void start() override;
    void stop() override;
    bool isActive() const override { return active_; }

private:
    void arm();
    void step();

    TimeService& time_;
    std::unique_ptr<Timer> step_;
    qint64 period_ = 1;
    qint64 deadline_ = 0;
    bool singleShot_ = false;
    bool active_ = false;
};

} // namespace cvx
