#pragma once
// The shell's sequences without windows: program entry, the start sequence run from
// the first tick of the start timer, and the stop, restart and close sequences. The
// desktop program observes it; the headless service and the tests run it alone.

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

namespace cvx {

class NamedInstanceLock;
class TimeService;
class Timer;

class ShellController : public QObject {
    Q_OBJECT
public:
    struct Options {
        QStringList arguments;
        bool headless = true;
    };

    ShellController(TimeService& time, Options options, QObject* parent = nullptr);
    ~ShellController() override;

    // Single-instance rule and service decision. False: another instance runs and this
    // one must exit (the refusal text has been shown).
    bool ProgramEntry();
    // Arms the start timer; ProgramInit runs from its first tick.
    void FormCreate();
    void ProgramInit();
    // Close: stop everything and write the stop banner.
    void Shutdown();

    const QString& refusalText() const { return refusal_; }

Q_SIGNALS:
    void initialised();

private:
    void lookUpConfiguredHost();
    void secondInstanceCheck();

    TimeService& time_;
    Options options_;
    QString refusal_;
    std::unique_ptr<NamedInstanceLock> instanceLock_;
    std::unique_ptr<NamedInstanceLock> secondInstanceLock_;
    std::unique_ptr<Timer> timStart_;
    std::unique_ptr<Timer> timErrMsgs_;
    QStringList pendingLogErrors_;
    QString connectionString_;
    bool shutDown_ = false;
};

} // namespace cvx
