#pragma once
#include "time_service.h"

#include <QElapsedTimer>

namespace cvx {

// Timers on the Qt event loop of the creating thread; precise timers, because the
// link engine's 110 ms answer time-outs must not drift by the 5 % of coarse ones.
class QtTimeService final : public TimeService {
public:
    QtTimeService();
    std::unique_ptr<Timer> createTimer(Timer::Callback onTimeout = {}) override;
    using TimeService::createTimer;
    qint64 tickMs() const override;
    QDateTime localNow() const override;

private:
    QElapsedTimer monotonic_;
};

} // namespace cvx
