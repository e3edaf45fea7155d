#include "manual_time_service.h"

#include <algorithm>

namespace cvx {

struct ManualTimeService::Slot {
    Timer* timer = nullptr;
    std::uint64_t seq = 0;       // creation order, breaks deadline ties
    bool active = false;
    bool orphaned = false;       // the service is gone; the timer must not touch it
    qint64 deadline = 0;
};

class ManualTimer final : public Timer {
public:
    ManualTimer(ManualTimeService& svc, ManualTimeService::Slot* slot) : svc_(svc), slot_(slot)
    {
        slot_->timer = this;
    }
    ~ManualTimer() override
    {
        if (slot_->orphaned) {
            delete slot_;
            return;
        }
        auto& v = svc_.slots_;
        v.erase(std::remove(v.begin(), v.end(), slot_), v.end());
        delete slot_;
    }
    void setInterval(int ms) override
    {
        interval_ = std::max(0, ms);
        if (slot_->active)
            start();
    }
    int interval() const override { return interval_; }
    void setSingleShot(bool s) override { singleShot_ = s; }
    bool isSingleShot() const override { return singleShot_; }
    void start() override
    {
        if (slot_->orphaned)
            return;
        slot_->active = true;
        slot_->deadline = svc_.tickMs() + interval_;
    }
    void stop() override { slot_->active = false; }
    bool isActive() const override { return slot_->active; }

    void trigger()
    {
        if (singleShot_) {
            slot_->active = false;
        } else {
            // A zero interval repeats once per millisecond of virtual time so that
            // advance() always terminates.
            slot_->deadline += std::max(interval_, 1);
        }
        fire();
    }

private:
    ManualTimeService& svc_;
    ManualTimeService::Slot* slot_;
    int interval_ = 1000;
    bool singleShot_ = false;
};

ManualTimeService::ManualTimeService(QDateTime localStart, qint64 startTick)
    : tick_(startTick), localAtStart_(std::move(localStart)), tickAtLocalStart_(startTick)
{
}

ManualTimeService::~ManualTimeService()
{
    // Timers outliving the service must not touch it; detach them.
    for (Slot* s : slots_) {
        s->active = false;
        s->orphaned = true;
    }
}

std::unique_ptr<Timer> ManualTimeService::createTimer(Timer::Callback onTimeout)
{
    auto* slot = new Slot;
    slot->seq = nextSeq_++;
    slots_.push_back(slot);
    auto t = std::make_unique<ManualTimer>(*this, slot);
    t->setCallback(std::move(onTimeout));
    return t;
}

qint64 ManualTimeService::tickMs() const
{
    std::lock_guard lock(clockMutex_);
    return tick_;
}

QDateTime ManualTimeService::localNow() const
{
    std::lock_guard lock(clockMutex_);
    return localAtStart_.addMSecs(tick_ - tickAtLocalStart_);
}

void ManualTimeService::setLocalNow(const QDateTime& now)
{
    std::lock_guard lock(clockMutex_);
    localAtStart_ = now;
    tickAtLocalStart_ = tick_;
}

ManualTimeService::Slot* ManualTimeService::nextDue(qint64 until) const
{
    Slot* best = nullptr;
    for (Slot* s : slots_) {
        if (!s->active || s->deadline > until)
            continue;
        if (!best || s->deadline < best->deadline
            || (s->deadline == best->deadline && s->seq < best->seq))
            best = s;
    }
    return best;
}

void ManualTimeService::advance(qint64 ms)
{
    const qint64 target = tickMs() + std::max<qint64>(0, ms);
    while (Slot* s = nextDue(target)) {
        {
            std::lock_guard lock(clockMutex_);
            tick_ = std::max(tick_, s->deadline);
        }
        static_cast<ManualTimer*>(s->timer)->trigger();
    }
    std::lock_guard lock(clockMutex_);
    tick_ = target;
}

qint64 ManualTimeService::msUntilNextTimer() const
{
    qint64 best = -1;
    const qint64 now = tickMs();
    for (Slot* s : slots_)
        if (s->active && (best < 0 || s->deadline - now < best))
            best = std::max<qint64>(0, s->deadline - now);
    return best;
}

int ManualTimeService::activeTimerCount() const
{
    return int(std::count_if(slots_.begin(), slots_.end(), [](Slot* s) { return s->active; }));
}

} // namespace cvx
