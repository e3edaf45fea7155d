#include "sim_log.h"

#include "platform/time_service.h"

#include <cstdio>

namespace cvx::vbtsim {

SimLog::SimLog(TimeService& time) : time_(time) {}

bool SimLog::openFile(const QString& path, QString* error)
{
    file_.setFileName(path);
    if (!file_.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) {
        if (error)
            *error = file_.errorString();
        return false;
    }
    return true;
}

void SimLog::info(const QString& line) { write(line); }

void SimLog::traffic(const QString& line)
{
    if (verbose_)
        write(line);
}

void SimLog::write(const QString& line)
{
    const QString stamped =
        time_.localNow().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz ")) + line;
    const QByteArray utf8 = stamped.toUtf8() + '\n';
    if (echo_) {
        std::fwrite(utf8.constData(), 1, size_t(utf8.size()), stderr);
        std::fflush(stderr);
    }
    if (file_.isOpen()) {
        file_.write(utf8);
        file_.flush();
    }
    if (observer_)
        observer_(line);
}

} // namespace cvx::vbtsim
