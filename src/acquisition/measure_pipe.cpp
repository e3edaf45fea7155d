#include "measure_pipe.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace cvx {

namespace {

qint32 toCenti(double value)
{
    const double c = std::nearbyint(value * 100.0);
    if (!(c >= double(std::numeric_limits<qint32>::min())))
        return std::numeric_limits<qint32>::min();
    if (c > double(std::numeric_limits<qint32>::max()))
        return std::numeric_limits<qint32>::max();
    return qint32(c);
}

} // namespace

void TMeasurePipe::grow()
{
    const size_t capacity = offsets_.empty() ? 64 : offsets_.size() * 2;
    std::vector<qint32> offsets(capacity);
    std::vector<qint32> centi(capacity);
    for (size_t i = 0; i < size_; ++i) {
        offsets[i] = offsetAt(i);
        centi[i] = centiAt(i);
    }
    offsets_.swap(offsets);
    centi_.swap(centi);
    head_ = 0;
    mask_ = capacity - 1;
}

bool TMeasurePipe::fitTime(qint64 t)
{
    if (size_ == 0) {
        base_ = t;
        return true;
    }
    const auto fits = [](qint64 d) { return d >= -MaxSpanMs - 1 && d <= MaxSpanMs; };
    if (fits(t - base_))
        return true;
    // Rebase on the oldest item (after weeks of data the base lies far behind).
    const qint64 front = std::min(timeAt(0), t);
    const qint64 newest = std::max(timeAt(size_ - 1), t);
    if (!fits(newest - front)) {
        // Longer than 24 days: the oldest items go.
        while (size_ > 0 && !fits(std::max(timeAt(size_ - 1), t) - std::min(timeAt(0), t)))
            popFront();
        if (size_ == 0) {
            base_ = t;
            return true;
        }
    }
    const qint64 newBase = std::min(timeAt(0), t);
    const qint64 shift = newBase - base_;
    for (size_t i = 0; i < size_; ++i)
        offsetAt(i) = qint32(offsetAt(i) - shift);
    base_ = newBase;
    return true;
}

void TMeasurePipe::popFront()
{
    const qint32 c = centi_[head_];
    sum_ -= c;
    if (c == min_ || c == max_)
        extremesValid_ = false;
    head_ = (head_ + 1) & mask_;
    --size_;
}

void TMeasurePipe::Add(const QDateTime& time, double value, const QDateTime& now, qint64 windowMinutes)
{
    if (size_ == offsets_.size())
        grow();
    const qint64 t = time.toMSecsSinceEpoch();
    const qint32 c = toCenti(value);
    fitTime(t);
    const qint32 o = qint32(t - base_);
    // Find the place in time order; normally the end.
    size_t pos = size_;
    while (pos > 0 && offsetAt(pos - 1) > o)
        --pos;
    for (size_t i = size_; i > pos; --i) {
        offsetAt(i) = offsetAt(i - 1);
        centiAt(i) = centiAt(i - 1);
    }
    offsetAt(pos) = o;
    centiAt(pos) = c;
    ++size_;
    sum_ += c;
    if (extremesValid_) {
        if (size_ == 1) {
            min_ = max_ = c;
        } else {
            min_ = std::min(min_, c);
            max_ = std::max(max_, c);
        }
    }

    const qint64 oldest = now.toMSecsSinceEpoch() - 60'000 * windowMinutes;
    while (size_ > 0 && timeAt(0) < oldest)
        popFront();
}

void TMeasurePipe::Clear()
{
    head_ = 0;
    size_ = 0;
    sum_ = 0;
    extremesValid_ = true;
}

void TMeasurePipe::extremes() const
{
    if (extremesValid_)
        return;
    if (size_ > 0) {
        min_ = max_ = centiAt(0);
        for (size_t i = 1; i < size_; ++i) {
            const qint32 c = centiAt(i);
            min_ = std::min(min_, c);
            max_ = std::max(max_, c);
        }
    }
    extremesValid_ = true;
}

double TMeasurePipe::Average() const
{
    if (size_ == 0)
        return 0;
    return double(sum_) / double(size_) / 100.0;
}

double TMeasurePipe::Maximum() const
{
    if (size_ == 0)
        return -1000;
    extremes();
    return std::max(-1000.0, max_ / 100.0);
}

double TMeasurePipe::Minimum() const
{
    if (size_ == 0)
        return 1000;
    extremes();
    return std::min(1000.0, min_ / 100.0);
}

std::vector<TMeasureWithDate> TMeasurePipe::items() const
{
    std::vector<TMeasureWithDate> out;
    out.reserve(size_);
    for (size_t i = 0; i < size_; ++i)
        out.push_back({centiAt(i) / 100.0, QDateTime::fromMSecsSinceEpoch(timeAt(i))});
    return out;
}

qint64& AverageWindowMinutes()
{
    static qint64 minutes = 120;
    return minutes;
}

} // namespace cvx
