#include "store/db_check.h"

#include "shell/app_paths.h"
#include "shell/catalogue.h"
#include "shell/dialogs.h"
#include "shell/logs.h"
#include "shell/shell_state.h"
#include "store/code_tables.h"
#include "store/measure_cipher.h"
#include "store/settings.h"
#include "store/sql_connection.h"
#include "store/sql_ops.h"
#include "store/sql_query.h"

#include <QFile>
#include <QFileInfo>

namespace cvx {

namespace {

const QString Caption = QStringLiteral("Corvalux");

QString readStatementFile(const QString& path, QString* error)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(path, f.errorString());
        return QString();
    }
    return QString::fromUtf8(f.readAll());
}

// Runs a statement file, fills the code tables and checks the result.
bool createTables(TpSQLConnection& c, const QString& statements, QString* error)
{
    TBatchedADOQuery batch(&c);
    batch.SQL = statements;
    QString errors;
    if (!batch.ExecuteBatch(nullptr, &errors)) {
        if (error)
            *error = errors;
        return false;
    }
    FillConvTables(c);
    if (!CheckTables(c)) {
        if (error)
            *error = Msg("errCreatingTables");
        return false;
    }
    return true;
}

} // namespace

QString StatementFilePath(bool postgreSql)
{
    const QString ext = postgreSql ? QStringLiteral(".postgre.sql") : QStringLiteral(".sql");
    const QString own = AppPaths::besideProgram(AppPaths::programName() + ext);
    if (QFileInfo::exists(own))
        return own;
    return AppPaths::besideProgram(QStringLiteral("corvalux") + ext);
}

int StoredDbVersion(TpSQLConnection& connection)
{
    bool ok = false;
    const int v = ReadGlobalSetting(connection, QStringLiteral("DB_Version")).trimmed().toInt(&ok);
    return ok && v > 0 ? v : 0;
}

bool TestConnection(const QString& connectionString)
{
    TpSQLConnection c(QStringLiteral("conTest"));
    c.ConnectionString = connectionString;
    c.LoginPrompt = false;
    QString error;
    if (!c.Open(&error)) {
        ShowMessageBox(error);
        return false;
    }
    c.Close();
    return true;
}

bool CreateLocalDatabase(const QString& connectionString, QString* error)
{
    TpSQLConnection c(QStringLiteral("conCreate"));
    c.ConnectionString = connectionString;
    c.CreateLocalFile = true;
    if (!c.Open(error))
        return false;
    if (!c.Tables().isEmpty()) {
        if (error)
            *error = QStringLiteral("The database file already holds tables: %1").arg(LocalDatabasePath(connectionString));
        return false;
    }
    const QString statements = readStatementFile(QStringLiteral(":/sql/corvalux.sqlite.sql"), error);
    if (statements.isEmpty())
        return false;
    if (!createTables(c, statements, error)) {
        LogLine(Fmt("errCreatingTablesIs", error ? *error : QString()), true);
        return false;
    }
    LogLine(Msg("msgDBCreated") + QStringLiteral(" ") + LocalDatabasePath(connectionString), true);
    LogLine(Msg("msgCreatingTablesOK"), true);
    return true;
}

bool CheckDatabase(const QString& connectionString)
{
    // A newcomer's first start: the local database file is created on the spot.
    if (IsLocalFile(connectionString)) {
        const QString path = LocalDatabasePath(connectionString);
        bool empty = !path.isEmpty() && !QFileInfo::exists(path);
        if (!empty && !path.isEmpty() && QFileInfo(path).size() == 0)
            empty = true;
        if (empty) {
            QString error;
            if (!CreateLocalDatabase(connectionString, &error)) {
                // Leave nothing half-made behind: the next start tries again.
                QFile::remove(path);
                ShowMessageBox(error);
                return false;
            }
        }
    }

    TpSQLConnection c(QStringLiteral("conCheck"));
    c.ConnectionString = connectionString;
    c.LoginPrompt = false;
    QString error;
    if (!c.Open(&error)) {
        ShowMessageBox(error);
        return false;
    }
    const int version = StoredDbVersion(c);
    if (version > CurrentDbVersion - 1)
        return true;

    ShellState& s = shellState();
    // Before the rebuild of version 13 the value may sit in a blank-padded column.
    s.RegisteredMasterHost = ReadGlobalSetting(c, QStringLiteral("Master_apps_IP")).trimmed();
    // Only the recording instance may upgrade a shared server database; a local file
    // may always be upgraded.
    if (!s.RegisteredMasterHost.isEmpty() && s.RegisteredMasterHost != s.ConfiguredHost
        && !IsLocalFile(connectionString)) {
        ShowMessageBox(Msg("msgDBUpdateNotAllowed"));
        return false;
    }
    if (AskQuestion(Msg("msgDBUpdateNeeded"), DialogButton::Yes | DialogButton::No, Caption) != mrYes) {
        ShowMessageBox(Msg("msgDBNotCompatible"));
        return false;
    }
    const int reached = UpgradeDatabase(c, version);
    if (reached != CurrentDbVersion) {
        ShowMessageBox(Msg("errDBUpdateFailed"));
        return false;
    }
    return true;
}

