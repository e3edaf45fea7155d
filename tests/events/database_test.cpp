// Loading events and tasks from a database and the report of hourly minimum and maximum
// values, on the local file and on PostgreSQL.

#include "event_fixture.h"
#include "store/data_module.h"
#include "store/measure_cipher.h"
#include "store/settings.h"
#include "store_test_support.h"

using namespace cvx;
using namespace cvx::test;

namespace {

class Database : public EventTest, public ::testing::WithParamInterface<DbEngine> {
protected:
    void SetUp() override
    {
        CVX_REQUIRE_ENGINE(GetParam());
        db = std::make_unique<TestDatabase>(GetParam());
        ASSERT_TRUE(db->ok()) << db->error().toStdString();
        BuildFresh(*db);
    }
    void TearDown() override
    {
        engine.reset();
        if (dm)
            dm->CloseMainConnection();
        dm.reset();
        shellState().DbConnected = false;
    }
    void open()
    {
        dm = std::make_unique<TfDM>(time);
        QString error;
        ASSERT_TRUE(dm->OpenMainConnection(db->connectionString(), &error)) << error.toStdString();
        shellState().DbConnected = true;
        rebuildEngine(&smtp, &launcher, dm.get());
    }
    std::unique_ptr<TestDatabase> db;
    std::unique_ptr<TfDM> dm;
};

TEST_P(Database, ReloadEventsReadsEventsThresholdsAndTasks)
{
    db->exec(
        "INSERT INTO Threshold (Measure_type_code, Threshold_value, Threshold_type_code) VALUES (2, 65.5, 1);"
        "INSERT INTO Threshold (Measure_type_code, Threshold_value, Threshold_type_code) VALUES (1, 18, 2);"
        "INSERT INTO Task (Task_name, Task_type_code, Relay_list, Message_destination, Message_text, exec_cmd, "
        "exec_params, report_data_count) VALUES (' Riasztás ', 1, '', ' ops@corvalux.test ', ' Párás: %f ', ' /x ', ' -a ', 12);"
        "INSERT INTO Task (Task_name, Task_type_code, Relay_list) VALUES ('Relé', 6, '20,21');"
        "INSERT INTO Event (Event_name, Event_is_used, Condition_type_code, Condition_type_code2, Threshold_id, "
        "Threshold_id2, Sustain, Sustain2, Sensor_list, Sensor_list2, Task_list, Task_list2, rate_count, Limit_enabled, "
        "EvLimit, Limit_interval, Period, Delay, Limit_time, week_days, hours, minutes, use_week_days, use_hours, "
        "use_minutes, Sound_enabled, SndFile) VALUES (' Páratartalom ', 1, 1, 1, 1, 2, 5, 3, '1, 2', '2', '1,2', '', "
        "7, 1, 3, 30, 1, 0, 1, 'XXXXX  ', '08,09', '00,30', 1, 1, 0, 0, ' riaszt.wav ');"
        "INSERT INTO Event (Event_name, Condition_type_code, Condition_type_code2, Period, Sensor_list) "
        "VALUES ('Óránként', 3, 4, 60, '3');");
    open();
    TProbe& iface = addInterface(100, false);
    TProbe& relay = addRelay(20, iface);
    relay.RelayLocks.insert("99", RelayLockEntry{99, "old"});
    shellState().MasterMode = true;
    engine->ReloadEvents();

    EXPECT_TRUE(relay.RelayLocks.isEmpty()) << "holds live only until the next reload";
    ASSERT_EQ(engine->Tasks.size(), 2u);
    const TTask& mail = *engine->Tasks[0];
    EXPECT_EQ(mail.Task_name, "Riasztás");
    EXPECT_EQ(mail.Task_type_code, ttEMail);
    EXPECT_EQ(mail.Message_destination, "ops@corvalux.test");
    EXPECT_EQ(mail.Message_text, "Párás: %f");
    EXPECT_EQ(mail.exec_cmd, " /x ") << "kept untrimmed";
    EXPECT_EQ(mail.report_data_count, 12);
    EXPECT_EQ(engine->Tasks[1]->Relay_list.texts(), (QStringList{"20", "21"}));

    ASSERT_EQ(engine->Events.size(), 2u);
    const TEvent& e = *engine->Events[0];
    EXPECT_EQ(e.Event_name, "Páratartalom");
    EXPECT_TRUE(e.Event_is_used);
    EXPECT_EQ(e.Threshold1Value, 65.5);
    EXPECT_EQ(e.Threshold1Type, 1);
    EXPECT_EQ(e.Threshold1MeasureType, 2);
    EXPECT_EQ(e.Threshold2Value, 18);
    EXPECT_EQ(e.Threshold2Type, 2);
    EXPECT_EQ(e.Threshold2MeasureType, 1);
    EXPECT_EQ(e.Sustain, 5);
    EXPECT_EQ(e.Sustain2, 3);
    EXPECT_EQ(e.Sensor_list.texts(), (QStringList{"1", "2"}));
    EXPECT_EQ(e.rate_count, 7);
    EXPECT_TRUE(e.Limit_enabled);
    EXPECT_EQ(e.EvLimit, 3);
    EXPECT_EQ(e.Limit_interval, 30);
    EXPECT_TRUE(e.Limit_time);
    EXPECT_EQ(e.week_days, "XXXXX  ");
    EXPECT_EQ(e.hours, (QStringList{"08", "09"}));
    EXPECT_EQ(e.minutes, (QStringList{"00", "30"}));
    EXPECT_TRUE(e.use_week_days && e.use_hours && !e.use_minutes);
    EXPECT_EQ(e.SndFile, "riaszt.wav");
    EXPECT_FALSE(e.PeriodTimer->isActive());

    const TEvent& hourly = *engine->Events[1];
    EXPECT_EQ(hourly.Threshold1Value, 100) << "no threshold row: the defaults";
    EXPECT_EQ(hourly.Threshold2Value, 99);
    EXPECT_EQ(hourly.Threshold2Type, 2);
    EXPECT_TRUE(hourly.PeriodTimer->isActive());
    EXPECT_EQ(hourly.PeriodTimer->interval(), 3600000);
    EXPECT_EQ(hourly.DelayTimer->interval(), 1) << "a delay of 0 s is 1 ms";

    EXPECT_TRUE(engine->Scheduler().isActive());
    EXPECT_EQ(engine->EventsOfSensor(2).size(), 1u);
    EXPECT_EQ(engine->EventsOfSensor(3).size(), 1u);
    EXPECT_TRUE(QFileInfo::exists(home.file("001 Páratartalom.eventlog")));

    // A client loads nothing and keeps the scheduler stopped.
    shellState().MasterMode = false;
    engine->ReloadEvents();
    EXPECT_FALSE(engine->Scheduler().isActive());
    shellState().MasterMode = true;
    engine->FreeAll();
    EXPECT_TRUE(engine->Events.empty());
    EXPECT_TRUE(engine->Tasks.empty());
}

// 2024 is a leap year: on 1 March the report lists the hours of 29 February.
TEST_P(Database, ReportOnTheFirstOfMarchListsTheLastDayOfFebruary)
{
    db->exec(
        "INSERT INTO Measure (Measure_value, Probe_id, Measure_type_code, Measure_datetime) VALUES "
        "('3000', 1, 1, '2024-02-28 23:30:00');"
        "INSERT INTO Measure (Measure_value, Probe_id, Measure_type_code, Measure_datetime) VALUES "
        "('2150', 1, 1, '2024-02-29 10:05:00');"
        "INSERT INTO Measure (Measure_value, Probe_id, Measure_type_code, Measure_datetime) VALUES "
        "('980', 1, 1, '2024-02-29 10:40:00');"
        "INSERT INTO Measure (Measure_value, Probe_id, Measure_type_code, Measure_datetime) VALUES "
        "('-120', 1, 1, '2024-02-29 10:50:00');"
        "INSERT INTO Measure (Measure_value, Probe_id, Measure_type_code, Measure_datetime) VALUES "
        "('xyz', 1, 1, '2024-02-29 10:55:00');"
        "INSERT INTO Measure (Measure_value, Probe_id, Measure_type_code, Measure_datetime) VALUES "
        "('2400', 1, 1, '2024-02-29 11:10:00');"
        "INSERT INTO Measure (Measure_value, Probe_id, Measure_type_code, Measure_datetime) VALUES "
        "('455', 1, 2, '2024-02-29 11:20:00');"
        "INSERT INTO Measure (Measure_value, Probe_id, Measure_type_code, Measure_datetime) VALUES "
        "('2000', 1, 1, '2024-03-01 00:10:00');"
        "INSERT INTO Measure (Measure_value, Probe_id, Measure_type_code, Measure_datetime) VALUES "
        "('2200', 2, 1, '2024-02-29 09:00:00');");
    open();
    addSensor(1, stTempHumidity);
    addSensor(2, stCabledTemperature);
    addSensor(3, stTemperature);
    time.setLocalNow(QDateTime(QDate(2024, 3, 1), QTime(6, 0)));
    bool ok = false;
    EXPECT_EQ(engine->BuildReportBody(24, &ok),
              "\r\nCorvalux jelentés\r\n2024-03-01 06:00\r\n\r\n"
              "2024-02-29 11:00\tsensor1\thőmérséklet\t24\t24\r\n"
              "2024-02-29 10:00\tsensor1\thőmérséklet\t-1,2\t21,5\r\n"
              "\r\n"
              "2024-02-29 11:00\tsensor1\tpáratartalom\t45,5\t45,5\r\n"
              "\r\n"
              "2024-02-29 09:00\tsensor2\thőmérséklet\t22\t22\r\n"
              "\r\n");
    EXPECT_TRUE(ok);
    EXPECT_EQ(engine->BuildReportBody(1),
              "\r\nCorvalux jelentés\r\n2024-03-01 06:00\r\n\r\n"
              "2024-02-29 11:00\tsensor1\thőmérséklet\t24\t24\r\n"
              "\r\n"
              "2024-02-29 11:00\tsensor1\tpáratartalom\t45,5\t45,5\r\n"
              "\r\n"
              "2024-02-29 09:00\tsensor2\thőmérséklet\t22\t22\r\n"
              "\r\n");
    // On another day: yesterday and today of the same month.
    time.setLocalNow(QDateTime(QDate(2024, 2, 29), QTime(23, 0)));
    EXPECT_TRUE(engine->BuildReportBody(24).contains("2024-02-28 23:00\tsensor1\thőmérséklet\t30\t30\r\n"));
}

TEST_P(Database, ReportTaskMailsTheReportAndLogsItInItsPlace)
{
    db->exec("INSERT INTO Measure (Measure_value, Probe_id, Measure_type_code, Measure_datetime) VALUES "
             "('2150', 1, 1, '2024-05-19 10:05:00');");
    open();
    addSensor(1, stCabledTemperature);
    addTask(1, ttReport, [](TTask& t) {
        t.Message_destination = "boss@corvalux.test";
        t.report_data_count = 24;
    });
    TEvent& e = addEvent(1, [](TEvent& ev) {
        ev.Condition_type_code = CTC_EVENT_TRIGGERED;
        ev.Task_list.setCommaText("1");
    });
    e.SetActive(true);
    ASSERT_TRUE(waitFor([&] { return engine->Mail().outstanding() == 0; }, 10000));
    const auto sent = smtp.taken();
    ASSERT_EQ(sent.size(), 1u);
    const QString body = sent[0].message.body;
    EXPECT_TRUE(body.contains("2024-05-19 10:00\tsensor1\thőmérséklet\t21,5\t21,5\r\n"));
    EXPECT_EQ(sent[0].message.subject, PlainSubjectText("Üzenet az Corvaluxtól: " + body));
    EXPECT_FALSE(sent[0].message.subject.contains(u'\n'));
    const QStringList lines = eventLogLines(e);
    const auto line = std::find_if(lines.begin(), lines.end(), [](const QString& l) {
        return l.startsWith("  EMail küldése. Cím: boss@corvalux.test Üzenet: ");
    });
    ASSERT_NE(line, lines.end()) << lines.join("\n").toStdString();
    EXPECT_TRUE(line->endsWith(" - Elküldve."));
    EXPECT_TRUE(line->contains("Corvalux jelentés"));
}

TEST_P(Database, AReportTheDatabaseCannotGiveFailsItsTaskButNotTheOthers)
{
    open();
    addSensor(1, stCabledTemperature);
    db->exec("DROP TABLE Measure");
    addTask(1, ttReport, [](TTask& t) { t.Message_destination = "boss@corvalux.test"; });
    addTask(2, ttCommand, [](TTask& t) { t.exec_cmd = "/bin/after"; });
    TEvent& e = addEvent(1, [](TEvent& ev) {
        ev.Condition_type_code = CTC_EVENT_TRIGGERED;
        ev.Task_list.setCommaText("1,2");
    });
    e.SetActive(true);
    EXPECT_EQ(launcher.calls.size(), 1u) << "the next task still runs";
    EXPECT_TRUE(e.Active);
    ASSERT_TRUE(waitFor([&] { return engine->Mail().outstanding() == 0; }, 5000));
    EXPECT_TRUE(smtp.taken().empty()) << "an incomplete report is not sent";
    EXPECT_TRUE(log.contains("Hiba történt egy SQL-művelet végrehajtása közben: "));
    const QStringList lines = eventLogLines(e);
    const auto line = std::find_if(lines.begin(), lines.end(),
                                   [](const QString& l) { return l.startsWith("  EMail küldése. Cím: boss@corvalux.test"); });
    ASSERT_NE(line, lines.end());
    EXPECT_TRUE(line->endsWith(" - Hiba történt az email elküldésekor!"));
    EXPECT_LT(line - lines.begin(), lines.indexOf("  A(z) \"/bin/after\" parancs sikeresen végrehajtva. Eredménykód: 4242"));
}

INSTANTIATE_TEST_SUITE_P(Engines, Database, ::testing::Values(DbEngine::LocalFile, DbEngine::PostgreSql),
                         [](const auto& info) { return std::string(EngineName(info.param)); });

TEST_F(EventTest, EncipheredValuesAreReportedDeciphered)
{
    TestDatabase db(DbEngine::LocalFile);
    ASSERT_TRUE(db.ok());
    BuildFresh(db);
    WriteGlobalSetting(*db.open(), QStringLiteral("DBPasswd"), TDESCipher(BuiltInPassPhrase()).Encipher("titok"));
    auto dm = std::make_unique<TfDM>(time);
    ASSERT_TRUE(dm->OpenMainConnection(db.connectionString()));
    shellState().DbConnected = true;
    ASSERT_TRUE(dm->EncryptionInUse());
    const QDateTime day(QDate(2024, 5, 19), QTime(10, 0));
    dm->StoreMeasure("2150", 1, 1, day.addSecs(300));
    dm->StoreMeasure("980", 1, 1, day.addSecs(600));
    dm->StoreMeasure("1005", 1, 1, day.addSecs(900));
    ASSERT_TRUE(dm->FlushMeasurements());
    rebuildEngine(&smtp, &launcher, dm.get());
    addSensor(1, stCabledTemperature);
    const QString body = engine->BuildReportBody(24);
    EXPECT_TRUE(body.contains("2024-05-19 10:00\tsensor1\thőmérséklet\t9,8\t21,5\r\n")) << body.toStdString();
    engine.reset();
    dm->CloseMainConnection();
    shellState().DbConnected = false;
}

} // namespace
