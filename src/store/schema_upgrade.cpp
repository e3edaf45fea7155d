// The upgrade path from every earlier schema version to the current one. Each step's
// statements are kept in the text form the server databases were always sent; where
// the local file or PostgreSQL speaks another dialect the step names that engine's own
// statements, so an upgraded database ends with the same tables and columns as a new
// one on every engine.

#include "store/db_check.h"

#include "shell/app_paths.h"
#include "shell/catalogue.h"
#include "shell/logs.h"
#include "store/code_tables.h"
#include "store/settings.h"
#include "store/sql_connection.h"
#include "store/sql_ops.h"
#include "store/sql_query.h"

#include <optional>

namespace cvx {

namespace {

// A statement in its server text form, with the forms of the other engines where they
// differ (an empty list: nothing to do on that engine).
struct Stmt {
    QString server;
    std::optional<QStringList> local;
    std::optional<QStringList> pg;
};

Stmt S(const QString& server) { return Stmt{server, std::nullopt, std::nullopt}; }
Stmt S(const QString& server, std::optional<QStringList> local, std::optional<QStringList> pg)
{
    return Stmt{server, std::move(local), std::move(pg)};
}

class Upgrader {
public:
    explicit Upgrader(TpSQLConnection& c) : c_(c), engine_(c.Engine()) {}

    int run(int from);

private:
    // Table definitions are written once with markers for what differs between engines.
    QString ddl(QString text) const
    {
        switch (engine_) {
        case DbEngine::LocalFile:
            text.replace(QStringLiteral("%ID%"), QStringLiteral("INTEGER PRIMARY KEY AUTOINCREMENT"));
            text.replace(QStringLiteral("%DT%"), QStringLiteral("datetime"));
            text.replace(QStringLiteral("%BIT%"), QStringLiteral("bit"));
            text.replace(QStringLiteral("%LIMIT%"), QStringLiteral("\"Limit\""));
            break;
        case DbEngine::PostgreSql:
            text.replace(QStringLiteral("%ID%"), QStringLiteral("serial PRIMARY KEY"));
            text.replace(QStringLiteral("%DT%"), QStringLiteral("timestamp"));
            text.replace(QStringLiteral("%BIT%"), QStringLiteral("smallint"));
            text.replace(QStringLiteral("%LIMIT%"), QStringLiteral("\"limit\""));
            break;
        case DbEngine::SqlServer:
            text.replace(QStringLiteral("%ID%"), QStringLiteral("int IDENTITY(1,1) PRIMARY KEY"));
            text.replace(QStringLiteral("%DT%"), QStringLiteral("datetime"));
            text.replace(QStringLiteral("%BIT%"), QStringLiteral("bit"));
            text.replace(QStringLiteral("%LIMIT%"), QStringLiteral("[Limit]"));
            break;
        }
        return text;
    }

    void sql(const Stmt& s, const SqlParams& params = {})
    {
        QStringList list{s.server};
        if (engine_ == DbEngine::LocalFile && s.local)
            list = *s.local;
        else if (engine_ == DbEngine::PostgreSql && s.pg)
            list = *s.pg;
        for (const QString& statement : std::as_const(list))
            ExecuteSql(c_, statement, Msg("errUpdatingDB"), params);
    }
    void sql(const QString& server) { sql(S(server)); }
    void def(const QString& text) { sql(S(ddl(text))); }

    void fillOnce()
    {
        if (filled_)
            return;
        FillConvTables(c_);
        filled_ = true;
    }
    void fill()
    {
        FillConvTables(c_);
        filled_ = true;
    }
    void logStep(int from, int to) { LogLine(Fmt("msgUpdatingDBFromVerToVer", from, to), true); }

    // Step bodies.
    void step0();
    void step2();
    void step8();
    void step10();
    void step12();
    void createTmpMeasure();
    void addEventThresholdColumns();
    void moveThresholds();
    void copyBack(const QString& table, const QString& idColumn, const QString& columns);
    QString eventFirstColumns() const;

