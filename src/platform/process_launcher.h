#pragma once
// Starting another program without waiting for it: the program gets its arguments as a
// list (no shell sees them), keeps running when we do not, and is never waited for.

#include <QString>
#include <QStringList>

#include <memory>

namespace cvx {

struct LaunchResult {
    bool started = false;
    // The process id when started; otherwise a failure code: 2 the program does not
    // exist, 5 it may not be run (not executable, a folder), 0 it could not be started.
    qint64 code = 0;
    QString error;
};

class ProcessLauncher {
public:
    virtual ~ProcessLauncher() = default;
    virtual LaunchResult startDetached(const QString& program, const QStringList& arguments) = 0;
};

std::unique_ptr<ProcessLauncher> createProcessLauncher();

// Splits a parameter text into arguments: blanks separate them, double quotes group
// blanks into one argument, and a doubled double quote inside quotes is one literal
// double quote. Nothing else is special (no variables, no globbing, no escapes).
QStringList SplitCommandArguments(const QString& text);

} // namespace cvx
