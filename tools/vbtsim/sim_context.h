#pragma once
// What every simulated device shares: the clock and timers, the log, the moment the
// simulator started (the time base of value curves) and the folder of the scenario file.

#include "platform/time_service.h"
#include "sim_log.h"

#include <QByteArray>
#include <QDir>
#include <QString>

namespace cvx::vbtsim {

struct SimContext {
    SimContext(TimeService& t, SimLog& l, QString scenarioDir = QString())
        : time(t), log(l), startTick(t.tickMs()), baseDir(std::move(scenarioDir))
    {
    }
    TimeService& time;
    SimLog& log;
    qint64 startTick;
    QString baseDir;

    double seconds() const { return double(time.tickMs() - startTick) / 1000.0; }
    // A file name of the scenario, relative to the scenario's folder.
    QString resolvePath(const QString& path) const
    {
        return baseDir.isEmpty() ? path : QDir(baseDir).absoluteFilePath(path);
    }
};

// Text on the device side is single-byte Central European.
QByteArray toDeviceText(const QString& text);
QString fromDeviceText(const QByteArray& bytes);

} // namespace cvx::vbtsim
