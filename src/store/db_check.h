#pragma once
// Every database passes a check before the program uses it: its schema version
// (Global_settings "DB_Version") is compared with the one this program needs, an older
// database is upgraded step by step after the user agrees, and a new database is
// created from a statement file.

#include <QString>
#include <QStringList>

namespace cvx {

class TpSQLConnection;

inline constexpr int CurrentDbVersion = 27;

// The stored "DB_Version"; absent or not a number counts as 0.
int StoredDbVersion(TpSQLConnection& connection);

// Opens and closes a temporary connection; an error is shown and gives false.
bool TestConnection(const QString& connectionString);

// Version check on a temporary connection, with the upgrade offered when the database
// is older. A local database file that does not exist yet is created first. Refuses
// (message "msgDBUpdateNotAllowed") to upgrade a shared server database whose registered
// master is another computer.
bool CheckDatabase(const QString& connectionString);

// Runs every step from the stored version on; returns the version reached (27 unless
// the connection was lost on the way). Statements the database refuses are logged and
// skipped.
int UpgradeDatabase(TpSQLConnection& connection, int fromVersion);

// Creates a database named name on the server the connection points at, its tables from
// the statement file beside the program (".postgre.sql" or ".sql"), the code tables, and
// with a password the enciphered "DBPasswd". The connection then points at the new
// database. statementFile overrides the file beside the program.
bool CreateDatabase(TpSQLConnection& connection, const QString& name, const QString& password, bool postgreSql,
                    const QString& statementFile = QString());

// Creates the schema of a new local database file (the file must not hold tables yet).
bool CreateLocalDatabase(const QString& connectionString, QString* error = nullptr);

// The databases of the server a connection string points at (the connection dialog's
// list). Empty with the reason in error on failure.
QStringList ListServerDatabases(const QString& connectionString, QString* error = nullptr);

// Rebuilds the local database file without its free pages (the dialog's compaction).
bool CompactLocalDatabase(const QString& connectionString, QString* error = nullptr);

// The statement file beside the program: "<program>.postgre.sql" or "<program>.sql",
// falling back to the "corvalux" names.
QString StatementFilePath(bool postgreSql);

} // namespace cvx
