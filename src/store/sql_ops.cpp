#include "store/sql_ops.h"

#include "shell/app_paths.h"
#include "shell/catalogue.h"
#include "shell/logs.h"
#include "shell/shell_state.h"
#include "store/sql_connection.h"
#include "store/sql_private.h"
#include "store/sql_query.h"

#include <QDir>

#include <mutex>

namespace cvx {

TNaplo& SqlCommandLog()
{
    static TNaplo log;
    static std::once_flag once;
    std::call_once(once, [] { log.Logging = true; });
    // The working folder can change (tests, --home); follow it.
    const QString path = QDir(AppPaths::logFolder()).filePath(QStringLiteral("SQLLog.sqllog"));
    if (log.LogFile != path) {
        log.CloseFile();
        log.LogFile = path;
    }
    return log;
}

namespace {

QString statementWithParams(const QString& sql, const SqlParams& params)
{
    if (params.isEmpty())
        return sql;
    return sql + QStringLiteral(" [") + RenderNameValues(params) + u']';
}

} // namespace

int ExecuteSql(TpSQLConnection& connection, const QString& sql, const QString& errorText, const SqlParams& params)
{
    QString error;
    bool ok = false;
    if (!connection.Connected()) {
        error = connection.LastError().isEmpty() ? QStringLiteral("Not connected") : connection.LastError();
    } else {
        connection.RunStatementBarrier();
        QSqlQuery q(connection.d()->db);
        if (params.isEmpty()) {
            ok = q.exec(sql);
        } else {
            const ParsedSql parsed = ParseNamedParameters(sql);
            ok = q.prepare(parsed.positional);
            if (ok) {
                for (int i = 0; i < parsed.occurrences.size(); ++i) {
                    QVariant v;
                    for (const auto& [name, value] : params)
                        if (name.compare(parsed.occurrences[i], Qt::CaseInsensitive) == 0)
                            v = value;
                    q.bindValue(i, BindableValue(v));
                }
                ok = q.exec();
            }
        }
        if (!ok)
            error = SqlErrorText(q.lastError());
    }
    if (ok) {
        if (shellState().LOG_SQL) {
            const QString line = statementWithParams(sql, params);
            SqlCommandLog().Write(line);
            LogLine(line, false);
        }
        return 0;
    }
    if (!errorText.isEmpty())
        LogLine(QStringLiteral("%1 %2 (%3)").arg(errorText, error, statementWithParams(sql, params)), true);
    else
        LogLine(Fmt("msgSQLErrorOccured", error), true);
    return -1;
}

std::unique_ptr<TpSQLQuery> NewPlainQuery(TpSQLConnection& connection, const QString& sql)
{
    auto q = std::make_unique<TpSQLQuery>(&connection, sql);
    q->Logged = false;
    return q;
}

void RequeryKeepingPosition(TpSQLQuery& query, const QString& keyField)
{
    query.NotifyChange(true);
    const int row = query.RecNo();
    const QVariant key = keyField.isEmpty() || row < 0 ? QVariant() : query.Value(keyField);
    QString error;
    if (!query.Requery(&error)) {
        LogLine(Fmt("errRequeringDSetIs", error));
    } else if (key.isValid() && !key.isNull()) {
        query.Locate(keyField, key);
    } else if (row > 0) {
        query.Seek(row);
    }
    query.NotifyChange(false);
}

void Reopen(TpSQLQuery& query)
{
    query.NotifyChange(true);
    query.Close();
    QString error;
    if (!query.Open(&error))
        LogLine(Fmt("errReopeningDSetIs", error));
    query.NotifyChange(false);
}

QString SqlLiteral(const QString& text)
{
    QString t = text;
    t.replace(u'\'', QStringLiteral("''"));
    return u'\'' + t + u'\'';
}

QString SqlIdentifier(const QString& name)
{
    QString t = name;
    t.replace(u'"', QStringLiteral("\"\""));
    return u'"' + t + u'"';
}

// ---------------------------------------------------------------- TBatchedADOQuery

TBatchedADOQuery::TBatchedADOQuery(TpSQLConnection* connection) : Connection(connection) {}

QStringList TBatchedADOQuery::SplitStatements(const QString& sql)
{
    QStringList out;
    QString rest = sql;
    while (true) {
        const int semi = rest.indexOf(u';');
        QString piece = semi < 0 ? rest : rest.left(semi);
        piece.replace(QStringLiteral("\r\n"), QStringLiteral(" "));
        piece = piece.trimmed();
        if (piece.isEmpty())
            break;
        out.append(piece);
        if (semi < 0)
            break;
        rest = rest.mid(semi + 1);
    }
    return out;
}

bool TBatchedADOQuery::ExecuteBatch(qint64* totalRows, QString* errors)
{
    qint64 total = 0;
    QStringList collected;
    const QStringList statements = SplitStatements(SQL);
    if (!Connection || !Connection->Connected()) {
        collected.append(QStringLiteral("Not connected"));
    } else {
        Connection->RunStatementBarrier();
        for (const QString& statement : statements) {
            QSqlQuery q(Connection->d()->db);
            if (q.exec(statement)) {
                const int n = q.numRowsAffected();
                if (n > 0)
                    total += n;
            } else {
                collected.append(SqlErrorText(q.lastError()));
            }
        }
    }
    if (totalRows)
        *totalRows = total;
    if (errors)
        *errors = collected.join(QStringLiteral("\r\n"));
    return collected.isEmpty();
}

} // namespace cvx