    TpSQLConnection& c_;
    DbEngine engine_;
    bool filled_ = false;
};

QString Upgrader::eventFirstColumns() const
{
    return QStringLiteral("Enabled %BIT% DEFAULT 1, %LIMIT% integer DEFAULT 2, Limit_interval integer DEFAULT 60, "
                          "Limit_enabled %BIT% DEFAULT 1, Period integer DEFAULT 1, Delay integer DEFAULT 0, "
                          "Condition_type_code smallint DEFAULT 1, Condition_type_code2 smallint DEFAULT 1, "
                          "Measure_type_code smallint DEFAULT 1, Measure_type_code2 smallint DEFAULT 1, "
                          "Threshold float DEFAULT 50, Threshold2 float DEFAULT 50, "
                          "Threshold_type_code smallint DEFAULT 1, Threshold_type_code2 smallint DEFAULT 1, "
                          "Sustain integer DEFAULT 10, Sustain2 integer DEFAULT 10, "
                          "Sensor_list text, Sensor_list2 text, Task_list text, Task_list2 text");
}

void Upgrader::step0()
{
    sql(QStringLiteral("DELETE FROM  User_settings"));
    sql(S(QStringLiteral("ALTER TABLE Probe_type ADD Server_type_code smallint NULL default 2, Protocol_type_code "
                         "smallint NULL default 1"),
          QStringList{QStringLiteral("ALTER TABLE Probe_type ADD Server_type_code smallint NULL default 2"),
                      QStringLiteral("ALTER TABLE Probe_type ADD Protocol_type_code smallint NULL default 1")},
          QStringList{QStringLiteral("ALTER TABLE Probe_type ADD Server_type_code smallint NULL default 2, ADD "
                                     "Protocol_type_code smallint NULL default 1")}));
    sql(QStringLiteral("ALTER TABLE Probe      ADD Sensor_type_code smallint NULL default 4"));
    fillOnce();

    // Interface_type_code c -> server type, protocol type, sensor type of its sensors.
    static const int map[5][3] = {{0, 2, 1}, {2, 1, 4}, {2, 2, 1}, {2, 1, 1}, {2, 1, 1}};
    TpSQLQuery rows(&c_, QStringLiteral("SELECT Probe_type_id, Interface_type_code FROM Probe_type"));
    rows.ForwardOnly = true;
    QList<QPair<qint64, int>> interfaces;
    if (rows.Open()) {
        for (; !rows.Eof(); rows.Next()) {
            const QVariant code = rows.Value(1);
            if (!code.isNull())
                interfaces.append({rows.Value(0).toLongLong(), code.toInt()});
        }
    }
    rows.Close();
    for (const auto& [id, code] : interfaces) {
        if (code < 0 || code >= 5)
            continue;
        ExecuteSql(c_,
                   QStringLiteral("UPDATE Probe_type SET Server_type_code=:srv, Protocol_type_code=:prot WHERE "
                                  "Probe_type_id=:id"),
                   Msg("errUpdatingDB"),
                   {{QStringLiteral("srv"), map[code][0]}, {QStringLiteral("prot"), map[code][1]}, {QStringLiteral("id"), id}});
        ExecuteSql(c_, QStringLiteral("UPDATE Probe SET Sensor_type_code=:sensor WHERE Probe_type_id=:id"),
                   Msg("errUpdatingDB"), {{QStringLiteral("sensor"), map[code][2]}, {QStringLiteral("id"), id}});
    }
}

void Upgrader::createTmpMeasure()
{
    const QString id = engine_ == DbEngine::PostgreSql ? QStringLiteral("bigserial PRIMARY KEY") : QStringLiteral("%ID%");
    def(QStringLiteral("CREATE TABLE Tmp_measure (Measure_id %1, Measure_value varchar(20), Measure_datetime %DT%, "
                       "Probe_id integer, Measure_type_code integer DEFAULT 1)")
            .arg(id));
    sql(QStringLiteral("CREATE INDEX Tmp_Measure_Measure_datetime_00 ON Tmp_measure (Measure_datetime ASC)"));
    sql(QStringLiteral("CREATE INDEX Tmp_Measure_Measure_datetime_01 ON Tmp_measure (Measure_datetime DESC)"));
    sql(QStringLiteral("CREATE INDEX Tmp_Measure_Measure_type_code ON Tmp_measure (Measure_type_code)"));
    sql(QStringLiteral("CREATE INDEX Tmp_Measure_Probe_id ON Tmp_measure (Probe_id)"));
}

void Upgrader::step2()
{
    fillOnce();
    sql(QStringLiteral("ALTER TABLE Probe_type ADD First_RecID integer"));
    sql(QStringLiteral("ALTER TABLE Probe_type ADD Last_RecID integer"));
    sql(QStringLiteral("ALTER TABLE Probe_type ADD Last_Rec char (50)"));
    sql(S(QStringLiteral("ALTER TABLE Probe_type ADD Is_used bit"), std::nullopt,
          QStringList{QStringLiteral("ALTER TABLE Probe_type ADD Is_used smallint")}));
    sql(QStringLiteral("UPDATE Probe_type SET Is_used=1"));
    createTmpMeasure();
    SetCodeTablesRefilled(true);
}

void Upgrader::step8()
{
    sql(QStringLiteral("DROP TABLE Alarm_type_code_to_string"));
    sql(QStringLiteral("DROP TABLE Alarm"));
    sql(QStringLiteral("DROP TABLE Alarm_type"));
    sql(QStringLiteral("ALTER TABLE Probe ADD Relay_number INTEGER DEFAULT 1"));
    def(QStringLiteral("CREATE TABLE Event (Event_id %ID%, Event_name CHAR (50) DEFAULT %1, %2)")
            .arg(SqlLiteral(Msg("labNewEvent")), eventFirstColumns()));
    def(QStringLiteral("CREATE TABLE Task (Task_id %ID%, Task_name CHAR (50) NOT NULL DEFAULT %1, Task_type_code "
                       "smallint DEFAULT 2, Event_list text, Relay_list text, Message_destination CHAR (50) DEFAULT "
                       "%2, Message_text CHAR (160) DEFAULT %3)")
            .arg(SqlLiteral(QStringLiteral("\u00daj feladat")), SqlLiteral(QStringLiteral("riasztas@example.com")),
                 SqlLiteral(Msg("msgDefaultAlarmText"))));
    fillOnce();
}

void Upgrader::addEventThresholdColumns()
{
    sql(S(QStringLiteral("ALTER TABLE Event ADD Event_is_used bit DEFAULT 1"), std::nullopt,
          QStringList{QStringLiteral("ALTER TABLE Event ADD Event_is_used smallint DEFAULT 1")}));
    sql(S(QStringLiteral("ALTER TABLE Event ADD Sound_enabled bit DEFAULT 1"), std::nullopt,
          QStringList{QStringLiteral("ALTER TABLE Event ADD Sound_enabled smallint DEFAULT 1")}));
    // The local file adds a column and its reference in one statement.
    sql(S(QStringLiteral("ALTER TABLE Event ADD Threshold_id integer"),
          QStringList{QStringLiteral("ALTER TABLE Event ADD Threshold_id integer CONSTRAINT FK_THRESHOLD_ID "
                                     "REFERENCES Threshold (Threshold_id)")},
          std::nullopt));
    sql(S(QStringLiteral("ALTER TABLE Event ADD Threshold_id2 integer"),
          QStringList{QStringLiteral("ALTER TABLE Event ADD Threshold_id2 integer CONSTRAINT FK_THRESHOLD_ID2 "
                                     "REFERENCES Threshold (Threshold_id)")},
          std::nullopt));
    sql(S(QStringLiteral("ALTER TABLE Event ADD CONSTRAINT FK_THRESHOLD_ID FOREIGN KEY (Threshold_id) REFERENCES "
                         "Threshold (Threshold_id)"),
          QStringList{}, std::nullopt));
    sql(S(QStringLiteral("ALTER TABLE Event ADD CONSTRAINT FK_THRESHOLD_ID2 FOREIGN KEY (Threshold_id2) REFERENCES "
                         "Threshold (Threshold_id)"),
          QStringList{}, std::nullopt));
}

void Upgrader::moveThresholds()
{
    struct EventRow {
        qint64 id;
        double value[2];
        int thresholdType[2];
        int measureType[2];
        int condition[2];
    };
    QList<EventRow> events;
    {
        TpSQLQuery q(&c_, QStringLiteral("SELECT * FROM Event ORDER BY Event_id"));
        q.ForwardOnly = true;
        if (!q.Open())
            return;
        for (; !q.Eof(); q.Next()) {
            EventRow r{};
            r.id = q.AsInteger(QStringLiteral("Event_id"));
            r.value[0] = q.AsFloat(QStringLiteral("Threshold"));
            r.value[1] = q.AsFloat(QStringLiteral("Threshold2"));
            r.thresholdType[0] = int(q.AsInteger(QStringLiteral("Threshold_type_code")));
            r.thresholdType[1] = int(q.AsInteger(QStringLiteral("Threshold_type_code2")));
            r.measureType[0] = int(q.AsInteger(QStringLiteral("Measure_type_code")));
            r.measureType[1] = int(q.AsInteger(QStringLiteral("Measure_type_code2")));
            r.condition[0] = int(q.AsInteger(QStringLiteral("Condition_type_code")));
            r.condition[1] = int(q.AsInteger(QStringLiteral("Condition_type_code2")));
            events.append(r);
        }
    }
    TpSQLQuery find(&c_, QStringLiteral("select Threshold_id from Threshold where ((Threshold_value >= :trval1) AND "
                                        "(Threshold_value <= :trval2)) AND (Threshold_type_code = :ttc) AND "
                                        "(Measure_type_code = :mtc)"));
    TpSQLQuery last(&c_, QStringLiteral("SELECT MAX(Threshold_id) FROM Threshold"));
    for (const EventRow& e : std::as_const(events)) {
        for (int i = 0; i < 2; ++i) {
            find.SetParam(QStringLiteral("trval1"), e.value[i] - 0.0001);
            find.SetParam(QStringLiteral("trval2"), e.value[i] + 0.0001);
            find.SetParam(QStringLiteral("ttc"), e.thresholdType[i]);
            find.SetParam(QStringLiteral("mtc"), e.measureType[i]);
            if (!find.Open())
                continue;
            QVariant thresholdId = find.Eof() ? QVariant() : find.Value(0);
            find.Close();
            if (!thresholdId.isValid()) {
                ExecuteSql(c_,
                           QStringLiteral("INSERT INTO Threshold (Threshold_value, Threshold_type_code, "
                                          "Measure_type_code) VALUES (:value,:ttc,:mtc)"),
                           Msg("errUpdatingDB"),
                           {{QStringLiteral("value"), e.value[i]},
                            {QStringLiteral("ttc"), e.thresholdType[i]},
                            {QStringLiteral("mtc"), e.measureType[i]}});
                if (last.Open() && !last.Eof())
                    thresholdId = last.Value(0);
                last.Close();
            }
            if (e.condition[i] == 1 && thresholdId.isValid())
                ExecuteSql(c_,
                           QStringLiteral("UPDATE Event SET %1=:tid WHERE Event_id=:id")
                               .arg(i == 0 ? QStringLiteral("Threshold_id") : QStringLiteral("Threshold_id2")),
                           Msg("errUpdatingDB"), {{QStringLiteral("tid"), thresholdId}, {QStringLiteral("id"), e.id}});
        }
    }
}

void Upgrader::step10()
{
    def(QStringLiteral("CREATE TABLE Threshold (Threshold_id %ID%, Measure_type_code smallint DEFAULT 1, "
                       "Threshold_value float DEFAULT 50, Threshold_type_code smallint DEFAULT 1)"));
    sql(QStringLiteral(
        "CREATE VIEW Threshold_list AS select Threshold.Threshold_id, Threshold.Threshold_value, "
        "Measure_type_code_to_string.Measure_type_code_as_str as MTC, "
        "Treshold_type_code_to_string.Treshold_type_code_as_str as TTC from ((Threshold left join "
        "Measure_type_code_to_string on (Threshold.Measure_type_code   = "
        "Measure_type_code_to_string.Measure_type_code_as_int)) left join Treshold_type_code_to_string on "
        "(Threshold.Threshold_type_code = Treshold_type_code_to_string.Treshold_type_code_as_int))"));
    addEventThresholdColumns();
    moveThresholds();
    fillOnce();
}

// Copies a rebuilt table's rows back with their ids: other tables refer to events and
// tasks by id, so the rebuild must not renumber them.
void Upgrader::copyBack(const QString& table, const QString& idColumn, const QString& columns)
{
    const QString insert = QStringLiteral("insert into %1 (%2,%3) select %2,%3 from %1_copy").arg(table, idColumn, columns);
    switch (engine_) {
    case DbEngine::SqlServer:
        sql(QStringLiteral("SET IDENTITY_INSERT %1 ON").arg(table));
        sql(insert);
        sql(QStringLiteral("SET IDENTITY_INSERT %1 OFF").arg(table));
        break;
    case DbEngine::PostgreSql:
        sql(insert);
        sql(QStringLiteral("SELECT setval(pg_get_serial_sequence('%1','%2'), COALESCE((SELECT MAX(%2) FROM %1), 0) + "
                           "1, false)")
                .arg(table.toLower(), idColumn.toLower()));
        break;
    case DbEngine::LocalFile:
        sql(insert);
        break;
    }
}

void Upgrader::step12()
{
    fillOnce();
    auto selectInto = [&](const QString& server, const QString& copy, const QString& from) {
        sql(S(server, QStringList{QStringLiteral("CREATE TABLE %1 AS SELECT * FROM %2").arg(copy, from)}, std::nullopt));
    };
    selectInto(QStringLiteral("select * into Event_copy from Event"), QStringLiteral("Event_copy"), QStringLiteral("Event"));
    sql(QStringLiteral("drop table event"));
    def(QStringLiteral("CREATE TABLE Event (Event_id %ID%, Event_name VARCHAR (50) DEFAULT %1, SndFile VARCHAR (100) "
                       "DEFAULT 'Alarm.wav', %2)")
            .arg(SqlLiteral(Msg("labNewEvent")), eventFirstColumns()));
    addEventThresholdColumns();
    copyBack(QStringLiteral("Event"), QStringLiteral("Event_id"),
             ddl(QStringLiteral("Event_name,SndFile,Enabled,%LIMIT%,Limit_interval,Limit_enabled,Period,Delay,"
                                "Condition_type_code,Condition_type_code2,Measure_type_code,Measure_type_code2,"
                                "Threshold,Threshold2,Threshold_type_code,Threshold_type_code2,Sustain,Sustain2,"
                                "Sensor_list,Sensor_list2,Task_list,Task_list2,Event_is_used,Sound_enabled,"
                                "Threshold_id,Threshold_id2")));
    sql(QStringLiteral("drop table Event_copy"));

    selectInto(QStringLiteral("select * into Task_copy from Task"), QStringLiteral("Task_copy"), QStringLiteral("Task"));
    sql(QStringLiteral("drop table Task"));
    def(QStringLiteral("CREATE TABLE Task (Task_id %ID%, Task_name VARCHAR (50) NOT NULL DEFAULT %1, Task_type_code "
                       "smallint DEFAULT 2, Event_list text, Relay_list text, Message_destination VARCHAR (250) "
                       "DEFAULT %2, Message_text TEXT DEFAULT %3)")
            .arg(SqlLiteral(QStringLiteral("\u00daj feladat")), SqlLiteral(QStringLiteral("riasztas@example.com")),
                 SqlLiteral(Msg("msgDefaultAlarmText"))));
    copyBack(QStringLiteral("Task"), QStringLiteral("Task_id"),
             QStringLiteral("Task_name,Task_type_code,Event_list,Relay_list,Message_destination,Message_text"));
    sql(QStringLiteral("drop table Task_copy"));

    selectInto(QStringLiteral("select * into global_settings_copy from global_settings"),
               QStringLiteral("global_settings_copy"), QStringLiteral("global_settings"));
    sql(QStringLiteral("drop table global_settings"));
    sql(S(QStringLiteral("CREATE TABLE Global_settings (Global_settings_ID int IDENTITY(1, 1) NOT NULL, Cfg_key "
                         "varchar(50) NULL, cfg_value text  NULL, Cfg_modif_date datetime NULL)"),
          QStringList{QStringLiteral("CREATE TABLE Global_settings (Global_settings_ID INTEGER PRIMARY KEY "
                                     "AUTOINCREMENT, Cfg_key varchar(50) NULL, cfg_value text NULL, Cfg_modif_date "
                                     "datetime NULL)")},
          QStringList{QStringLiteral("CREATE TABLE Global_settings (Global_settings_ID serial PRIMARY KEY, Cfg_key "
                                     "varchar(50) NULL, cfg_value text NULL, Cfg_modif_date timestamp NULL)")}));
    sql(QStringLiteral("insert into Global_settings (Cfg_key, cfg_value, Cfg_modif_date) select Cfg_key, cfg_value, "
                       "Cfg_modif_date from Global_settings_copy"));
    sql(QStringLiteral("drop table Global_settings_copy"));

    sql(QStringLiteral("update event set event_name = rtrim(event_name)"));
    sql(QStringLiteral("update event set sndfile = rtrim(sndfile)"));
    sql(QStringLiteral("update task set task_name = rtrim(task_name)"));
    sql(QStringLiteral("update task set message_destination = rtrim(message_destination)"));
    sql(QStringLiteral("update task set message_text = rtrim(message_text)"));
    sql(QStringLiteral("update global_settings set cfg_key = rtrim(cfg_key)"));
    sql(QStringLiteral("update global_settings set cfg_value = rtrim(cfg_value)"));
}

int Upgrader::run(int from)
{
    SetCodeTablesRefilled(false);
    filled_ = false;
    auto pgOnly = [&](const QString& server, const QString& postgres) {
        sql(S(server, std::nullopt, QStringList{postgres}));
    };

    struct Step {
        int from;
        int to;
        std::function<void()> body;
    };
    const QList<Step> steps = {
        {0, 1, [&] { step0(); }},
        {1, 2, [&] { fillOnce(); }},
        {2, 4, [&] { step2(); }},
        {4, 5, [&] { sql(QStringLiteral("ALTER TABLE Probe_type ADD Pending_queries TEXT")); }},
        {5, 6, [&] { fillOnce(); }},
        {6, 7, [&] { sql(QStringLiteral("ALTER TABLE Tmp_measure ADD Probe_type_id INTEGER")); }},
        {7, 8, [&] {
             WriteGlobalSetting(c_, QStringLiteral("SNMP_OID"), QStringLiteral("1.3.6.1.4.1.52417.1"));
             fillOnce();
         }},
        {8, 9, [&] { step8(); }},
        {9, 10, [&] { fillOnce(); }},
        {10, 11, [&] { step10(); }},
        {11, 12, [&] {
             sql(QStringLiteral("ALTER TABLE Event ADD SndFile CHAR(100)"));
             sql(S(QStringLiteral("UPDATE Event SET SndFile=:path")),
                 {{QStringLiteral("path"), AppPaths::besideProgram(QStringLiteral("Alarm.wav"))}});
             fillOnce();
         }},
        {12, 13, [&] { step12(); }},
        {13, 14, [&] { fillOnce(); }},
        {14, 15, [&] {
             sql(QStringLiteral("alter table event add week_days char(7)"));
             sql(QStringLiteral("alter table event add hours     varchar(200)"));
             sql(QStringLiteral("alter table event add minutes   varchar(200)"));
             pgOnly(QStringLiteral("alter table event add use_week_days bit default 0"),
                    QStringLiteral("alter table event add use_week_days smallint default 0"));
             pgOnly(QStringLiteral("alter table event add use_hours     bit default 0"),
                    QStringLiteral("alter table event add use_hours     smallint default 0"));
             pgOnly(QStringLiteral("alter table event add use_minutes   bit default 0"),
                    QStringLiteral("alter table event add use_minutes   smallint default 0"));
             sql(QStringLiteral("alter table task  add report_type       integer not null default 0"));
             sql(QStringLiteral("alter table task  add report_data_count integer not null default 24"));
             sql(QStringLiteral("update task set report_type=0"));
             sql(QStringLiteral("update task set report_data_count=24"));
             fillOnce();
         }},
        {15, 16, [&] {
             sql(QStringLiteral("alter table event add rate_count integer default 10"));
             sql(QStringLiteral("update event set rate_count=10"));
             sql(QStringLiteral("alter table task add exec_cmd varchar(200)"));
             sql(QStringLiteral("alter table task add exec_params varchar(200)"));
             fillOnce();
         }},
        {16, 17, [&] {
             pgOnly(QStringLiteral("alter table probe add ws_hist_ts datetime"),
                    QStringLiteral("alter table probe add ws_hist_ts timestamp"));
             fillOnce();
         }},
        {17, 18, [&] {
             sql(QStringLiteral("alter table event add EvLimit integer NULL DEFAULT 2"));
             // "limit" is a keyword of both other engines.
             sql(S(QStringLiteral("update event set evlimit = limit"),
                   QStringList{QStringLiteral("update event set evlimit = \"limit\"")},
                   QStringList{QStringLiteral("update event set evlimit = \"limit\"")}));
             fillOnce();
         }},
        {18, 19, [&] {
             sql(QStringLiteral("ALTER TABLE Probe ADD Graph_shift INTEGER NOT NULL DEFAULT 0"));
             sql(QStringLiteral("ALTER TABLE Probe ADD Graph_amp   FLOAT   NOT NULL DEFAULT 1"));
             pgOnly(QStringLiteral("ALTER TABLE Event ADD Limit_time  BIT     NOT NULL DEFAULT 0"),
                    QStringLiteral("ALTER TABLE Event ADD Limit_time  SMALLINT NOT NULL DEFAULT 0"));
             sql(QStringLiteral("update Probe set Graph_shift = 0, Graph_amp = 1"));
             sql(QStringLiteral("update Event set Limit_time  = 0"));
             fillOnce();
         }},
        {19, 20, [&] {
             pgOnly(QStringLiteral("ALTER TABLE Probe ADD Invert_relay BIT NOT NULL DEFAULT 0"),
                    QStringLiteral("ALTER TABLE Probe ADD Invert_relay SMALLINT NOT NULL DEFAULT 0"));
             fillOnce();
         }},
        {20, 21, [&] { fill(); }},
        {21, 22, [&] {
             // The local file does not enforce text lengths.
             sql(S(QStringLiteral("alter table event alter column event_name varchar(200)"), QStringList{},
                   QStringList{QStringLiteral("alter table event alter column event_name type varchar(200)")}));
             fill();
         }},
        {22, 23, [&] {
             def(QStringLiteral("CREATE TABLE Grafikonok (ID %ID%, Nev VARCHAR(50) DEFAULT %1, KezdoDatum %DT% NULL, "
                                "VegDatum %DT% NULL, Lepeskoz INTEGER DEFAULT 1, BovuloGrafikon %BIT% NOT NULL "
                                "DEFAULT 1, Szenzorok TEXT NOT NULL DEFAULT '', Merestipusok TEXT NOT NULL DEFAULT "
                                "'', ChannelColors TEXT NOT NULL DEFAULT '', ChannelsSelected TEXT NOT NULL DEFAULT "
                                "'', ChannelStyles TEXT NOT NULL DEFAULT '', SpanX FLOAT, SpanY FLOAT, MinX FLOAT, "
                                "MinY FLOAT)")
                     .arg(SqlLiteral(QStringLiteral("\u00daj grafikon"))));
             fill();
         }},
        {23, 24, [&] {
             pgOnly(QStringLiteral("ALTER TABLE Probe_type ADD Relekezeles BIT NOT NULL DEFAULT 0"),
                    QStringLiteral("ALTER TABLE Probe_type ADD Relekezeles SMALLINT NOT NULL DEFAULT 0"));
             fill();
         }},
        {24, 25, [&] {
             const QStringList columns{QStringLiteral("dac1_interval_start float"), QStringLiteral("dac1_interval_end float"),
                                       QStringLiteral("dac2_interval_start float"), QStringLiteral("dac2_interval_end float"),
                                       QStringLiteral("dac1_id_sensor int"),        QStringLiteral("dac2_id_sensor int")};
             QStringList local;
             for (const QString& c : columns)
                 local << QStringLiteral("alter table probe add ") + c;
             sql(S(QStringLiteral("alter table probe add   dac1_interval_start float,   dac1_interval_end float,   "
                                  "dac2_interval_start float,  dac2_interval_end float,   dac1_id_sensor int,   "
                                  "dac2_id_sensor int"),
                   local, QStringList{QStringLiteral("alter table probe add ") + columns.join(QStringLiteral(", add "))}));
             fill();
         }},
        {25, 26, [&] { fill(); }},
        {26, 27, [&] {
             sql(QStringLiteral("CREATE INDEX IDX_Measure_MTC_PrID_MDT ON Measure (Measure_type_code ASC, Probe_id "
                                "ASC, Measure_datetime ASC)"));
             sql(S(QStringLiteral("ALTER TABLE Probe_type alter column probe_type_address long"), QStringList{},
                   QStringList{QStringLiteral("ALTER TABLE Probe_type ALTER COLUMN probe_type_address TYPE bigint")}));
             fill();
         }},
    };

    int reached = from;
    bool started = false;
    for (const Step& s : steps) {
        if (!started && s.from != from)
            continue;
        started = true;
        if (s.to <= 18)
            logStep(s.from, s.from == 2 ? 3 : s.to);
        s.body();
        // A lost connection makes every further statement fail: stop where the
        // database really is, so the next start resumes from there.
        if (!c_.Alive()) {
            LogLine(Msg("errDBUpdateFailed"), true);
            return reached;
        }
        reached = s.to;
    }
    if (!filled_)
        FillConvTables(c_);
    reached = qMax(reached, CurrentDbVersion);
    WriteGlobalSetting(c_, QStringLiteral("DB_Version"), QString::number(reached));
    return reached;
}

} // namespace

int UpgradeDatabase(TpSQLConnection& connection, int fromVersion)
{
    Upgrader u(connection);
    return u.run(fromVersion);
}

} // namespace cvx
