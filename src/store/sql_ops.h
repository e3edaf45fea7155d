#pragma once
// Shared operations that every part of the program uses to run statements and to
// re-read data sets with uniform error reporting, and the batch query that runs a list
// of statements.

#include <QList>
#include <QPair>
#include <QString>
#include <QVariant>

#include <memory>

namespace cvx {

class TNaplo;
class TpSQLConnection;
class TpSQLQuery;

using SqlParams = QList<QPair<QString, QVariant>>;

// Runs one statement without rows. 0 on success (with the "LOG_SQL" switch on, the
// statement goes to the SQL command log and the main log); -1 on failure with one log
// line: "<errorText> <library message> (<sql>)", or "msgSQLErrorOccured" without an
// error text. Values go in as bound parameters, never pasted into the text.
int ExecuteSql(TpSQLConnection& connection, const QString& sql, const QString& errorText,
               const SqlParams& params = {});

// The SQL command log "SQLLog.sqllog" in the Log folder (written while "LOG_SQL" is on).
TNaplo& SqlCommandLog();

// A query of the connection that writes nothing to the SQL log; the caller owns it.
std::unique_ptr<TpSQLQuery> NewPlainQuery(TpSQLConnection& connection, const QString& sql);

// Re-runs the query and goes back to the row it stood on (by the key field when given,
// else by position). Errors become the log line "errRequeringDSetIs".
void RequeryKeepingPosition(TpSQLQuery& query, const QString& keyField = QString());
// Closes and opens again; errors become the log line "errReopeningDSetIs".
void Reopen(TpSQLQuery& query);

// A text as an SQL literal, for the few places where the grammar allows no parameter
// (column defaults in table definitions).
QString SqlLiteral(const QString& text);
// A name as a quoted identifier.
QString SqlIdentifier(const QString& name);

// Runs statements separated by ";". Each piece has its CR LF pairs turned into blanks
// and is trimmed; an empty piece ends the run (so text after ";;" is not run). A failing
// statement is collected and the run goes on; the errors are reported together.
class TBatchedADOQuery {
public:
    explicit TBatchedADOQuery(TpSQLConnection* connection = nullptr);
    TpSQLConnection* Connection = nullptr;
    QString SQL;
    // True when every statement succeeded; the affected rows are added up in totalRows,
    // the collected error texts (CR LF separated) go to errors.
    bool ExecuteBatch(qint64* totalRows = nullptr, QString* errors = nullptr);
    // The statements ExecuteBatch would run, in order.
    static QStringList SplitStatements(const QString& sql);
};

} // namespace cvx
