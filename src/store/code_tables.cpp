#include "store/code_tables.h"

#include "shell/catalogue.h"
#include "shell/logs.h"
#include "shell/shell_state.h"
#include "store/sql_connection.h"
#include "store/sql_ops.h"
#include "store/sql_query.h"

#include <atomic>

namespace cvx {

namespace {

std::atomic<bool> g_refilled{false};

constexpr int Precisions[20] = {100, 10, 1000, 100, 1, 1, 1, 100, 10, 10, 1, 100, 100, 100, 100, 100, 100, 100, 100, 100};

struct CodeTable {
    const char* table;      // as created on the local file and SQL Server
    const char* prefix;     // column prefix
    const char* labelKey;   // catalogue prefix
    int count;
};

// The tables FillConvTables recreates.
constexpr CodeTable Recreated[] = {
    {"Sensor_type_code_to_string", "Sensor_type_code_", "labSensorTypeCode", 15},
    {"Server_type_code_to_string", "Server_type_code_", "labServerTypeCode", 7},
    {"Protocol_type_code_to_string", "Protocol_type_code_", "labProtocolTypeCode", 4},
    {"Task_type_code_to_string", "Task_type_code_", "labTaskTypeCode", 12},
};

QStringList structureStatements(DbEngine engine)
{
    const bool postgres = engine == DbEngine::PostgreSql;
    QStringList s;
    s << QStringLiteral("DELETE FROM Measure_type_code_to_string");
    // Both engines can skip a table that is not there yet instead of logging a failure.
    const QString drop = engine == DbEngine::SqlServer ? QStringLiteral("DROP TABLE %1") : QStringLiteral("DROP TABLE IF EXISTS %1");
    for (const CodeTable& t : Recreated)
        s << drop.arg(QLatin1String(t.table));
    s << drop.arg(QStringLiteral("Measure_type_precisions"));
    for (const CodeTable& t : Recreated) {
        if (postgres) {
            const QString name = QString::fromLatin1(t.table).toLower();
            const QString prefix = QString::fromLatin1(t.prefix).toLower();
            s << QStringLiteral("CREATE TABLE %1 (%2as_int smallint NULL, %2as_str char(100) NULL, pid serial NOT "
                                "NULL UNIQUE, CONSTRAINT %1_pk PRIMARY KEY (pid)) WITH (OIDS=FALSE)")
                     .arg(name, prefix);
        } else {
            s << QStringLiteral("CREATE TABLE %1 (%2as_int smallint NULL, %2as_str char(100) NULL)")
                     .arg(QLatin1String(t.table), QLatin1String(t.prefix));
        }
    }
    if (postgres)
        s << QStringLiteral("CREATE TABLE measure_type_precisions (measure_type_id integer NULL, precision_value "
                            "integer NULL, pid serial NOT NULL UNIQUE, CONSTRAINT measure_type_precisions_pk "
                            "PRIMARY KEY (pid)) WITH (OIDS=FALSE)");
    else
        s << QStringLiteral("CREATE TABLE Measure_type_precisions (Measure_type_id integer NULL, Precision_value "
                            "integer NULL)");
    return s;
}

void insertTexts(TpSQLConnection& c, const QString& table, const QString& prefix, const QString& labelKey, int count)
{
    const QString sql = QStringLiteral("INSERT INTO %1 (%2as_int,%2as_str) VALUES (:code,:text)").arg(table, prefix);
    for (int code = 1; code <= count; ++code) {
        const QString text = Msg(labelKey + QString::number(code));
        ExecuteSql(c, sql, QStringLiteral("SQL: ") + sql,
                   {{QStringLiteral("code"), code}, {QStringLiteral("text"), text}});
    }
}

} // namespace

int MeasureTypePrecision(int code) { return code >= 1 && code <= 20 ? Precisions[code - 1] : 0; }

bool CodeTablesRefilled() { return g_refilled.load(); }
void SetCodeTablesRefilled(bool value) { g_refilled.store(value); }

bool FillConvTables(TpSQLConnection& connection)
{
    for (const QString& line : structureStatements(connection.Engine()))
        ExecuteSql(connection, line, QStringLiteral("SQL: ") + line);

    insertTexts(connection, QStringLiteral("Measure_type_code_to_string"), QStringLiteral("Measure_type_code_"),
                QStringLiteral("labMeasureTypeCode"), 20);
    for (const CodeTable& t : Recreated)
        insertTexts(connection, QLatin1String(t.table), QLatin1String(t.prefix), QLatin1String(t.labelKey), t.count);
    const QString precision =
        QStringLiteral("INSERT INTO Measure_type_precisions  (Measure_type_id , Precision_value) VALUES (:code,:precision)");
    for (int code = 1; code <= 20; ++code)
        ExecuteSql(connection, precision, QStringLiteral("SQL: ") + precision,
                   {{QStringLiteral("code"), code}, {QStringLiteral("precision"), MeasureTypePrecision(code)}});
    SetCodeTablesRefilled(true);
    return true;
}

void RelabelCodeTables(TpSQLConnection& connection)
{
    const ShellState& s = shellState();
    if (!s.DbConnected || !s.MasterMode)
        return;
    static const char* const prefixes[][2] = {
        {"Measure_type_code_", "labMeasureTypeCode"},   {"Alarm_type_code_", "labAlarmTypeCode"},
        {"Treshold_type_code_", "labTresholdTypeCode"}, {"Server_type_code_", "labServerTypeCode"},
        {"Protocol_type_code_", "labProtocolTypeCode"}, {"Sensor_type_code_", "labSensorTypeCode"},
        {"Task_type_code_", "labTaskTypeCode"},
    };
    for (const auto& p : prefixes) {
        const QString prefix = QLatin1String(p[0]);
        const QString table = prefix + QStringLiteral("to_string");
        // Tables that an older database no longer has are skipped without a log line.
        if (!connection.Tables().contains(table, Qt::CaseInsensitive))
            continue;
        TpSQLQuery rows(&connection, QStringLiteral("SELECT COUNT(*) FROM %1").arg(table));
        if (!rows.Open())
            continue;
        const int count = rows.Value(0).toInt();
        rows.Close();
        TpSQLCommand update(&connection, QStringLiteral("UPDATE %1 SET %2as_str=:text WHERE %2as_int=:code").arg(table, prefix));
        for (int k = 1; k <= count; ++k) {
            update.SetParam(QStringLiteral("text"), Msg(QLatin1String(p[1]) + QString::number(k)));
            update.SetParam(QStringLiteral("code"), k);
            update.Execute();
        }
    }
}

QStringList RequiredTables()
{
    return {QStringLiteral("Measure"),
            QStringLiteral("Probe"),
            QStringLiteral("Probe_type"),
            QStringLiteral("User_settings"),
            QStringLiteral("Global_settings"),
            QStringLiteral("Measure_type_code_to_string"),
            QStringLiteral("Treshold_type_code_to_string")};
}

bool CheckTables(TpSQLConnection& connection)
{
    QString error;
    if (!connection.Connected() && !connection.Open(&error)) {
        LogLine(Fmt("errCheckingTablesIs", error));
        return false;
    }
    const QStringList tables = connection.Tables(&error);
    if (!error.isEmpty()) {
        LogLine(Fmt("errCheckingTablesIs", error));
        return false;
    }
    LogLine(Fmt("labTablesFound", int(tables.size())));
    bool ok = tables.size() >= 7;
    for (const QString& t : RequiredTables())
        ok = ok && tables.contains(t, Qt::CaseInsensitive);
    LogLine(Msg(ok ? "msgTablesOK" : "msgTablesNotOK"));
    return ok;
}

} // namespace cvx
