// corvalux: the recording master, a client instance, or the headless service.

#include "app_wiring.h"
#include "console_tee.h"
#include "net_wiring.h"
#include "shell_controller.h"

#include "platform/qt_time_service.h"
#include "platform/time_service.h"
#include "platform/unix_signals.h"
#include "shell/app_paths.h"
#include "shell/catalogue.h"
#include "shell/config_file.h"
#include "shell/dialogs.h"
#include "shell/logs.h"
#include "shell/shell_state.h"
#include "store/connection_string.h"
#include "store/db_check.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QTextStream>

#include <csignal>
#include <cstdio>
#include <memory>

namespace {

void printUsage()
{
    std::fputs("Usage: corvalux [--home DIR] [--headless] [--service] [--check-database]\n"
               "  --home DIR         working folder for the configuration file, the Log folder,\n"
               "                     the CSV log and the local database (default: beside the\n"
               "                     program; the environment variable CORVALUX_HOME does the same)\n"
               "  --headless         run without windows, log lines on standard output\n"
               "  --service          run as the service host (what the service manager starts)\n"

               "  --check-database   check the configured database, create a missing local\n"
               "                     database file or upgrade an older one, then exit\n"
               "                     (0: the database is ready)\n"
               "  --help             this text\n"
               "Signals: SIGINT and SIGTERM stop the program; SIGHUP restarts everything\n"
               "(database, devices, events; clients are told to restart too).\n",
               stdout);
}

// Someone who asks for a database check wants the upgrade it may offer.
class AgreeingDialogs final : public cvx::DialogPresenter {
public:
    void messageBox(const QString&, const QString& text) override { cvx::LogLine(text); }
    int question(const QString&, const QString& text, const QList<Button>& buttons, int) override
    {
        cvx::LogLine(text);
        return buttons.front().result;
    }
};

int checkDatabase()
{
    cvx::mainLog().setAttached(true);
    cvx::Catalogue& cat = cvx::Catalogue::instance();
    cat.registerLanguageFiles(cvx::AppPaths::programDir());
    cat.select(cvx::ReadStartupValues().languageId);
    cvx::shellState().LogFolder = cvx::AppPaths::logFolder();
    QDir().mkpath(cvx::shellState().LogFolder);
    QString cs = cvx::ReadConnectionAndOthers(cvx::shellState());
    if (cs.isEmpty()) {
        cs = cvx::DefaultLocalConnectionString();
        cvx::WriteConnectionString(cs);
    }
    AgreeingDialogs agree;
    cvx::setDialogPresenter(&agree);
    const bool ok = cvx::CheckDatabase(cs);
    cvx::setDialogPresenter(nullptr);
    std::fprintf(ok ? stdout : stderr, "%s: %s\n", qPrintable(cvx::MaskPassword(cs)),
                 ok ? "ready" : "not usable");
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    // Without TZ every local-time conversion looks at /etc/localtime again.
    if (qEnvironmentVariableIsEmpty("TZ"))
        qputenv("TZ", ":/etc/localtime");
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Corvalux"));
    const QStringList args = app.arguments();
    if (args.contains(QStringLiteral("--help")) || args.contains(QStringLiteral("-h"))) {
        printUsage();
        return 0;
    }

    const QString home = cvx::AppPaths::homeFromArguments(args);
    if (!home.isEmpty()) {
        QDir().mkpath(home);
        cvx::AppPaths::setHome(home);
    }

    cvx::QtTimeService time;
    cvx::setProcessTime(&time);

    // Headless, the main log is the console.
    cvx::mainLog().addObserver([](const QString& line) {
        static QTextStream out(stdout);
        out << QDateTime::currentDateTime().toString(QStringLiteral("hh:mm:ss.zzz ")) << line << Qt::endl;
    });

    if (args.contains(QStringLiteral("--check-database")))
        return checkDatabase();

    cvx::ShellController shell(time, {args, true});
    cvx::AppWiring wiring(time, shell);
    cvx::ShellNetwork network(shell, time);
    network.ConnectAcquisition(wiring.Acq());

    // Headless, every line of the measurement text log is shown as it is written.
    std::unique_ptr<cvx::ConsoleTee> csvTee;
    auto handOver = shell.subsystems().csvLogChanged;
    shell.subsystems().csvLogChanged = [&csvTee, handOver](QIODevice* device) {
        std::unique_ptr<cvx::ConsoleTee> next;
        if (device)
            next = std::make_unique<cvx::ConsoleTee>(device, [](const QString& line) { cvx::mainLog().add(line); });
        if (handOver)
            handOver(next.get());
        csvTee = std::move(next);
    };
    if (!shell.ProgramEntry()) {
        std::fprintf(stderr, "%s\n", shell.refusalText().toLocal8Bit().constData());
        return 1;
    }
    // SIGHUP: settings changed behind the program's back (database, devices): the full
    // restart a settings window would run, clients included.
    cvx::UnixSignalWatcher signals([&](int sig) {
        if (sig == SIGHUP) {
            if (cvx::shellState().Initialised)
                shell.RestartAll();
            return;
        }
        QCoreApplication::quit();
    });
    shell.FormCreate();
    const int rc = app.exec();
    shell.Shutdown();
    cvx::setProcessTime(nullptr);
    return rc;
}
