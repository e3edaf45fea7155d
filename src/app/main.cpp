// corvalux: the recording master, a client instance, or the headless service.

#include "app_wiring.h"
#include "net_wiring.h"
#include "shell_controller.h"

#include "platform/qt_time_service.h"
#include "platform/time_service.h"
#include "platform/unix_signals.h"
#include "shell/app_paths.h"
#include "shell/logs.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QTextStream>

#include <cstdio>

namespace {

void printUsage()
{
    std::fputs("Usage: corvalux [--home DIR] [--headless]\n"
               "  --home DIR   working folder for the configuration file, the Log folder,\n"
               "               the CSV log and the local database (default: beside the\n"
               "               program; the environment variable CORVALUX_HOME does the same)\n"
               "  --headless   run without windows, log lines on standard output\n"
               "  --help       this text\n",
               stdout);
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

    cvx::ShellController shell(time, {args, true});
    cvx::AppWiring wiring(time, shell);
    cvx::ShellNetwork network(shell, time);
    if (!shell.ProgramEntry()) {
        std::fprintf(stderr, "%s\n", shell.refusalText().toLocal8Bit().constData());
        return 1;
    }
    cvx::UnixSignalWatcher signals([&](int) { QCoreApplication::quit(); });
    shell.FormCreate();
    const int rc = app.exec();
    shell.Shutdown();
    cvx::setProcessTime(nullptr);
    return rc;
}
