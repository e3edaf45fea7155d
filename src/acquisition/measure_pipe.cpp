#include "measure_pipe.h"

#include <algorithm>

namespace cvx {

void TMeasurePipe::Add(const QDateTime& time, double value, const QDateTime& now, qint64 windowMinutes)
{
    items_.push_back({value, time});
    const QDateTime oldest = now.addSecs(-60 * windowMinutes);
    // Items arrive in time order except after a clock correction; remove every old one.
    items_.erase(std::remove_if(items_.begin(), items_.end(), [&](const TMeasureWithDate& m) { return m.time < oldest; }),
                 items_.end());
}

double TMeasurePipe::Average() const
{
    if (items_.empty())
        return 0;
    double sum = 0;
    for (const auto& m : items_)
        sum += m.value;
    return sum / double(items_.size());
}

double TMeasurePipe::Maximum() const
{
    double v = -1000;
    for (const auto& m : items_)
        v = std::max(v, m.value);
    return v;
}

double TMeasurePipe::Minimum() const
{
    double v = 1000;
    for (const auto& m : items_)
        v = std::min(v, m.value);
    return v;
}

qint64& AverageWindowMinutes()
{
    static qint64 minutes = 120;
    return minutes;
}

} // namespace cvx
