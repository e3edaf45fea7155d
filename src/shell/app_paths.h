#pragma once
// Where the program's files live. The working folder (configuration file, Log folder,
// CSV log, local database) is beside the program unless --home or CORVALUX_HOME moves
// it; language and statement files always come from beside the program.

#include <QString>

namespace cvx {

class AppPaths {
public:
    static void setProgram(const QString& programFilePath);
    static void setHome(const QString& dir);       // empty: beside the program
    static QString programName();                  // lower case, without extension
    static QString programDir();
    static QString homeDir();
    static QString iniPath();                      // <home>/<program>.ini
    static QString logFolder();                    // <home>/Log
    static QString csvPath();                      // <home>/<program>.csv
    static QString inHome(const QString& fileName);
    static QString besideProgram(const QString& fileName);
    // --home DIR / --home=DIR on the command line, else CORVALUX_HOME, else empty.
    static QString homeFromArguments(const QStringList& args);
};

} // namespace cvx
