#pragma once
// The temperature window of a sensor: recent temperatures with their times, from which
// the average, minimum and maximum temperature are computed.
//
// A window of two hours at a two-second poll holds 3600 items per sensor, and every
// answer adds one and asks for all three figures, so the window is kept compact and
// cheap: eight bytes an item (the time as milliseconds from a base, the temperature in
// hundredths of a degree, the precision it is measured and stored with) in one ring
// buffer ordered by time. Pruning takes items from the front; the sum is kept exactly
// in integers. Items span at most MaxSpanMs (24 days): a longer window keeps 24 days.

#include <QDateTime>

#include <cstdint>
#include <vector>

namespace cvx {

struct TMeasureWithDate {
    double value;
    QDateTime time;
};

class TMeasurePipe {
public:
    static constexpr qint64 MaxSpanMs = 0x7FFFFFFF;

    // Appends, then drops every item older than now minus windowMinutes minutes. An
    // item older than the newest one (a clock correction) is put in its time order.
    void Add(const QDateTime& time, double value, const QDateTime& now, qint64 windowMinutes);
    double Average() const;   // 0 when empty
    double Maximum() const;   // starts from -1000
    double Minimum() const;   // starts from 1000
    int Count() const { return int(size_); }
    void Clear();
    // The items oldest first (a copy, for diagnosis and tests).
    std::vector<TMeasureWithDate> items() const;

private:
    qint32& offsetAt(size_t i) { return offsets_[(head_ + i) & mask_]; }
    qint32& centiAt(size_t i) { return centi_[(head_ + i) & mask_]; }
    qint64 timeAt(size_t i) const { return base_ + offsets_[(head_ + i) & mask_]; }
    qint32 centiAt(size_t i) const { return centi_[(head_ + i) & mask_]; }
    // Makes t representable as an offset; false when the items would span too long.
    bool fitTime(qint64 t);
    void grow();
    void popFront();
    void extremes() const;

    std::vector<qint32> offsets_; // ms after base_; capacity a power of two
    std::vector<qint32> centi_;
    qint64 base_ = 0;
    size_t head_ = 0;
    size_t size_ = 0;
    size_t mask_ = 0;
    qint64 sum_ = 0;
    mutable bool extremesValid_ = true;
    mutable qint32 min_ = 0;
    mutable qint32 max_ = 0;
};

// Global setting of the window length, set from the sensor monitor; not saved.
qint64& AverageWindowMinutes();

} // namespace cvx
