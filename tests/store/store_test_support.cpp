#include "store_test_support.h"

#include "store/code_tables.h"
#include "store/db_check.h"
#include "store/sql_ops.h"
#include "store/sql_private.h"
#include "store/sql_query.h"

#include <QCoreApplication>
#include <QFile>

#include <atomic>

namespace cvx::test {

QString TestPgServer()
{
    QString cs = qEnvironmentVariable("CVX_TEST_PG");
    if (cs.isEmpty())
        return cs;
    if (!IsPostgreSql(cs))
        cs = QStringLiteral("Provider=QPSQL;") + cs;
    return cs;
}

bool ServersRequired() { return qEnvironmentVariable("CVX_REQUIRE_SERVERS") == QLatin1String("1"); }

const char* EngineName(DbEngine engine)
{
    switch (engine) {
    case DbEngine::LocalFile:
        return "SQLite";
    case DbEngine::PostgreSql:
        return "PostgreSQL";
    case DbEngine::SqlServer:
        return "SqlServer";
    }
    return "?";
}

namespace {
std::atomic<int> g_counter{0};

bool rawExec(TpSQLConnection& c, const QString& statement, QString* error)
{
    QSqlQuery q(c.d()->db);
    if (q.exec(statement))
        return true;
    if (error)
        *error = SqlErrorText(q.lastError());
    return false;
}
} // namespace

TestDatabase::TestDatabase(DbEngine engine) : engine_(engine)
{
    if (engine == DbEngine::LocalFile) {
        dir_ = std::make_unique<QTemporaryDir>();
        path_ = dir_->filePath(QStringLiteral("test.db"));
        connectionString_ = LocalConnectionString(path_);
        TpSQLConnection c(QStringLiteral("conCreate"));
        c.SQLLoggingDisabled = true;
        c.CreateLocalFile = true;
        c.ConnectionString = connectionString_;
        if (!c.Open(&error_) && error_.isEmpty())
            error_ = QStringLiteral("cannot create the database file");
        return;
    }
    const QString server = TestPgServer();
    if (server.isEmpty()) {
        error_ = QStringLiteral("CVX_TEST_PG is not set");
        return;
    }
    pgName_ = QStringLiteral("cvx_test_%1_%2").arg(QCoreApplication::applicationPid()).arg(g_counter.fetch_add(1));
    TpSQLConnection admin(QStringLiteral("conAdmin"));
    admin.SQLLoggingDisabled = true;
    admin.ConnectionString = server;
    if (!admin.Open(&error_))
        return;
    rawExec(admin, QStringLiteral("DROP DATABASE IF EXISTS %1 WITH (FORCE)").arg(pgName_), nullptr);
    if (!rawExec(admin, QStringLiteral("CREATE DATABASE %1 ENCODING 'UTF8'").arg(pgName_), &error_))
        return;
    connectionString_ = AppendConnectionValue(server, QStringLiteral("Initial Catalog"), pgName_);
}

TestDatabase::~TestDatabase()
{
    if (pgName_.isEmpty())
        return;
    TpSQLConnection admin(QStringLiteral("conAdmin"));
    admin.SQLLoggingDisabled = true;
    admin.ConnectionString = TestPgServer();
    if (admin.Open())
        rawExec(admin, QStringLiteral("DROP DATABASE IF EXISTS %1 WITH (FORCE)").arg(pgName_), nullptr);
}

void TestDatabase::dropServerDatabase(const QString& name)
{
    TpSQLConnection admin(QStringLiteral("conAdmin"));
    admin.SQLLoggingDisabled = true;
    admin.ConnectionString = TestPgServer();
    QString quoted = name;
    quoted.replace(u'"', QStringLiteral("\"\""));
    if (admin.Open())
        rawExec(admin, QStringLiteral("DROP DATABASE IF EXISTS \"%1\" WITH (FORCE)").arg(quoted), nullptr);
}

std::unique_ptr<TpSQLConnection> TestDatabase::open(const QString& name) const
{
    auto c = std::make_unique<TpSQLConnection>(name);
    c->ConnectionString = connectionString_;
    QString error;
    EXPECT_TRUE(c->Open(&error)) << error.toStdString();
    return c;
}

void TestDatabase::exec(const QString& statements) const
{
    auto c = std::make_unique<TpSQLConnection>(QStringLiteral("conFixture"));
    c->SQLLoggingDisabled = true;
    c->ConnectionString = connectionString_;
    QString openError;
    ASSERT_TRUE(c->Open(&openError)) << openError.toStdString();
    for (const QString& raw : statements.split(u';')) {
        const QString s = raw.trimmed();
        if (s.isEmpty())
            continue;
        QString error;
        EXPECT_TRUE(rawExec(*c, s, &error)) << s.toStdString() << ": " << error.toStdString();
    }
}

void TestDatabase::execOne(const QString& statement) const
{
    TpSQLConnection c(QStringLiteral("conFixture"));
    c.SQLLoggingDisabled = true;
    c.ConnectionString = connectionString_;
    ASSERT_TRUE(c.Open());
    QString error;
    EXPECT_TRUE(rawExec(c, statement, &error)) << statement.toStdString() << ": " << error.toStdString();
}

std::map<QString, std::set<QString>> SchemaColumns(TpSQLConnection& c)
{
    std::map<QString, std::set<QString>> out;
    QSqlQuery q(c.d()->db);
    if (c.Engine() == DbEngine::PostgreSql) {
        q.exec(QStringLiteral("SELECT table_name, column_name FROM information_schema.columns WHERE "
                              "table_schema='public'"));
        while (q.next())
            out[q.value(0).toString().toLower()].insert(q.value(1).toString().toLower());
        return out;
    }
    QStringList tables;
    q.exec(QStringLiteral("SELECT name FROM sqlite_master WHERE type IN ('table','view') AND name NOT LIKE "
                          "'sqlite_%'"));
    while (q.next())
        tables << q.value(0).toString();
    for (const QString& t : tables) {
        QSqlQuery info(c.d()->db);
        info.exec(QStringLiteral("PRAGMA table_info(\"%1\")").arg(t));
        while (info.next())
            out[t.toLower()].insert(info.value(1).toString().toLower());
    }
    return out;
}

std::set<QString> IndexNames(TpSQLConnection& c)
{
    std::set<QString> out;
    QSqlQuery q(c.d()->db);
    if (c.Engine() == DbEngine::PostgreSql)
        q.exec(QStringLiteral("SELECT indexname FROM pg_indexes WHERE schemaname='public'"));
    else
        q.exec(QStringLiteral("SELECT name FROM sqlite_master WHERE type='index' AND name NOT LIKE 'sqlite_%'"));
    while (q.next()) {
        const QString n = q.value(0).toString().toLower();
        if (!n.endsWith(QLatin1String("_pkey")) && !n.endsWith(QLatin1String("_pk")) && !n.endsWith(QLatin1String("_key")))
            out.insert(n);
    }
    return out;
}

QVariant Scalar(TpSQLConnection& c, const QString& sql)
{
    QSqlQuery q(c.d()->db);
    if (!q.exec(sql) || !q.next()) {
        ADD_FAILURE() << sql.toStdString() << ": " << SqlErrorText(q.lastError()).toStdString();
        return QVariant();
    }
    return q.value(0);
}

namespace {

QString dialect(DbEngine e, QString text)
{
    const bool pg = e == DbEngine::PostgreSql;
    text.replace(QStringLiteral("%ID%"), pg ? QStringLiteral("serial PRIMARY KEY")
                                            : QStringLiteral("INTEGER PRIMARY KEY AUTOINCREMENT"));
    text.replace(QStringLiteral("%DT%"), pg ? QStringLiteral("timestamp") : QStringLiteral("datetime"));
    text.replace(QStringLiteral("%BIT%"), pg ? QStringLiteral("smallint") : QStringLiteral("bit"));
    text.replace(QStringLiteral("%LIMIT%"), pg ? QStringLiteral("\"limit\"") : QStringLiteral("\"Limit\""));
    return text;
}

const char* Version0Base = R"(
CREATE TABLE Measure (Measure_id %ID%, Measure_value varchar(20), Probe_id integer, Measure_type_code integer, Measure_datetime %DT%);
CREATE TABLE Probe_type (Probe_type_id %ID%, Probe_type_name varchar(50), Interface_type_code integer, IP varchar(50), Port integer, Baudrate integer, Polling_interval integer, Probe_type_address integer);
CREATE TABLE Probe (Probe_id %ID%, Probe_name varchar(50), Probe_type_id integer, Probe_address integer, Probe_is_used %BIT%, Recording_rate integer, Sampling_rate integer);
CREATE TABLE Global_settings (Global_settings_ID %ID%, Cfg_key char(50), cfg_value char(255), Cfg_modif_date %DT%);
CREATE TABLE User_settings (User_id varchar(255), Cfg_key varchar(50), Cfg_value text);
CREATE TABLE Measure_type_code_to_string (Measure_type_code_as_int integer, Measure_type_code_as_str varchar(100));
CREATE TABLE Treshold_type_code_to_string (Treshold_type_code_as_int integer, Treshold_type_code_as_str varchar(50));
INSERT INTO Treshold_type_code_to_string VALUES (1, 'felső határérték');
INSERT INTO Treshold_type_code_to_string VALUES (2, 'alsó határérték');
)";

} // namespace