QStringList ListServerDatabases(const QString& connectionString, QString* error)
{
    QStringList out;
    if (!IsPostgreSql(connectionString)) {
        if (error)
            *error = QStringLiteral("Only PostgreSQL servers can be listed");
        return out;
    }
    TpSQLConnection c(QStringLiteral("conList"));
    c.ConnectionString = connectionString;
    if (!c.Open(error))
        return out;
    TpSQLQuery q(&c, QStringLiteral("SELECT datname FROM pg_database WHERE NOT datistemplate ORDER BY datname"));
    if (!q.Open(error))
        return out;
    for (; !q.Eof(); q.Next())
        out << q.Value(0).toString();
    return out;
}

bool CompactLocalDatabase(const QString& connectionString, QString* error)
{
    if (!IsLocalFile(connectionString)) {
        if (error)
            *error = QStringLiteral("Not a local database file");
        return false;
    }
    TpSQLConnection c(QStringLiteral("conCompact"));
    c.ConnectionString = connectionString;
    if (!c.Open(error))
        return false;
    TpSQLQuery vacuum(&c, QStringLiteral("VACUUM"));
    return vacuum.ExecSQL(nullptr, error);
}

bool CreateDatabase(TpSQLConnection& connection, const QString& name, const QString& password, bool postgreSql,
                    const QString& statementFile)
{
    QString error;
    if (!connection.Connected() && !connection.Open(&error)) {
        LogLine(QStringLiteral("%1 %2").arg(Msg("errCreatingDB"), error), true);
        return false;
    }
    const QString create = postgreSql
        ? QStringLiteral("CREATE DATABASE %1 ENCODING = 'UTF8'").arg(SqlIdentifier(name))
        : QStringLiteral("CREATE DATABASE [%1] COLLATE Hungarian_CI_AS").arg(QString(name).replace(u']', QStringLiteral("]]")));
    if (ExecuteSql(connection, create, Msg("errCreatingDB")) != 0)
        return false;
    LogLine(Msg("msgDBCreated"), true);

    if (postgreSql) {
        connection.Close();
        connection.ConnectionString =
            AppendConnectionValue(connection.ConnectionString, QStringLiteral("Initial Catalog"), name);
        if (!connection.Open(&error)) {
            LogLine(QStringLiteral("%1 %2").arg(Msg("errUsingDB"), error), true);
            return false;
        }
    } else if (ExecuteSql(connection, QStringLiteral("use [%1] ").arg(QString(name).replace(u']', QStringLiteral("]]"))),
                          Msg("errUsingDB"))
               != 0) {
        return false;
    }

    const QString path = statementFile.isEmpty() ? StatementFilePath(postgreSql) : statementFile;
    LogLine(Fmt("labDefDBBeforeCrTablesIs", connection.DefaultDatabase()), true);
    LogLine(Fmt("labConnStrBeforeCrTablesIs", MaskPassword(connection.ConnectionString)), true);
    const QString statements = readStatementFile(path, &error);
    if (statements.isEmpty()) {
        LogLine(Fmt("errCreatingTablesIs", error), true);
        return false;
    }
    if (!createTables(connection, statements, &error)) {
        if (error == Msg("errCreatingTables"))
            LogLine(error, true);
        else
            LogLine(Fmt("errCreatingTablesIs", error), true);
        return false;
    }
    LogLine(Msg("msgCreatingTablesOK"), true);
    if (!password.isEmpty()) {
        TpSQLQuery row(&connection, QStringLiteral("SELECT * FROM Global_settings WHERE Cfg_key='DBPasswd' "));
        if (!row.Open(&error)) {
            LogLine(Fmt("errOpeningTheNewDBIs", error), true);
            return false;
        }
        const bool exists = !row.Eof();
        row.Close();
        const QString ciphered = TDESCipher(BuiltInPassPhrase()).Encipher(password);
        const QString sql = exists
            ? QStringLiteral("UPDATE Global_settings SET cfg_value=:value WHERE Cfg_key='DBPasswd'")
            : QStringLiteral("INSERT INTO Global_settings (Cfg_key, cfg_value) VALUES ('DBPasswd', :value)");
        if (ExecuteSql(connection, sql, Msg("errCreatingTablesIs"), {{QStringLiteral("value"), ciphered}}) != 0)
            return false;
    }
    return true;
}

} // namespace cvx
