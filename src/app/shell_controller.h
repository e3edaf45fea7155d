#pragma once
// The shell's sequences without windows: program entry, the start sequence run from
// the first tick of the start timer, connection set-up and the mode decision, and the
// stop, restart and close sequences. The desktop program observes it; the headless
// service and the tests run it alone. The layers above the data store plug in through
// ShellSubsystems, so the sequences stay in one place and testable with fakes.

#include "acquisition/probe_lists.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class QFile;
class QIODevice;

namespace cvx {

class ActivitySupervision;
class NamedInstanceLock;
class TfDM;
class TimeService;
class Timer;

// What the sequences call in the layers above the data store. Every hook may be empty.
struct ShellSubsystems {
    std::function<void()> createSnmpPoller;
    std::function<void()> destroySnmpPoller;
    std::function<void()> reloadEvents;           // does nothing on a client
    std::function<void()> destroyEventsAndTasks;  // last first
    std::function<void()> loadAll;                // fills Probes from the database or the ini file
    std::function<void()> startAll;
    std::function<void()> setUpWatchdog;
    std::function<void()> setUpSockets;
    std::function<void()> sendRestartToClients;
    std::function<void()> closeSockets;           // server, keep-alive server, client; reconnect timer
    std::function<void()> setUpWebServer;
    std::function<void(QIODevice*)> csvLogChanged; // nullptr when closed
    std::function<void(TProbe&)> notifyViews;
    std::function<void(TProbe&)> evaluateEvents;
    std::function<bool()> clientConnected;
    // The connection dialog; empty on the desktop until the windows exist.
    std::function<QString()> chooseConnection;
};

// Window places and switches saved per user. Headless, what was read is written back.
struct Workspace {
    int mainStyle = 1;
    int mainX = 0, mainY = 0, mainHeight = 600, mainWidth = 800, mainState = 0;
    bool alertsEnabled = true;
    bool monitorOpen = false;
    int monitorX = 0, monitorY = 0, monitorHeight = 400, monitorWidth = 700, monitorState = 0;
};

class ShellController : public QObject {
    Q_OBJECT
public:
    struct Options {
        QStringList arguments;
        bool headless = true;
    };

    ShellController(TimeService& time, Options options, QObject* parent = nullptr);
    ~ShellController() override;

    ShellSubsystems& subsystems() { return subsystems_; }
    ProbeLists& Probes() { return probes_; }
    TfDM& DataModule() { return *dm_; }
    ActivitySupervision& Activity() { return *activity_; }
    Workspace& workspace() { return workspace_; }

    // Single-instance rule, language set-up. False: another instance runs and this one
    // must exit (refusalText says why).
    bool ProgramEntry();
    const QString& refusalText() const { return refusal_; }
    // Arms the start timer; ProgramInit runs from its first tick.
    void FormCreate();
    void ProgramInit();

    // Stops everything and lets the user choose a database; headless, the local
    // database file beside the working folder is chosen. True when one was chosen.
    bool SetUpConnectionString(QString* chosen);
    bool SetUpConnection(const QString& connectionString);
    bool ResetConnection();
    void SetUpModes();
    void SetUpCSV();
    void SetUpVBT();
    void SetUpProbesAndInterfaces();
    void SetUpMenusAndCaptions();
    // Events, links, probes and interfaces, the watchdog, the captions.
    void SetUpRecording();
    void SetUpUserSettings();
    void SaveWorkspace();
    void StopAll();
    void RestartAll();
    // The restart ordered by the master (client side): every 100 ms until no dialog is open.
    void RestartOrderedByMaster();
    // Close: stop everything, write the stop banner, release the locks.
    void Shutdown();

    QString Title() const { return title_; }
    QString ConnectionString() const { return connectionString_; }
    qint64 MonitoringInterval() const { return monitoringInterval_; }
    bool CsvLogOpen() const;

Q_SIGNALS:
    void initialised();
    void acquisitionStarted();
    void titleChanged(const QString& title);

private:
    void lookUpConfiguredHost();
    void secondInstanceCheck();
    void startUserSettingsTimer();
    void closeCsv();
    void timUserSettingsLoadTick();
    void timRestartTick();

    TimeService& time_;
    Options options_;
    ShellSubsystems subsystems_;
    ProbeLists probes_;
    std::unique_ptr<TfDM> dm_;
    std::unique_ptr<ActivitySupervision> activity_;
    Workspace workspace_;
    QString refusal_;
    QString title_;
    QString connectionString_;
    qint64 monitoringInterval_ = 30000;
    std::unique_ptr<NamedInstanceLock> instanceLock_;
    std::unique_ptr<NamedInstanceLock> secondInstanceLock_;
    std::unique_ptr<Timer> timStart_;
    std::unique_ptr<Timer> timErrMsgs_;
    std::unique_ptr<Timer> timUserSettingsLoad_;
    std::unique_ptr<Timer> timRestart_;
    std::unique_ptr<QFile> csv_;
    QStringList pendingLogErrors_;
    bool shutDown_ = false;
};

} // namespace cvx
