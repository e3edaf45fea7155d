#pragma once
// The configuration file's groups of keys, one reader or writer per group. Each opens
// the file, reads or writes, and closes it again; a missing key is written back with
// its default.

#include <QString>

namespace cvx {

struct ShellState;

struct StartupValues {
    bool oneInstanceAllowed = true;
    int languageId = 1038;
    bool clientMode = false;
};

// Read at program entry, before anything else.
StartupValues ReadStartupValues();
// The CONNECTION and OTHERS groups of the start sequence; writes the log lines of the
// inactivity factor and the socket port. Returns the connection string.
QString ReadConnectionAndOthers(ShellState& state);
QString ReadServerHost();
int ReadLanguageId(int defaultValue = 1038);
void WriteLanguageId(int languageId);
bool ReadClientMode();
bool ReadJustInstalled();
void ClearJustInstalled();
void WriteConnectionString(const QString& connectionString);
void ReadLogSwitches(ShellState& state);
void WriteLogSwitches(const ShellState& state);
int ReadServiceStartDelaySecs();

// Interfaces and sensors of ini-file mode, numbered from 1; interface n is identified
// by n, and "SENSOR<n>_INTERFACE" names it.
struct IniInterfaceEntry {
    int number = 0;
    QString name;
    int serverType = 2;
    int protocol = 1;
    int port = 1001;
    int baud = 115200;
    QString ip;
    int address = 1;
    int interval = 6000;
};
struct IniSensorEntry {
    int number = 0;
    QString name;
    int interfaceNumber = 1;
    int type = 4;
    int address = 1;
};
// False when entry n's name is missing or empty (the end of the list).
bool ReadIniInterface(int n, IniInterfaceEntry* out);
bool ReadIniSensor(int n, IniSensorEntry* out);

} // namespace cvx
