#include "shell_controller.h"

#include "platform/instance_lock.h"
#include "platform/time_service.h"
#include "shell/app_paths.h"
#include "shell/catalogue.h"
#include "shell/config_file.h"
#include "shell/conventions.h"
#include "shell/dialogs.h"
#include "shell/logs.h"
#include "shell/shell_state.h"

#include <QCoreApplication>
#include <QDir>
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

} // namespace

ShellController::ShellController(TimeService& time, Options options, QObject* parent)
    : QObject(parent), time_(time), options_(std::move(options))
{
}

ShellController::~ShellController() { Shutdown(); }

bool ShellController::ProgramEntry()
{
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
    // Language set-up: Hungarian built in, then every "*.lng" beside the program.
    Catalogue& cat = Catalogue::instance();
    cat.clearRegistered();
    cat.registerLanguageFiles(AppPaths::programDir());
    cat.select(Catalogue::Hungarian);
    cat.select(startup.languageId);
    shellState().LanguageId = cat.selectedId();
    shellState().ForcedClientMode = startup.clientMode;
    return true;
}

void ShellController::FormCreate()
{
    ShellState& s = shellState();
    s.ProgramVersion = QStringLiteral(CVX_VERSION);
    ReadLogSwitches(s);
    const int delayMs = s.RunningAsService ? ReadServiceStartDelaySecs() * 1000 : 10;
    timStart_ = time_.createTimer(delayMs, false, [this] { ProgramInit(); });
    timStart_->start();
}

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

    if (connectionString_.isEmpty()) {
        if (AskQuestion(Msg("msgNoDefaultConnection"), DialogButton::Yes | DialogButton::No,
                        QStringLiteral("Corvalux"))
            == mrYes) {
            // The connection dialog comes with the windows; headless there is nothing to choose.
        }
    }
    s.DbConnected = false; // the data store joins the sequence with its own module
    if (!s.DbConnected)
        LogLine(Msg("msgIniFileModeLoadingIni"), true);

    if (ReadJustInstalled())
        ClearJustInstalled();
    LogLine(QStringLiteral("Corvalux - ") + Msg("labNoDBConnection"), true);
    s.Initialised = true;
    Q_EMIT initialised();
}

void ShellController::lookUpConfiguredHost()
{
    ShellState& s = shellState();
    const QString configured = ReadServerHost();
    if (!configured.isEmpty()) {
        s.ConfiguredHost = configured;
        return;
    }
    const QHostInfo info = QHostInfo::fromName(QHostInfo::localHostName());
    for (const QHostAddress& a : info.addresses()) {
        if (a.protocol() == QAbstractSocket::IPv4Protocol) {
            s.ConfiguredHost = a.toString();
            return;
        }
    }
    LogLine(Fmt("errGettingLocalIPIs", info.error() != QHostInfo::NoError ? info.errorString() : QString()), true);
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

void ShellController::Shutdown()
{
    if (shutDown_)
        return;
    shutDown_ = true;
    ShellState& s = shellState();
    s.Stopping = true;
    if (s.Initialised)
        LogLine(Msg("msgClosingConn"), true);
    programLog().close();
    secondInstanceLock_.reset();
    instanceLock_.reset();
}

} // namespace cvx
