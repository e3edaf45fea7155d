#include "long_timer.h"

#include <algorithm>
#include <limits>

namespace cvx {

LongTimer::LongTimer(TimeService& time, Callback onTimeout) : time_(time)
{
    setCallback(std::move(onTimeout));
    step_ = time_.createTimer([this] { step(); });
    step_->setSingleShot(true);
}

LongTimer::~LongTimer() = default;

int LongTimer::interval() const
{
    return int(std::min<qint64>(period_, std::numeric_limits<int>::max()));
}

void LongTimer::setLongInterval(qint64 ms)
{
    period_ = std::max<qint64>(1, ms);
    if (active_)
        start();
}

void LongTimer::start()
{
    active_ = true;
    deadline_ = time_.tickMs() + period_;
    arm();
}

void LongTimer::stop()
{
    active_ = false;
    step_->stop();
}

void LongTimer::arm()
{
    const qint64 remaining = std::max<qint64>(0, deadline_ - time_.tickMs());
    step_->start(int(std::min(remaining, MaxStepMs)));
}

void LongTimer::step()
{
    if (!active_)
        return;
    const qint64 now = time_.tickMs();
    if (now < deadline_) {
        arm();
        return;
    }
    if (singleShot_) {
        active_ = false;
    } else {
        deadline_ += period_;
        if (deadline_ <= now) // fell far behind (a suspended machine): no burst of firings
            deadline_ = now + period_;
        arm();
    }
    fire();
}

} // namespace cvx
