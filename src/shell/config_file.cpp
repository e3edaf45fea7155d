#include "config_file.h"

#include "app_paths.h"
#include "catalogue.h"
#include "ini_file.h"
#include "logs.h"
#include "shell_state.h"

namespace cvx {

namespace {
const QString OTHERS = QStringLiteral("OTHERS");
const QString others = QStringLiteral("others");
const QString CONNECTION = QStringLiteral("CONNECTION");
const QString LOG = QStringLiteral("LOG");
} // namespace

StartupValues ReadStartupValues()
{
    TCreateMissingValuesIni ini(AppPaths::iniPath());
    StartupValues v;
    v.oneInstanceAllowed = ini.ReadBool(others, QStringLiteral("one_instance_allowed"), true);
    v.languageId = ini.ReadInteger(others, QStringLiteral("LANGUAGE_ID"), 1038);
    v.clientMode = ini.ReadBool(OTHERS, QStringLiteral("CLIENTMODE"), false);
    return v;
}

QString ReadConnectionAndOthers(ShellState& s)
{
    TCreateMissingValuesIni ini(AppPaths::iniPath());
    const QString connection = ini.ReadString(CONNECTION, QStringLiteral("CONNECTION_STRING"), QString());
    s.ForcedClientMode = ini.ReadBool(OTHERS, QStringLiteral("CLIENTMODE"), false);
    s.INACTIVITY_FACTOR = ini.ReadInteger(OTHERS, QStringLiteral("INACTIVITY_FACTOR"), 2);
    LogLine(Fmt("msgInactivityConstantIs", s.INACTIVITY_FACTOR), true);
    s.TCPIP_PORT = ini.ReadInteger(OTHERS, QStringLiteral("TCPIP_PORT"), 11110);
    LogLine(Fmt("msgSocketPortNumberIs", s.TCPIP_PORT), true);
    s.SERVER_HOST = ini.ReadString(OTHERS, QStringLiteral("SERVER_HOST"), QString());
    s.VALIDITY_CHECK = ini.ReadBool(OTHERS, QStringLiteral("VALIDITY_CHECK"), false);
    s.CHANGE_POSTGRE_BSS = ini.ReadBool(OTHERS, QStringLiteral("CHANGE_POSTGRE_BSS"), true);
    s.Restart_everything_interval_minutes
        = ini.ReadInteger(OTHERS, QStringLiteral("Restart_everything_interval_minutes"), 3600000);
    s.White_background_on_graphs = ini.ReadBool(OTHERS, QStringLiteral("White_background_on_graphs"), false);
    s.UseVBTWAddresses = ini.ReadBool(OTHERS, QStringLiteral("UseVBTWAddresses"), false);
    s.DevHub_kliens = ini.ReadBool(OTHERS, QStringLiteral("DevHub_kliens"), false);
    ini.ReadBool(OTHERS, QStringLiteral("JUST_INSTALLED"), false);
    return connection;
}

QString ReadServerHost()
{
    TCreateMissingValuesIni ini(AppPaths::iniPath());
    return ini.ReadString(OTHERS, QStringLiteral("SERVER_HOST"), QString());
}

int ReadLanguageId(int defaultValue)
{
    TCreateMissingValuesIni ini(AppPaths::iniPath());
    return ini.ReadInteger(others, QStringLiteral("LANGUAGE_ID"), defaultValue);
}

void WriteLanguageId(int languageId)
{
    TCreateMissingValuesIni ini(AppPaths::iniPath());
    ini.WriteInteger(others, QStringLiteral("LANGUAGE_ID"), languageId);
}

bool ReadClientMode()
{
    TCreateMissingValuesIni ini(AppPaths::iniPath());
    return ini.ReadBool(OTHERS, QStringLiteral("CLIENTMODE"), false);
}

bool ReadJustInstalled()
{
    TCreateMissingValuesIni ini(AppPaths::iniPath());
    return ini.ReadBool(OTHERS, QStringLiteral("JUST_INSTALLED"), false);
}

void ClearJustInstalled()
{
    TCreateMissingValuesIni ini(AppPaths::iniPath());
    ini.WriteBool(OTHERS, QStringLiteral("JUST_INSTALLED"), false);
}

void WriteConnectionString(const QString& connectionString)
{
    TCreateMissingValuesIni ini(AppPaths::iniPath());
    ini.WriteString(CONNECTION, QStringLiteral("CONNECTION_STRING"), connectionString);
}

void ReadLogSwitches(ShellState& s)
{
    TCreateMissingValuesIni ini(AppPaths::iniPath());
    s.LOG_SQL = ini.ReadBool(LOG, QStringLiteral("LOG_SQL"), false);
    s.LOG_SENSOR_SETTINGS = ini.ReadBool(LOG, QStringLiteral("LOG_SENSOR_SETTINGS"), false);
    s.LOG_EVENTS = ini.ReadBool(LOG, QStringLiteral("LOG_EVENTS"), false);
    s.LOG_COMM = ini.ReadBool(LOG, QStringLiteral("LOG_COMM"), false);
    s.LOG_POLL = ini.ReadBool(LOG, QStringLiteral("LOG_POLL"), false);
}

void WriteLogSwitches(const ShellState& s)
{
    TCreateMissingValuesIni ini(AppPaths::iniPath());
    ini.WriteBool(LOG, QStringLiteral("LOG_SQL"), s.LOG_SQL);
    ini.WriteBool(LOG, QStringLiteral("LOG_SENSOR_SETTINGS"), s.LOG_SENSOR_SETTINGS);
    ini.WriteBool(LOG, QStringLiteral("LOG_EVENTS"), s.LOG_EVENTS);
    ini.WriteBool(LOG, QStringLiteral("LOG_COMM"), s.LOG_COMM);
    ini.WriteBool(LOG, QStringLiteral("LOG_POLL"), s.LOG_POLL);
}

int ReadServiceStartDelaySecs()
{
    TCreateMissingValuesIni ini(AppPaths::iniPath());
    return ini.ReadInteger(OTHERS, QStringLiteral("ServiceStartDelaySecs"), 20);
}

bool ReadIniInterface(int n, IniInterfaceEntry* out)
{
    TCreateMissingValuesIni ini(AppPaths::iniPath());
    const QString section = QStringLiteral("INTERFACES");
    const QString p = QStringLiteral("INTERFACE%1_").arg(n);
    // Only the name is probed: the list must not grow a default entry at its end.
    if (!ini.ValueExists(section, p + QStringLiteral("NAME")))
        return false;
    IniInterfaceEntry e;
    e.number = n;
    e.name = ini.ReadString(section, p + QStringLiteral("NAME"), QString());
    if (e.name.isEmpty())
        return false;
    e.serverType = ini.ReadInteger(section, p + QStringLiteral("TIPUS"), 2);
    e.protocol = ini.ReadInteger(section, p + QStringLiteral("PROTOKOL"), 1);
    e.port = ini.ReadInteger(section, p + QStringLiteral("PORT"), 1001);
    e.baud = ini.ReadInteger(section, p + QStringLiteral("BAUD"), 115200);
    e.ip = ini.ReadString(section, p + QStringLiteral("IP"), QString());
    e.address = ini.ReadInteger(section, p + QStringLiteral("ADDRESS"), 1);
    e.interval = ini.ReadInteger(section, p + QStringLiteral("INTERVAL"), 6000);
    if (e.serverType == 4)
        e.ip.clear(); // a serial bridge has no host
    *out = e;
    return true;
}

bool ReadIniSensor(int n, IniSensorEntry* out)
{
    TCreateMissingValuesIni ini(AppPaths::iniPath());
    const QString section = QStringLiteral("SENSORS");
    const QString p = QStringLiteral("SENSOR%1_").arg(n);
    if (!ini.ValueExists(section, p + QStringLiteral("NAME")))
        return false;
    IniSensorEntry e;
    e.number = n;
    e.name = ini.ReadString(section, p + QStringLiteral("NAME"), QString());
    if (e.name.isEmpty())
        return false;
    e.interfaceNumber = ini.ReadInteger(section, p + QStringLiteral("INTERFACE"), 1);
    e.type = ini.ReadInteger(section, p + QStringLiteral("TYPE"), 4);
    e.address = ini.ReadInteger(section, p + QStringLiteral("ADDRESS"), 1);
    *out = e;
    return true;
}

} // namespace cvx
