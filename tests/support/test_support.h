#pragma once
// Shared test helpers: a private working folder, the process time service swapped for
// virtual time, the main log captured, dialogs scripted.

#include "platform/manual_time_service.h"
#include "shell/dialogs.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <initializer_list>
#include <memory>

namespace cvx::test {

// A temporary working folder that AppPaths points at while the object lives.
class TempHome {
public:
    TempHome();
    ~TempHome();
    QString path() const { return dir_.path(); }
    QString file(const QString& name) const { return dir_.filePath(name); }
    QString iniPath() const;

private:
    QTemporaryDir dir_;
};

// Installs virtual time as the process time service while it lives.
class VirtualProcessTime {
public:
    VirtualProcessTime();
    ~VirtualProcessTime();
    ManualTimeService& time() { return time_; }

private:
    ManualTimeService time_;
};

// Attaches the main log and records every line added while it lives.
class CapturedMainLog {
public:
    CapturedMainLog();
    ~CapturedMainLog();
    const QStringList& lines() const { return lines_; }
    bool contains(const QString& fragment) const;

private:
    QStringList lines_;
    int handle_;
};

// Installs scripted dialogs while it lives.
class ScriptedDialogScope {
public:
    ScriptedDialogScope();
    ~ScriptedDialogScope();
    ScriptedDialogs& dialogs() { return dialogs_; }

private:
    ScriptedDialogs dialogs_;
};

// Lets the event loop sleep until real I/O (or any other event) arrives, at most maxMs.
void waitForEvents(int maxMs);

// Runs the event loop until the predicate holds or maxMs passed: for real I/O only,
// never for a protocol timer.
bool waitFor(const std::function<bool()>& done, int maxMs = 20000);

// Runs the event loop for real I/O until the condition holds or the real-time bound passes,
// with the components' timers on virtual time. While onTheLine() says a device is being
// waited for (an answer, an acknowledgement or a connection in flight) virtual time follows
// the wall clock, so that answer time-outs measure the real device; otherwise it goes
// straight to the next timer, so no wait lasts longer than the real I/O it is for.
bool pumpVirtualTime(ManualTimeService& vt, const std::function<bool()>& onTheLine,
                     const std::function<bool()>& done, int realLimitMs = 15000);

// Bytes written out by hand as values 0..255, for frames and parameter blocks.
QByteArray bytes(std::initializer_list<int> values);

QString readFile(const QString& path);
void writeFile(const QString& path, const QByteArray& content);
// Folder of the built executables (vbtsim, corvalux).
QString binDir();
QString sourceDir();

} // namespace cvx::test
