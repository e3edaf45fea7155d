#include "shell_controller.h"

#include "activity_supervision.h"
#include "mode_decision.h"

#include "platform/instance_lock.h"
#include "platform/time_service.h"
#include "shell/app_paths.h"
#include "shell/catalogue.h"
#include "shell/config_file.h"
#include "shell/conventions.h"
#include "shell/dialogs.h"
#include "shell/logs.h"
#include "shell/shell_state.h"
#include "shell/warnings.h"
#include "store/code_tables.h"
#include "store/connection_string.h"
#include "store/data_module.h"
#include "store/db_check.h"
#include "store/settings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QHostInfo>
#include <QRandomGenerator>

#include <pwd.h>
#include <unistd.h>

namespace cvx {

namespace {

QString loginName()
{
    if (const passwd* pw = ::getpwuid(::geteuid()); pw && pw->pw_name)
        return QString::fromLocal8Bit(pw->pw_name).left(255);
    return qEnvironmentVariable("USER").left(255);
}

bool hasSwitch(const QStringList& args, const QString& name)
{
    for (int i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        if ((a.startsWith(u'-') || a.startsWith(u'/')) && a.mid(1).compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

// Host name and first IPv4 address; false with the reason when the name does not resolve.
bool localHostAddress(QString* hostName, QString* address, QString* reason)
{
    *hostName = QHostInfo::localHostName();
    const QHostInfo info = QHostInfo::fromName(*hostName);
    for (const QHostAddress& a : info.addresses()) {
        if (a.protocol() == QAbstractSocket::IPv4Protocol) {
            *address = a.toString();
            return true;
        }
    }
    *reason = info.error() != QHostInfo::NoError ? info.errorString() : QStringLiteral("no IPv4 address");
    return false;
}

int intSetting(TfDM& dm, const char* key, int def)
{
    return SettingAsInt(dm.ReadGlobalSetting(QString::fromLatin1(key)), def);
}

} // namespace

ShellController::ShellController(TimeService& time, Options options, QObject* parent)
    : QObject(parent), time_(time), options_(std::move(options))
{
    dm_ = std::make_unique<TfDM>(time_);
    activity_ = std::make_unique<ActivitySupervision>(
        time_, probes_,
        ActivitySupervision::Hooks{[this](TProbe& p) {
                                       if (subsystems_.notifyViews)
                                           subsystems_.notifyViews(p);
                                   },
                                   [this](TProbe& p) {
                                       if (subsystems_.evaluateEvents)
                                           subsystems_.evaluateEvents(p);
                                   },
                                   [this] { return subsystems_.clientConnected && subsystems_.clientConnected(); }});
    timUserSettingsLoad_ = time_.createTimer(50, false, [this] { timUserSettingsLoadTick(); });
    timRestart_ = time_.createTimer(100, false, [this] { timRestartTick(); });
}

ShellController::~ShellController() { Shutdown(); }

// ------------------------------------------------------------------ program entry

bool ShellController::ProgramEntry()
{
    ShellState& s = shellState();
    const StartupValues startup = ReadStartupValues();
    if (startup.oneInstanceAllowed) {
        instanceLock_ = std::make_unique<NamedInstanceLock>(QStringLiteral("Corvalux for Windows"));
        if (!instanceLock_->tryAcquire()) {
            instanceLock_.reset();
            // Fixed texts: the catalogue is not set up yet.
            refusal_ = startup.languageId == 1038
                ? QStringLiteral("Már fut egy Corvalux a gépen. Az ablakának megjelenítéséhez kattintson a tálcán az "
                                 "óra melletti területen lévő Corvalux ikonra.")
                : QStringLiteral("There is already an instance of Corvalux running on this computer. To show its "
                                 "window click on the Corvalux icon on the system tray.");
            return false;
        }
    }

    // A service host is what the service manager starts: the unit passes --service (or
    // the INSTALL/UNINSTALL switches); never in forced client mode, and never twice for
    // one program file.
    s.RunningAsService = false;
    QString programPath = QCoreApplication::instance() ? QCoreApplication::applicationFilePath()
                                                       : AppPaths::besideProgram(AppPaths::programName());
    NamedInstanceLock pathLock(programPath.replace(u'\\', u'/').toLower());
    if (pathLock.tryAcquire()) {
        if (startup.clientMode)
            s.RunningAsService = false;
        else
            s.RunningAsService = hasSwitch(options_.arguments, QStringLiteral("INSTALL"))
                || hasSwitch(options_.arguments, QStringLiteral("UNINSTALL"))
                || options_.arguments.contains(QStringLiteral("--service"));
        pathLock.release();
    }

    // Language: Hungarian built in, then every "*.lng" beside the program.
    Catalogue& cat = Catalogue::instance();
    cat.clearRegistered();
    cat.registerLanguageFiles(AppPaths::programDir());
    cat.select(Catalogue::Hungarian);
    cat.select(startup.languageId);
    s.LanguageId = cat.selectedId();
    s.ForcedClientMode = startup.clientMode;
    return true;
}

void ShellController::FormCreate()
{
    ShellState& s = shellState();
    s.ProgramVersion = QStringLiteral(CVX_VERSION);
    ReadLogSwitches(s);
    const int delayMs = s.RunningAsService ? std::max(0, ReadServiceStartDelaySecs()) * 1000 : 10;
    timStart_ = time_.createTimer(delayMs, false, [this] { ProgramInit(); });
    timStart_->start();
}

// ------------------------------------------------------------------ start sequence

void ShellController::ProgramInit()
{
    if (timStart_)
        timStart_->stop();
    ShellState& s = shellState();
    s.StartTime = time_.localNow();
    s.UserId = loginName();
    QRandomGenerator::global()->generate();

    mainLog().setAttached(true);
    s.LogFolder = AppPaths::logFolder();
    if (!QDir().mkpath(s.LogFolder))
        ShowMessageBox(Fmt("msgCreatingLogFolderFailed", s.LogFolder));

    // Every measurement write would otherwise fill the SQL log (thousands of lines a
    // second on a large installation) and push everything else out of it. A new working
    // folder gets a filter that keeps them out; the user may edit or delete it.
    const QString sqlFilter = AppPaths::inHome(QStringLiteral("SQLLog.filter"));
    if (!QFileInfo::exists(sqlFilter)) {
        QFile f(sqlFilter);
        if (f.open(QIODevice::WriteOnly))
            f.write("INSERT INTO Measure (\nUPDATE Measure SET\nUPDATE Measure AS m SET\n");
    }

    // The program log file; its errors reach the main log 200 ms later, once.
    pendingLogErrors_.clear();
    programLog().open(QDir(s.LogFolder).filePath(AppPaths::programName() + QStringLiteral(".log")),
                      &pendingLogErrors_);
    timErrMsgs_ = time_.createTimer(200, true, [this] {
        for (const QString& e : std::as_const(pendingLogErrors_))
            LogLine(e, true);
        pendingLogErrors_.clear();
    });
    timErrMsgs_->start();

    LogLine(Fmt("labVersionIs", s.ProgramVersion), true);
    LogLine(Fmt("labUserIs", s.UserId), true);
    s.ForcedClientMode = ReadClientMode();
    lookUpConfiguredHost();
    secondInstanceCheck();
    connectionString_ = ReadConnectionAndOthers(s);

    // Unattended, a program that records nothing helps nobody: the answer is yes, and the
    // local database file is the choice.
    if (connectionString_.isEmpty()
        && AskQuestion(Msg("msgNoDefaultConnection"), DialogButton::Yes | DialogButton::No, QStringLiteral("Corvalux"),
                       mrYes)
            == mrYes) {
        QString chosen;
        if (SetUpConnectionString(&chosen))
            connectionString_ = chosen;
    }
    s.DbConnected = SetUpConnection(connectionString_);
    if (!s.DbConnected)
        LogLine(Msg("msgIniFileModeLoadingIni"), true);

    if (subsystems_.createSnmpPoller)
        subsystems_.createSnmpPoller();
    SetUpRecording();

    if (ReadJustInstalled()) {
        if (s.DbConnected) {
            FillConvTables(dm_->conMainConnection);
            dm_->RelabelCodeTables();
        }
        ClearJustInstalled();
    }
    LogLine(title_, true);
    s.Initialised = true;
    // No splash window headless: acquisition may start at once.
    s.SplashClosed = true;
    Q_EMIT initialised();
    startUserSettingsTimer();
}

void ShellController::startUserSettingsTimer() { timUserSettingsLoad_->setEnabled(true); }

void ShellController::timUserSettingsLoadTick()
{
    const ShellState& s = shellState();
    if (!s.Initialised || s.ModalOpen)
        return;
    timUserSettingsLoad_->stop();
    if (!options_.headless)
        SetUpUserSettings();
    else if (s.DbConnected)
        SetUpUserSettings(); // keeps the stored workspace so that a save writes it back unchanged
    if (subsystems_.startAll)
        subsystems_.startAll();
    Q_EMIT acquisitionStarted();
}

void ShellController::lookUpConfiguredHost()
{
    ShellState& s = shellState();
    const QString configured = ReadServerHost();
    if (!configured.isEmpty()) {
        s.ConfiguredHost = configured;
        return;
    }
    QString host, address, reason;
    if (localHostAddress(&host, &address, &reason)) {
        s.ConfiguredHost = address;
        return;
    }
    LogLine(Fmt("errGettingLocalIPIs", reason), true);
    s.ConfiguredHost = QStringLiteral("localhost");
}

void ShellController::secondInstanceCheck()
{
    secondInstanceLock_ = std::make_unique<NamedInstanceLock>(Msg("labCorvaluxTaskNameStr"));
    shellState().AnotherInstance = !secondInstanceLock_->tryAcquire();
    if (shellState().AnotherInstance) {
        secondInstanceLock_.reset();
        LogLine(Msg("msgAnotherInstance"), true);
    }
}

// ------------------------------------------------------------------ connection and modes

bool ShellController::SetUpConnectionString(QString* chosen)
{
    if (shellState().Initialised)
        StopAll();
    const QString cs = subsystems_.chooseConnection ? subsystems_.chooseConnection()
        : options_.headless                         ? DefaultLocalConnectionString()
                                                    : QString();
    if (cs.isEmpty())
        return false;
    WriteConnectionString(cs);
    ShowMessageBox(Msg("msgConnStored"));
    if (chosen)
        *chosen = cs;
    return true;
}

bool ShellController::SetUpConnection(const QString& connectionString)
{
    ShellState& s = shellState();
    if (connectionString.isEmpty())
        return false;
    // The password stays out of the logs.
    LogLine(Fmt("msgConnStrIs", QStringLiteral("\r\n") + MaskPassword(connectionString) + QStringLiteral("\r\n")),
            true);
    if (!CheckDatabase(connectionString)) {
        ShowMessageBox(Msg("errCheckingConnection"));
        return false;
    }
    s.DbConnected = true;
    QString error;
    if (!dm_->OpenMainConnection(connectionString, &error)) {
        LogLine(error, true);
        ShowMessageBox(Msg("errCheckingConnection"));
        s.DbConnected = false;
        return false;
    }
    connectionString_ = connectionString;
    dm_->SetUpNameStrs();
    SetUpModes();
    dm_->ReadDbPassword();
    if (CodeTablesRefilled()) {
        dm_->RelabelCodeTables();
        SetCodeTablesRefilled(false);
    }
    return true;
}

bool ShellController::ResetConnection() { return dm_->ResetConnection(); }

void ShellController::SetUpModes()
{
    ShellState& s = shellState();
    QString host, address, reason;
    if (!localHostAddress(&host, &address, &reason)) {
        LogLine(Fmt("errGettingLocalIPIs", reason), true);
        host.clear();
        address.clear();
    }
    if (s.UsingJet)
        LogLine(QStringLiteral("Running on local MDB."), true);
    s.RegisteredMasterHost = dm_->ReadGlobalSetting(QStringLiteral("Master_apps_IP"));
    LogLine(SafeFormat(QStringLiteral("Local hostname:         %s (%s)"), host, address), true);
    LogLine(SafeFormat(QStringLiteral("Configured hostname:    %s"), s.ConfiguredHost), true);
    LogLine(SafeFormat(QStringLiteral("Registered master host: %s"), s.RegisteredMasterHost), true);

    const ModeDecision d = DecideMode(
        {s.ForcedClientMode, s.RunningAsService, s.RegisteredMasterHost, s.ConfiguredHost, s.AnotherInstance});
    s.MasterMode = d.masterMode;
    LogLine(d.logLine, true);
    if (d.registerSelf) {
        dm_->WriteGlobalSetting(QStringLiteral("Master_apps_IP"), s.ConfiguredHost);
        s.RegisteredMasterHost = s.ConfiguredHost;
    }
    if (s.ForcedClientMode && s.RegisteredMasterHost.isEmpty())
        ShowMessageBox(Msg("msgMonModeWithoutRecSrv"));
    SetUpCSV();
    if (subsystems_.setUpSockets)
        subsystems_.setUpSockets();
    if (subsystems_.setUpWebServer)
        subsystems_.setUpWebServer();
}

void ShellController::SetUpCSV()
{
    ShellState& s = shellState();
    closeCsv();
    if (!s.MasterMode)
        return;
    if (!SettingAsBool(dm_->ReadGlobalSetting(QStringLiteral("CSV_Log")), false)) {
        LogLine(Msg("msgCSVOff"), true);
        return;
    }
    const QString path = AppPaths::csvPath();
    LogLine(Fmt("msgCSVFileNameIs", path), true);
    if (!QFileInfo::exists(path)) {
        QFile create(path);
        if (!create.open(QIODevice::WriteOnly))
            LogLine(Fmt("errCreatingCSVIs", create.errorString()), true);
    }
    auto f = std::make_unique<QFile>(path);
    if (!f->open(QIODevice::WriteOnly | QIODevice::Append)) {
        LogLine(Fmt("errOpeningCSVIS", f->errorString()), true);
        return;
    }
    f->flush();
    csv_ = std::move(f);
    s.CsvLogOpen = true;
    if (subsystems_.csvLogChanged)
        subsystems_.csvLogChanged(csv_.get());
}

bool ShellController::CsvLogOpen() const { return csv_ != nullptr; }

void ShellController::closeCsv()
{
    if (!csv_)
        return;
    if (subsystems_.csvLogChanged)
        subsystems_.csvLogChanged(nullptr);
    if (!csv_->flush())
        LogLine(Fmt("errClosingCSVIs", csv_->errorString()), true);
    csv_->close();
    csv_.reset();
    shellState().CsvLogOpen = false;
}

void ShellController::SetUpVBT()
{
    ShellState& s = shellState();
    if (s.DbConnected) {
        s.VbtCommandAttempts = intSetting(*dm_, "REPEAT_VBT_CMDS", 2) + 1;
        s.VbtPollAttempts = intSetting(*dm_, "REPEAT_VBT_POLLS", 0) + 1;
        s.VbtTimeOut1 = intSetting(*dm_, "VBT_TIME_OUT_1", 110);
        s.VbtTimeOut2 = intSetting(*dm_, "VBT_TIME_OUT_2", 160);
        s.VbtTimeOut3 = intSetting(*dm_, "VBT_TIME_OUT_3", 230);
    } else {
        s.VbtCommandAttempts = 3;
        s.VbtPollAttempts = 1;
        s.VbtTimeOut1 = 110;
        s.VbtTimeOut2 = 160;
        s.VbtTimeOut3 = 230;
    }
}

void ShellController::SetUpProbesAndInterfaces()
{
    ShellState& s = shellState();
    s.RecordingSuspended = true;
    if (subsystems_.loadAll)
        subsystems_.loadAll();
    s.NoProbes = probes_.Interfaces.empty();
    if (s.NoProbes) {
        ShowMessageBox(Msg("msgNoInterfacesDefined"));
    } else if (s.DbConnected) {
        if (s.MasterMode) {
            qint64 minPoll = 30000;
            for (const auto& i : probes_.Interfaces)
                if (i->PollInterval > 0)
                    minPoll = std::min(minPoll, i->PollInterval);
            dm_->WriteGlobalSetting(QStringLiteral("Min_poll_time"), QString::number(minPoll));
        } else {
            monitoringInterval_
                = std::max(5000, SettingAsInt(dm_->ReadGlobalSetting(QStringLiteral("Min_poll_time")), 30000));
        }
    }
    s.RecordingSuspended = false;
    s.Stopping = false;
    activity_->Start();
    s.ProbesSetUpTime = time_.localNow();
}

// Start and restart must bring up the same pieces in the same order.
void ShellController::SetUpRecording()
{
    if (subsystems_.reloadEvents)
        subsystems_.reloadEvents();
    SetUpVBT();
    SetUpProbesAndInterfaces();
    if (subsystems_.setUpWatchdog)
        subsystems_.setUpWatchdog();
    SetUpMenusAndCaptions();
}

void ShellController::SetUpMenusAndCaptions()
{
    const ShellState& s = shellState();
    const QString prefix = s.RunningAsService ? Msg("labCVXSrvWinCaption") : QStringLiteral("Corvalux");
    const QString mode = !s.DbConnected ? Msg("labNoDBConnection")
        : s.MasterMode                  ? Msg("labRecModeCaption")
                                        : Msg("labMonModeCaption");
    const QString probes = s.NoProbes ? Msg("labNoProbesCaption") : QString();
    title_ = prefix + QStringLiteral(" - ") + mode + u' ' + probes;
    Q_EMIT titleChanged(title_);
}

// ------------------------------------------------------------------ workspace

void ShellController::SetUpUserSettings()
{
    if (!shellState().DbConnected)
        return;
    auto num = [this](const char* key, int def) {
        return SettingAsInt(dm_->ReadUserSetting(QString::fromLatin1(key)), def);
    };
    Workspace& w = workspace_;
    if (!dm_->ReadUserSetting(QStringLiteral("main_posx")).isEmpty()) {
        w.alertsEnabled = SettingAsBool(dm_->ReadUserSetting(QStringLiteral("main_Alerts_enabled")), true);
        warningPanel().setMenuAlertsEnabled(w.alertsEnabled);
        w.mainX = num("main_posx", w.mainX);
        w.mainY = num("main_posy", w.mainY);
        w.mainHeight = num("main_height", w.mainHeight);
        w.mainWidth = num("main_width", w.mainWidth);
        w.mainState = num("main_wstate", w.mainState);
        w.mainStyle = num("main_style", w.mainStyle);
    }
    if (!dm_->ReadUserSetting(QStringLiteral("prmon_posx")).isEmpty()) {
        w.monitorOpen = true;
        w.monitorX = num("prmon_posx", w.monitorX);
        w.monitorY = num("prmon_posy", w.monitorY);
        w.monitorHeight = num("prmon_height", w.monitorHeight);
        w.monitorWidth = num("prmon_width", w.monitorWidth);
        w.monitorState = num("prmon_wstate", w.monitorState);
        shellState().MonitorWindowOpen = options_.headless ? false : true;
    }
}

void ShellController::SaveWorkspace()
{
    if (!shellState().DbConnected)
        return;
    const Workspace& w = workspace_;
    ClearUserSettings(dm_->conMainConnection);
    auto put = [this](const char* key, const QString& value) {
        dm_->WriteUserSetting(QString::fromLatin1(key), value, false);
    };
    put("main_style", QString::number(w.mainStyle));
    put("main_posx", QString::number(w.mainX));
    put("main_posy", QString::number(w.mainY));
    put("main_height", QString::number(w.mainHeight));
    put("main_width", QString::number(w.mainWidth));
    put("main_wstate", QString::number(w.mainState));
    put("main_Alerts_enabled", BoolSettingText(warningPanel().menuAlertsEnabled()));
    if (w.monitorOpen) {
        put("prmon_posx", QString::number(w.monitorX));
        put("prmon_posy", QString::number(w.monitorY));
        put("prmon_height", QString::number(w.monitorHeight));
        put("prmon_width", QString::number(w.monitorWidth));
        put("prmon_wstate", QString::number(w.monitorState));
    }
}

// ------------------------------------------------------------------ stop, restart, close

void ShellController::StopAll()
{
    ShellState& s = shellState();
    LogLine(Msg("msgClosingConn"), true);
    activity_->Stop();
    timRestart_->stop();
    timUserSettingsLoad_->stop();
    s.Stopping = true;
    s.RecordingSuspended = true;
    warningPanel().Close();
    if (s.DbConnected && s.MasterMode) {
        LogLine(Msg("msgRestartingClients"), true);
        if (subsystems_.sendRestartToClients)
            subsystems_.sendRestartToClients();
        closeCsv();
        dm_->WriteGlobalSetting(QStringLiteral("Master_apps_IP"), QString());
    }
    if (subsystems_.closeSockets)
        subsystems_.closeSockets();
    SaveWorkspace();
    s.BulkClosing = true;
    s.MonitorWindowOpen = false;
    if (subsystems_.destroyEventsAndTasks)
        subsystems_.destroyEventsAndTasks();
    probes_.Clear();
    s.DbConnected = false;
    s.NoProbes = true;
    dm_->CloseMainConnection();
    SetUpMenusAndCaptions();
}

void ShellController::RestartAll()
{
    LogLine(Msg("msgRestartAll"), true);
    const QString connection = connectionString_;
    StopAll();
    ShellState& s = shellState();
    s.DbConnected = SetUpConnection(connection);
    SetUpRecording();
    SetUpUserSettings();
    if (subsystems_.startAll)
        subsystems_.startAll();
    s.BulkClosing = false;
}

void ShellController::RestartOrderedByMaster() { timRestart_->setEnabled(true); }

void ShellController::timRestartTick()
{
    if (shellState().ModalOpen)
        return;
    timRestart_->stop();
    ShowMessageBox(Msg("msgRestartingCmd"));
    if (shellState().DbConnected)
        ClearUserSettings(dm_->conMainConnection);
    RestartAll();
}

void ShellController::Shutdown()
{
    if (shutDown_)
        return;
    shutDown_ = true;
    ShellState& s = shellState();
    if (s.Initialised) {
        s.Stopping = true;
        if (subsystems_.closeSockets)
            subsystems_.closeSockets();
        StopAll();
        if (subsystems_.destroySnmpPoller)
            subsystems_.destroySnmpPoller();
    }
    programLog().close();
    secondInstanceLock_.reset();
    instanceLock_.reset();
}

} // namespace cvx