void BuildFresh(const TestDatabase& db)
{
    if (db.engine() == DbEngine::LocalFile) {
        QString error;
        ASSERT_TRUE(CreateLocalDatabase(db.connectionString(), &error)) << error.toStdString();
        return;
    }
    QFile f(StatementFilePath(true));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly)) << StatementFilePath(true).toStdString();
    auto c = std::make_unique<TpSQLConnection>(QStringLiteral("conFixture"));
    c->SQLLoggingDisabled = true;
    c->ConnectionString = db.connectionString();
    ASSERT_TRUE(c->Open());
    TBatchedADOQuery batch(c.get());
    batch.SQL = QString::fromUtf8(f.readAll());
    QString errors;
    ASSERT_TRUE(batch.ExecuteBatch(nullptr, &errors)) << errors.toStdString();
    FillConvTables(*c);
}

void BuildVersion0(const TestDatabase& db)
{
    db.exec(dialect(db.engine(), QString::fromUtf8(Version0Base)));
    db.exec(dialect(db.engine(), QStringLiteral(R"(
CREATE TABLE Alarm_type_code_to_string (Alarm_type_code_as_int integer, Alarm_type_code_as_str varchar(50));
CREATE TABLE Alarm (Alarm_id %ID%, Alarm_type_id integer);
CREATE TABLE Alarm_type (Alarm_type_id %ID%, Alarm_type_name varchar(50));
INSERT INTO Probe_type (Probe_type_name, Interface_type_code, IP, Port) VALUES ('If0', 0, '10.0.0.1', 1001);
INSERT INTO Probe_type (Probe_type_name, Interface_type_code, IP, Port) VALUES ('If1', 1, '10.0.0.2', 1001);
INSERT INTO Probe_type (Probe_type_name, Interface_type_code, IP, Port) VALUES ('If2', 2, '10.0.0.3', 1001);
INSERT INTO Probe_type (Probe_type_name, Interface_type_code, IP, Port) VALUES ('If3', 3, '10.0.0.4', 1001);
INSERT INTO Probe_type (Probe_type_name, Interface_type_code, IP, Port) VALUES ('If4', 4, '10.0.0.5', 1001);
INSERT INTO Probe_type (Probe_type_name, Interface_type_code, IP, Port) VALUES ('If7', 7, '10.0.0.6', 1001);
INSERT INTO Probe (Probe_name, Probe_type_id, Probe_address, Probe_is_used) VALUES ('S1', 1, 1, 1);
INSERT INTO Probe (Probe_name, Probe_type_id, Probe_address, Probe_is_used) VALUES ('S2', 2, 1, 1);
INSERT INTO Probe (Probe_name, Probe_type_id, Probe_address, Probe_is_used) VALUES ('S3', 3, 1, 1);
INSERT INTO Probe (Probe_name, Probe_type_id, Probe_address, Probe_is_used) VALUES ('S4', 4, 1, 1);
INSERT INTO Probe (Probe_name, Probe_type_id, Probe_address, Probe_is_used) VALUES ('S5', 5, 1, 1);
INSERT INTO Probe (Probe_name, Probe_type_id, Probe_address, Probe_is_used) VALUES ('S6', 6, 1, 1);
INSERT INTO Measure (Measure_value, Probe_id, Measure_type_code, Measure_datetime) VALUES ('2245', 1, 1, '2009-03-01 10:00:00.000');
INSERT INTO Measure (Measure_value, Probe_id, Measure_type_code, Measure_datetime) VALUES ('415', 1, 2, '2009-03-01 10:00:00.000');
INSERT INTO User_settings VALUES ('olduser', 'main_posx', '10');
)")));
}

void BuildVersion12(const TestDatabase& db)
{
    const DbEngine e = db.engine();
    db.exec(dialect(e, QString::fromUtf8(Version0Base)));
    db.exec(dialect(e, QStringLiteral(R"(
ALTER TABLE Probe_type ADD Server_type_code smallint DEFAULT 2;
ALTER TABLE Probe_type ADD Protocol_type_code smallint DEFAULT 1;
ALTER TABLE Probe_type ADD First_RecID integer;
ALTER TABLE Probe_type ADD Last_RecID integer;
ALTER TABLE Probe_type ADD Last_Rec char(50);
ALTER TABLE Probe_type ADD Is_used %BIT%;
ALTER TABLE Probe_type ADD Pending_queries text;
ALTER TABLE Probe ADD Sensor_type_code smallint DEFAULT 4;
ALTER TABLE Probe ADD Relay_number integer DEFAULT 1;
CREATE TABLE Tmp_measure (Measure_id %ID%, Measure_value varchar(20), Measure_datetime %DT%, Probe_id integer, Measure_type_code integer DEFAULT 1, Probe_type_id integer);
CREATE INDEX Tmp_Measure_Measure_datetime_00 ON Tmp_measure (Measure_datetime ASC);
CREATE INDEX Tmp_Measure_Measure_datetime_01 ON Tmp_measure (Measure_datetime DESC);
CREATE INDEX Tmp_Measure_Measure_type_code ON Tmp_measure (Measure_type_code);
CREATE INDEX Tmp_Measure_Probe_id ON Tmp_measure (Probe_id);
CREATE TABLE Sensor_type_code_to_string (Sensor_type_code_as_int smallint, Sensor_type_code_as_str char(100));
CREATE TABLE Server_type_code_to_string (Server_type_code_as_int smallint, Server_type_code_as_str char(100));
CREATE TABLE Protocol_type_code_to_string (Protocol_type_code_as_int smallint, Protocol_type_code_as_str char(100));
CREATE TABLE Task_type_code_to_string (Task_type_code_as_int smallint, Task_type_code_as_str char(100));
CREATE TABLE Measure_type_precisions (Measure_type_id integer, Precision_value integer);
CREATE TABLE Threshold (Threshold_id %ID%, Measure_type_code smallint DEFAULT 1, Threshold_value float DEFAULT 50, Threshold_type_code smallint DEFAULT 1);
CREATE VIEW Threshold_list AS select Threshold.Threshold_id, Threshold.Threshold_value, Measure_type_code_to_string.Measure_type_code_as_str as MTC, Treshold_type_code_to_string.Treshold_type_code_as_str as TTC from ((Threshold left join Measure_type_code_to_string on (Threshold.Measure_type_code = Measure_type_code_to_string.Measure_type_code_as_int)) left join Treshold_type_code_to_string on (Threshold.Threshold_type_code = Treshold_type_code_to_string.Treshold_type_code_as_int));
CREATE TABLE Event (Event_id %ID%, Event_name char(50) DEFAULT 'Új esemény', Enabled %BIT% DEFAULT 1, %LIMIT% integer DEFAULT 2, Limit_interval integer DEFAULT 60, Limit_enabled %BIT% DEFAULT 1, Period integer DEFAULT 1, Delay integer DEFAULT 0, Condition_type_code smallint DEFAULT 1, Condition_type_code2 smallint DEFAULT 1, Measure_type_code smallint DEFAULT 1, Measure_type_code2 smallint DEFAULT 1, Threshold float DEFAULT 50, Threshold2 float DEFAULT 50, Threshold_type_code smallint DEFAULT 1, Threshold_type_code2 smallint DEFAULT 1, Sustain integer DEFAULT 10, Sustain2 integer DEFAULT 10, Sensor_list text, Sensor_list2 text, Task_list text, Task_list2 text, Event_is_used %BIT% DEFAULT 1, Sound_enabled %BIT% DEFAULT 1, Threshold_id integer REFERENCES Threshold (Threshold_id), Threshold_id2 integer REFERENCES Threshold (Threshold_id), SndFile char(100));
CREATE TABLE Task (Task_id %ID%, Task_name char(50) NOT NULL DEFAULT 'Új feladat', Task_type_code smallint DEFAULT 2, Event_list text, Relay_list text, Message_destination char(50), Message_text char(160));
INSERT INTO Threshold (Threshold_id, Measure_type_code, Threshold_value, Threshold_type_code) VALUES (4, 1, 30.5, 1);
INSERT INTO Event (Event_id, Event_name, %LIMIT%, Threshold, Threshold_id, Task_list, SndFile) VALUES (3, 'Szerverszoba meleg   ', 5, 30.5, 4, '2,5', 'C:\Corvalux\Alarm.wav   ');
INSERT INTO Event (Event_id, Event_name, %LIMIT%, Threshold, Task_list) VALUES (7, 'Raktár párás', 9, 50, '5');
INSERT INTO Task (Task_id, Task_name, Task_type_code, Event_list, Message_destination, Message_text) VALUES (2, 'Levél   ', 1, '3', 'ops@example.com   ', 'Meleg van   ');
INSERT INTO Task (Task_id, Task_name, Task_type_code, Event_list, Message_destination, Message_text) VALUES (5, 'SMS', 2, '3,7', '+3612345678', 'Riasztás');
INSERT INTO Global_settings (Cfg_key, cfg_value) VALUES ('DB_Version', '12');
INSERT INTO Global_settings (Cfg_key, cfg_value) VALUES ('SNMP_OID', '1.3.6.1.4.1.52417.1');
INSERT INTO Global_settings (Cfg_key, cfg_value) VALUES ('SMTP_Server', 'mail.example.com   ');
INSERT INTO Probe_type (Probe_type_name, Server_type_code, Protocol_type_code, IP, Port, Is_used) VALUES ('Hid', 2, 1, '10.0.0.9', 1001, 1);
INSERT INTO Probe (Probe_name, Probe_type_id, Probe_address, Probe_is_used, Sensor_type_code) VALUES ('Szerverszoba', 1, 3, 1, 4);
)")));
    if (e == DbEngine::PostgreSql)
        db.exec(QStringLiteral("SELECT setval(pg_get_serial_sequence('event','event_id'), 7); "
                               "SELECT setval(pg_get_serial_sequence('task','task_id'), 5); "
                               "SELECT setval(pg_get_serial_sequence('threshold','threshold_id'), 4)"));
}

} // namespace cvx::test
