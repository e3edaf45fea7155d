#pragma once
// The temperature window of a sensor: recent temperatures with their times, from which
// the average, minimum and maximum temperature are computed.

#include <QDateTime>

#include <deque>

namespace cvx {

struct TMeasureWithDate {
    double value;
    QDateTime time;
};

class TMeasurePipe {
public:
    // Appends, then drops every item older than now minus windowMinutes minutes.
    void Add(const QDateTime& time, double value, const QDateTime& now, qint64 windowMinutes);
    double Average() const;   // 0 when empty
    double Maximum() const;   // starts from -1000
    double Minimum() const;   // starts from 1000
    int Count() const { return int(items_.size()); }
    void Clear() { items_.clear(); }
    const std::deque<TMeasureWithDate>& items() const { return items_; }

private:
    std::deque<TMeasureWithDate> items_;
};

// Global setting of the window length, set from the sensor monitor; not saved.
qint64& AverageWindowMinutes();

} // namespace cvx
