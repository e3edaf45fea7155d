#pragma once
// The simulator's own log: one time-stamped line per event, to standard error and to an
// optional file. Frame traffic is only written in verbose mode.

#include <QFile>
#include <QString>

#include <functional>

namespace cvx {
class TimeService;
}

namespace cvx::vbtsim {

class SimLog {
public:
    explicit SimLog(TimeService& time);

    void setVerbose(bool on) { verbose_ = on; }
    bool verbose() const { return verbose_; }
    void setEchoToStderr(bool on) { echo_ = on; }
    bool openFile(const QString& path, QString* error);
    // Every line written is also handed here (tests read the log this way).
    void setObserver(std::function<void(const QString&)> observer) { observer_ = std::move(observer); }

    void info(const QString& line);
    // Frames sent and received; written only in verbose mode.
    void traffic(const QString& line);

private:
    void write(const QString& line);

    TimeService& time_;
    bool verbose_ = false;
    bool echo_ = true;
    QFile file_;
    std::function<void(const QString&)> observer_;
};

} // namespace cvx::vbtsim
