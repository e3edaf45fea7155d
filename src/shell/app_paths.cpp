#include "app_paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStringList>

namespace cvx {

namespace {
QString g_program;
QString g_home;
}

void AppPaths::setProgram(const QString& programFilePath) { g_program = programFilePath; }

void AppPaths::setHome(const QString& dir)
{
    g_home = dir.isEmpty() ? QString() : QDir(dir).absolutePath();
}

static QString programFile()
{
    if (!g_program.isEmpty())
        return g_program;
    if (QCoreApplication::instance())
        return QCoreApplication::applicationFilePath();
    return QDir::current().absoluteFilePath(QStringLiteral("corvalux"));
}

QString AppPaths::programName() { return QFileInfo(programFile()).completeBaseName().toLower(); }

QString AppPaths::programDir() { return QFileInfo(programFile()).absolutePath(); }

QString AppPaths::homeDir() { return g_home.isEmpty() ? programDir() : g_home; }

QString AppPaths::iniPath() { return inHome(programName() + QStringLiteral(".ini")); }

QString AppPaths::logFolder() { return inHome(QStringLiteral("Log")); }

QString AppPaths::csvPath() { return inHome(programName() + QStringLiteral(".csv")); }

QString AppPaths::inHome(const QString& fileName) { return QDir(homeDir()).filePath(fileName); }

QString AppPaths::besideProgram(const QString& fileName) { return QDir(programDir()).filePath(fileName); }

QString AppPaths::homeFromArguments(const QStringList& args)
{
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == QLatin1String("--home") && i + 1 < args.size())
            return args[i + 1];
        if (a.startsWith(QLatin1String("--home=")))
            return a.mid(7);
    }
    return qEnvironmentVariable("CORVALUX_HOME");
}

} // namespace cvx
