#pragma once
// The sending side of one line. Frames leave in order; with a baud rate set, each frame
// takes bytes x 10 / baud seconds on the line (start, eight data and stop bit per byte)
// and the next one cannot start before the previous one has finished, so the line never
// carries more than the emulated speed. A per-frame delay models a device that is slow
// to answer. The line is kept in microseconds; a frame may leave up to a millisecond
// early (the timers count whole milliseconds) but the schedule never drifts, so the
// rate over any longer stretch is exactly the line's.

#include <QByteArray>

#include <deque>
#include <functional>
#include <memory>

namespace cvx {
class TimeService;
class Timer;
}

namespace cvx::vbtsim {

class PacedWriter {
public:
    using Sink = std::function<void(const QByteArray&)>;
    PacedWriter(TimeService& time, Sink sink);
    ~PacedWriter();

    void setBaud(int baud) { baud_ = baud > 0 ? baud : 0; }
    int baud() const { return baud_; }
    // Queues bytes to leave after delayMs (measured from now) and the line time.
    void write(const QByteArray& bytes, int delayMs = 0);
    // Bytes that just arrived occupied the same half-duplex line: an answer cannot start
    // before the request has finished arriving.
    void received(qsizetype byteCount);
    // Forgets everything not yet on the line (a dropped connection).
    void clear();
    int pendingFrames() const { return int(queue_.size()); }

private:
    struct Item {
        qint64 dueUs;
        QByteArray bytes;
    };
    void arm();
    void fire();
    qint64 nowUs() const;

    TimeService& time_;
    Sink sink_;
    int baud_ = 0;
    qint64 lineFreeUs_ = 0;
    std::deque<Item> queue_;
    std::unique_ptr<Timer> timer_;
};

} // namespace cvx::vbtsim
