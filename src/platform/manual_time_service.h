#pragma once
#include "time_service.h"

#include <QDateTime>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace cvx {

// Virtual time for tests and tools. Nothing moves until advance() is called; due timers
// then fire in deadline order, ties in the order the timers were created, each seeing
// the clock at its own deadline. Timers may start, stop or create timers while firing.
class ManualTimeService final : public TimeService {
public:
    explicit ManualTimeService(QDateTime localStart = QDateTime(QDate(2024, 1, 1), QTime(0, 0)),
                               qint64 startTick = 1'000'000);
    ~ManualTimeService() override;

    std::unique_ptr<Timer> createTimer(Timer::Callback onTimeout = {}) override;
    using TimeService::createTimer;
    qint64 tickMs() const override;
    QDateTime localNow() const override;

    // Moves time forward by ms, firing every timer that falls due on the way.
    void advance(qint64 ms);
    // Fires timers already due (zero intervals) without moving time.
    void runDue() { advance(0); }
    // Sets the wall clock without moving the tick (a clock correction or a time zone jump).
    void setLocalNow(const QDateTime& now);
    // Time until the next active timer falls due; -1 when none is active.
    qint64 msUntilNextTimer() const;
    int activeTimerCount() const;

    struct Slot;

private:
    friend class ManualTimer;
    Slot* nextDue(qint64 until) const;

    mutable std::mutex clockMutex_;
    qint64 tick_;
    QDateTime localAtStart_;
    qint64 tickAtLocalStart_;
    std::uint64_t nextSeq_ = 0;
    std::vector<Slot*> slots_;
};

} // namespace cvx
