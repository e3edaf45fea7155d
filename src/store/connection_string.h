#pragma once
// Connection strings keep the "Key=Value;" form. The provider decides the engine:
//
//   local database file  "Provider=QSQLITE;Data Source=corvalux.db"
//   PostgreSQL server    "Provider=QPSQL;User ID=u;Password=\"p\";Initial Catalog=db;Data Source=host[:port];"
//                        (also "Host=" and "Port=" instead of "Data Source=")
//   anything else        SQL Server (known by its text forms only; no driver here)
//
// Classification is a text search, as stored strings were always told apart:
// "Provider=QSQLITE" (or the old "Microsoft.Jet.OLEDB.4.0") is the local file,
// "Provider=QPSQL" (or the old "Provider=PGNP") is PostgreSQL.

#include <QString>
#include <QStringList>

namespace cvx {

enum class DbEngine { LocalFile, PostgreSql, SqlServer };

inline constexpr const char* LocalFileProvider = "QSQLITE";
inline constexpr const char* PostgreSqlProvider = "QPSQL";
inline constexpr const char* SqlServerProvider = "SQLOLEDB.1";

DbEngine EngineOf(const QString& connectionString);
// The connection string names the local database file (what used to be the Jet case).
bool IsLocalFile(const QString& connectionString);
bool IsPostgreSql(const QString& connectionString);

// Value of a key (keys compared without regard to case, blanks around them ignored);
// a value in double quotes loses its quotes; a key given twice counts with its last
// value. Empty when the key is absent.
QString ConnectionValue(const QString& connectionString, const QString& key);
bool HasConnectionKey(const QString& connectionString, const QString& key);
// The string with the value of every "Password" key replaced by "***" (for logs).
QString MaskPassword(const QString& connectionString);
// Appends "key=value;" (adding a separating ";" when needed).
QString AppendConnectionValue(const QString& connectionString, const QString& key, const QString& value);

// The local database file of a local connection string; a relative name is taken in
// the working folder.
QString LocalDatabasePath(const QString& connectionString);
// "Provider=QSQLITE;Data Source=corvalux.db": the file in the working folder
QString DefaultLocalConnectionString();
QString LocalConnectionString(const QString& databaseFile);

struct PgAddress {
    QString host = QStringLiteral("localhost");
    int port = 5432;
    QString user;
    QString password;
    QString database; // empty: the server's maintenance database
};
PgAddress PostgreSqlAddress(const QString& connectionString);

// The pieces the info panel shows: the text after "Data Source=" up to ";".
QString DataSourceOf(const QString& connectionString);
QString InitialCatalogOf(const QString& connectionString);

} // namespace cvx
