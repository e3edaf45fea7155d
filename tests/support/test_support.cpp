#include "test_support.h"

#include "platform/time_service.h"
#include "shell/app_paths.h"
#include "shell/logs.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>

namespace cvx::test {

TempHome::TempHome() { AppPaths::setHome(dir_.path()); }
TempHome::~TempHome() { AppPaths::setHome(QString()); }
QString TempHome::iniPath() const { return AppPaths::iniPath(); }

VirtualProcessTime::VirtualProcessTime() { setProcessTime(&time_); }
VirtualProcessTime::~VirtualProcessTime() { setProcessTime(nullptr); }

CapturedMainLog::CapturedMainLog()
{
    mainLog().clear();
    mainLog().setAttached(true);
    handle_ = mainLog().addObserver([this](const QString& l) { lines_.append(l); });
}

CapturedMainLog::~CapturedMainLog()
{
    mainLog().removeObserver(handle_);
    mainLog().setAttached(false);
    mainLog().clear();
}

bool CapturedMainLog::contains(const QString& fragment) const
{
    for (const QString& l : lines_)
        if (l.contains(fragment))
            return true;
    return false;
}

ScriptedDialogScope::ScriptedDialogScope() { setDialogPresenter(&dialogs_); }
ScriptedDialogScope::~ScriptedDialogScope() { setDialogPresenter(nullptr); }

QString readFile(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(f.readAll());
}

void writeFile(const QString& path, const QByteArray& content)
{
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(content);
}

void waitForEvents(int maxMs)
{
    // The wake-up timer only bounds the wait; socket, process and timer events end it at once.
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    wake.start(maxMs);
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

bool waitFor(const std::function<bool()>& done, int maxMs)
{
    QDeadlineTimer deadline(maxMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        // Some predicates look at files other processes write: wake now and then to look again.
        waitForEvents(5);
    }
    return true;
}

bool pumpVirtualTime(ManualTimeService& vt, const std::function<bool()>& onTheLine,
                     const std::function<bool()>& done, int realLimitMs)
{
    QElapsedTimer t;
    t.start();
    qint64 followed = 0;
    while (!done()) {
        if (t.elapsed() > realLimitMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
        if (done())
            break;
        if (onTheLine()) {
            waitForEvents(1);
            const qint64 now = t.elapsed();
            vt.advance(now - followed);
            followed = now;
        } else {
            const qint64 next = vt.msUntilNextTimer();
            vt.advance(next > 0 ? next : 1);
            followed = t.elapsed();
        }
    }
    return true;
}

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out += char(v);
    return out;
}

QString binDir()
{
    const QString env = qEnvironmentVariable("CVX_BIN_DIR");
    return env.isEmpty() ? QCoreApplication::applicationDirPath() : env;
}

QString sourceDir()
{
    const QString env = qEnvironmentVariable("CVX_SOURCE_DIR");
    return env.isEmpty() ? QStringLiteral(CVX_SOURCE_DIR_DEFAULT) : env;
}

} // namespace cvx::test
