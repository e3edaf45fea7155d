#pragma once
// The process-wide flags and values that every subsystem may read. Only the shell's
// sequences change them (and the few operations named beside each field).

#include <QDateTime>
#include <QString>

namespace cvx {

struct ShellState {
    bool RunningAsService = false;
    bool ForcedClientMode = false;
    bool DbConnected = false;
    bool UsingJet = false;          // the main connection is the local database file
    bool MasterMode = false;
    bool NoProbes = true;
    bool AnotherInstance = false;
    bool ModalOpen = false;
    bool Stopping = false;
    bool RecordingSuspended = false;
    bool BulkClosing = false;
    bool Initialised = false;
    bool SplashClosed = false;
    bool MonitorWindowOpen = false;
    bool CsvLogOpen = false;

    QString ConfiguredHost;
    QString RegisteredMasterHost;
    QString UserId;
    QString ProgramVersion;
    QDateTime StartTime;
    QDateTime ProbesSetUpTime;
    QString LogFolder;
    QString DataSourceName;
    QString DatabaseName;
    int LanguageId = 1038;

    // Configuration-file values held under their key names.
    int INACTIVITY_FACTOR = 2;
    int TCPIP_PORT = 11110;
    QString SERVER_HOST;
    bool VALIDITY_CHECK = false;
    bool CHANGE_POSTGRE_BSS = true;
    qint64 Restart_everything_interval_minutes = 3600000;
    bool White_background_on_graphs = false;
    bool UseVBTWAddresses = false;
    bool DevHub_kliens = false;

    // The five LOG switches.
    bool LOG_SQL = false;
    bool LOG_SENSOR_SETTINGS = false;
    bool LOG_EVENTS = false;
    bool LOG_COMM = false;
    bool LOG_POLL = false;

    // Device-link settings read from Global_settings at set-up.
    int VbtCommandAttempts = 3;
    int VbtPollAttempts = 1;
    int VbtTimeOut1 = 110;
    int VbtTimeOut2 = 160;
    int VbtTimeOut3 = 230;
};

ShellState& shellState();
// Back to the state of a freshly started process (tests).
void resetShellState();

} // namespace cvx
