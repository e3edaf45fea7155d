#include "paced_writer.h"

#include "platform/time_service.h"

namespace cvx::vbtsim {

PacedWriter::PacedWriter(TimeService& time, Sink sink) : time_(time), sink_(std::move(sink))
{
    timer_ = time_.createTimer(0, true, [this] { fire(); });
}

PacedWriter::~PacedWriter() = default;

qint64 PacedWriter::nowUs() const { return time_.tickMs() * 1000; }

void PacedWriter::write(const QByteArray& bytes, int delayMs)
{
    if (bytes.isEmpty())
        return;
    const qint64 now = nowUs();
    if (baud_ == 0 && delayMs <= 0 && queue_.empty()) {
        sink_(bytes);
        return;
    }
    qint64 start = qMax(now + qint64(qMax(delayMs, 0)) * 1000, lineFreeUs_);
    if (!queue_.empty())
        start = qMax(start, queue_.back().dueUs);
    const qint64 lineUs = baud_ > 0 ? (qint64(bytes.size()) * 10 * 1'000'000 + baud_ - 1) / baud_ : 0;
    const qint64 due = start + lineUs;
    lineFreeUs_ = due;
    queue_.push_back({due, bytes});
    arm();
}

void PacedWriter::received(qsizetype byteCount)
{
    if (baud_ <= 0 || byteCount <= 0)
        return;
    lineFreeUs_ = qMax(lineFreeUs_, nowUs()) + (qint64(byteCount) * 10 * 1'000'000 + baud_ - 1) / baud_;
}

void PacedWriter::clear()
{
    queue_.clear();
    timer_->stop();
    lineFreeUs_ = 0;
}

void PacedWriter::arm()
{
    if (queue_.empty()) {
        timer_->stop();
        return;
    }
    if (timer_->isActive())
        return;
    const qint64 waitUs = queue_.front().dueUs - nowUs();
    timer_->start(int(waitUs <= 0 ? 0 : waitUs / 1000));
}

void PacedWriter::fire()
{
    // Due within the current millisecond counts as due.
    const qint64 now = nowUs() + 999;
    while (!queue_.empty() && queue_.front().dueUs <= now) {
        const QByteArray bytes = queue_.front().bytes;
        queue_.pop_front();
        sink_(bytes);
    }
    arm();
}

} // namespace cvx::vbtsim
