// New databases, the table check, the code tables, and the upgrade from every earlier
// schema version on both engines.

#include "shell/app_paths.h"
#include "store/code_tables.h"
#include "store/db_check.h"
#include "store/measure_cipher.h"
#include "store/settings.h"
#include "store/sql_query.h"
#include "store_fixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>

namespace cvx::test {
namespace {

// How many times the code tables were filled, from the SQL command lines of the main log.
int fillCount(const CapturedMainLog& log)
{
    int n = 0;
    for (const QString& l : log.lines())
        if (l == QLatin1String("DELETE FROM Measure_type_code_to_string"))
            ++n;
    return n;
}

QStringList upgradeSteps(const CapturedMainLog& log)
{
    static const QRegularExpression step(QStringLiteral("^Adatbázis frissítése: REV(\\d+) -> REV(\\d+)$"));
    QStringList out;
    for (const QString& l : log.lines()) {
        const auto m = step.match(l);
        if (m.hasMatch())
            out << m.captured(1) + u'>' + m.captured(2);
    }
    return out;
}

QStringList upgradeErrors(const CapturedMainLog& log)
{
    QStringList out;
    for (const QString& l : log.lines())
        if (l.startsWith(QStringLiteral("Hiba")) || l.startsWith(QStringLiteral("SQL: ")))
            out << l;
    return out;
}

class Schema : public EngineTest {
protected:
    void SetUp() override
    {
        EngineTest::SetUp();
        CVX_REQUIRE_ENGINE(engine());
    }
    std::unique_ptr<TestDatabase> newDb()
    {
        auto db = std::make_unique<TestDatabase>(engine());
        EXPECT_TRUE(db->ok()) << db->error().toStdString();
        return db;
    }
    // Tables and columns of a database created new with the current schema.
    std::map<QString, std::set<QString>> freshSchema()
    {
        TestDatabase fresh(engine());
        BuildFresh(fresh);
        auto c = fresh.open(QStringLiteral("conFresh"));
        freshIndexes_ = IndexNames(*c);
        return SchemaColumns(*c);
    }
    void expectSameSchemaAsFresh(TpSQLConnection& c)
    {
        const auto expected = freshSchema();
        const auto actual = SchemaColumns(c);
        for (const auto& [table, columns] : expected) {
            ASSERT_TRUE(actual.count(table)) << "missing table " << table.toStdString();
            for (const QString& col : columns)
                EXPECT_TRUE(actual.at(table).count(col)) << table.toStdString() << "." << col.toStdString() << " missing";
            for (const QString& col : actual.at(table))
                EXPECT_TRUE(columns.count(col)) << table.toStdString() << "." << col.toStdString() << " extra";
        }
        for (const auto& [table, columns] : actual)
            EXPECT_TRUE(expected.count(table)) << "extra table " << table.toStdString();
        EXPECT_EQ(IndexNames(c), freshIndexes_);
    }
    std::set<QString> freshIndexes_;
};

TEST_P(Schema, ANewDatabaseHasTheCurrentSchemaAndFilledCodeTables)
{
    auto db = newDb();
    BuildFresh(*db);
    auto c = db->open();
    EXPECT_TRUE(CheckTables(*c));
    EXPECT_TRUE(log.contains(QStringLiteral("táblát találtam az adatbázisban.")));
    EXPECT_TRUE(log.contains(QStringLiteral("A táblák rendben vannak.")));
    EXPECT_EQ(StoredDbVersion(*c), 27);
    EXPECT_EQ(Scalar(*c, QStringLiteral("SELECT COUNT(*) FROM Measure_type_code_to_string")).toInt(), 20);
    EXPECT_EQ(Scalar(*c, QStringLiteral("SELECT COUNT(*) FROM Sensor_type_code_to_string")).toInt(), 15);
    EXPECT_EQ(Scalar(*c, QStringLiteral("SELECT COUNT(*) FROM Server_type_code_to_string")).toInt(), 7);
    EXPECT_EQ(Scalar(*c, QStringLiteral("SELECT COUNT(*) FROM Protocol_type_code_to_string")).toInt(), 4);
    EXPECT_EQ(Scalar(*c, QStringLiteral("SELECT COUNT(*) FROM Task_type_code_to_string")).toInt(), 12);
    EXPECT_EQ(Scalar(*c, QStringLiteral("SELECT Precision_value FROM Measure_type_precisions WHERE Measure_type_id=3")).toInt(),
              1000);
    EXPECT_EQ(Scalar(*c, QStringLiteral("SELECT Treshold_type_code_as_str FROM Treshold_type_code_to_string WHERE "
                                        "Treshold_type_code_as_int=2")).toString(),
              QStringLiteral("alsó határérték"));
    EXPECT_EQ(Scalar(*c, QStringLiteral("SELECT COUNT(*) FROM Threshold_list")).toInt(), 0);
    EXPECT_EQ(Scalar(*c, QStringLiteral("SELECT COUNT(*) FROM Global_settings WHERE Cfg_key='DBPasswd'")).toInt(), 1);
    EXPECT_EQ(ReadGlobalSetting(*c, QStringLiteral("SNMP_OID")), QStringLiteral("1.3.6.1.4.1.52417.1"));
    EXPECT_TRUE(IndexNames(*c).count(QStringLiteral("idx_measure_mtc_prid_mdt")));
    EXPECT_TRUE(CodeTablesRefilled());
}

TEST_F(StoreTest, FirstStartCreatesTheLocalDatabaseFile)
{
    const QString cs = DefaultLocalConnectionString();
    const QString path = LocalDatabasePath(cs);
    ASSERT_FALSE(QFile::exists(path));
    EXPECT_TRUE(CheckDatabase(cs));
    EXPECT_TRUE(QFile::exists(path));
    EXPECT_TRUE(dialogs.dialogs().shownMessages.isEmpty());
    EXPECT_TRUE(dialogs.dialogs().askedQuestions.isEmpty());
    EXPECT_TRUE(log.contains(QStringLiteral("Az adatbázis létrehozása sikerült.")));
    TpSQLConnection c;
    c.ConnectionString = cs;
    ASSERT_TRUE(c.Open());
    EXPECT_EQ(StoredDbVersion(c), 27);
    EXPECT_TRUE(CheckTables(c));
    // A second start finds it as it is.
    EXPECT_TRUE(CheckDatabase(cs));
}

TEST_F(StoreTest, CompactingTheLocalFileKeepsItsRows)
{
    TestDatabase db(DbEngine::LocalFile);
    BuildFresh(db);
    db.exec(QStringLiteral("INSERT INTO Probe (Probe_name) VALUES ('a'); DELETE FROM Measure"));
    QString error;
    EXPECT_TRUE(CompactLocalDatabase(db.connectionString(), &error)) << error.toStdString();
    EXPECT_EQ(Scalar(*db.open(), QStringLiteral("SELECT COUNT(*) FROM Probe")).toInt(), 1);
    EXPECT_FALSE(CompactLocalDatabase(TestPgServer().isEmpty() ? QStringLiteral("Provider=QPSQL;") : TestPgServer(), &error));
}

TEST_F(StoreTest, TheServersDatabasesAreListed)
{
    CVX_REQUIRE_ENGINE(DbEngine::PostgreSql);
    TestDatabase db(DbEngine::PostgreSql);
    QString error;
    const QStringList names = ListServerDatabases(TestPgServer(), &error);
    EXPECT_TRUE(names.contains(QStringLiteral("postgres"))) << error.toStdString();
    EXPECT_TRUE(names.contains(InitialCatalogOf(db.connectionString())));
    EXPECT_FALSE(names.contains(QStringLiteral("template0")));
}

TEST_F(StoreTest, AFileThatIsNotADatabaseIsReportedAndKept)
{
    const QString path = home.file(QStringLiteral("broken.db"));
    writeFile(path, QByteArray("this is not a database file, but someone's data"));
    EXPECT_FALSE(CheckDatabase(LocalConnectionString(path)));
    ASSERT_EQ(dialogs.dialogs().shownMessages.size(), 1);
    EXPECT_TRUE(QFile::exists(path));
    EXPECT_TRUE(readFile(path).startsWith(QStringLiteral("this is not")));
}

TEST_P(Schema, CheckTablesWantsTheSevenTables)
{
    auto db = newDb();
    BuildFresh(*db);
    db->exec(QStringLiteral("DROP TABLE User_settings"));
    auto c = db->open();
    EXPECT_FALSE(CheckTables(*c));
    EXPECT_TRUE(log.contains(QStringLiteral("Sikerült a táblákat ellenőrizni, de nem stimmelnek.")));
}

TEST_P(Schema, AMissingVersionUpgradesFromZeroToTheCurrentSchema)
{
    auto db = newDb();
    BuildVersion0(*db);
    dialogs.dialogs().answers = {mrYes};
    shellState().LOG_SQL = true;
    ASSERT_TRUE(CheckDatabase(db->connectionString()));
    EXPECT_EQ(dialogs.dialogs().askedQuestions.size(), 1u);
    auto c = db->open();
    EXPECT_EQ(StoredDbVersion(*c), 27);

    QStringList expectedSteps;
    for (int v : {0, 1, 2, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17})
        expectedSteps << QStringLiteral("%1>%2").arg(v).arg(v == 2 ? 3 : (v == 17 ? 18 : v + 1));
    EXPECT_EQ(upgradeSteps(log), expectedSteps);
    EXPECT_TRUE(upgradeErrors(log).isEmpty()) << upgradeErrors(log).join('\n').toStdString();
    EXPECT_EQ(fillCount(log), 8);

    // Interface types of the oldest databases became server, protocol and sensor types.
    const int expected[6][3] = {{0, 2, 1}, {2, 1, 4}, {2, 2, 1}, {2, 1, 1}, {2, 1, 1}, {2, 1, 4}};
    for (int id = 1; id <= 6; ++id) {
        TpSQLQuery q(c.get(), QStringLiteral("SELECT pt.Server_type_code, pt.Protocol_type_code, p.Sensor_type_code "
                                             "FROM Probe_type pt JOIN Probe p ON p.Probe_type_id = pt.Probe_type_id "
                                             "WHERE pt.Probe_type_id=:id"));
        q.SetParam(QStringLiteral("id"), id);
        ASSERT_TRUE(q.Open());
        for (int k = 0; k < 3; ++k)
            EXPECT_EQ(q.Value(k).toInt(), expected[id - 1][k]) << "interface " << id << " column " << k;
    }
    EXPECT_EQ(Scalar(*c, QStringLiteral("SELECT COUNT(*) FROM User_settings")).toInt(), 0);
    EXPECT_EQ(Scalar(*c, QStringLiteral("SELECT COUNT(*) FROM Measure")).toInt(), 2);
    EXPECT_EQ(ReadGlobalSetting(*c, QStringLiteral("SNMP_OID")), QStringLiteral("1.3.6.1.4.1.52417.1"));
    expectSameSchemaAsFresh(*c);
    if (engine() == DbEngine::PostgreSql)
        EXPECT_EQ(Scalar(*c, QStringLiteral("SELECT data_type FROM information_schema.columns WHERE "
                                            "table_name='probe_type' AND column_name='probe_type_address'")).toString(),
                  QStringLiteral("bigint"));
}

TEST_P(Schema, Version12KeepsEventAndTaskIdsAndTrimsTheRebuiltTexts)
{
    auto db = newDb();
    BuildVersion12(*db);
    dialogs.dialogs().answers = {mrYes};
    ASSERT_TRUE(CheckDatabase(db->connectionString()));
    EXPECT_TRUE(upgradeErrors(log).isEmpty()) << upgradeErrors(log).join('\n').toStdString();
    EXPECT_EQ(upgradeSteps(log).first(), QStringLiteral("12>13"));
    auto c = db->open();
    EXPECT_EQ(StoredDbVersion(*c), 27);

    TpSQLQuery events(c.get(), QStringLiteral("SELECT Event_id, Event_name, SndFile, Threshold_id, EvLimit, Task_list "
                                              "FROM Event ORDER BY Event_id"));
    ASSERT_TRUE(events.Open());
    EXPECT_EQ(events.Value(0).toInt(), 3);
    EXPECT_EQ(events.Value(1).toString(), QStringLiteral("Szerverszoba meleg"));
    EXPECT_EQ(events.Value(2).toString(), QStringLiteral("C:\\Corvalux\\Alarm.wav"));
    EXPECT_EQ(events.Value(3).toInt(), 4);
    EXPECT_EQ(events.Value(4).toInt(), 5);
    EXPECT_EQ(events.Value(5).toString(), QStringLiteral("2,5"));
    ASSERT_TRUE(events.Next());
    EXPECT_EQ(events.Value(0).toInt(), 7);
    EXPECT_EQ(events.Value(1).toString(), QStringLiteral("Raktár párás"));
    EXPECT_EQ(events.Value(4).toInt(), 9);
    EXPECT_FALSE(events.Next());

    TpSQLQuery tasks(c.get(), QStringLiteral("SELECT Task_id, Task_name, Message_destination, Event_list, report_data_count "
                                             "FROM Task ORDER BY Task_id"));
    ASSERT_TRUE(tasks.Open());
    EXPECT_EQ(tasks.Value(0).toInt(), 2);
    EXPECT_EQ(tasks.Value(1).toString(), QStringLiteral("Levél"));
    EXPECT_EQ(tasks.Value(2).toString(), QStringLiteral("ops@example.com"));
    EXPECT_EQ(tasks.Value(4).toInt(), 24);
    ASSERT_TRUE(tasks.Next());
    EXPECT_EQ(tasks.Value(0).toInt(), 5);
    EXPECT_EQ(tasks.Value(3).toString(), QStringLiteral("3,7"));

    EXPECT_EQ(ReadGlobalSetting(*c, QStringLiteral("SMTP_Server")), QStringLiteral("mail.example.com"));
    // New rows continue after the kept ids.
    db->exec(QStringLiteral("INSERT INTO Event (Event_name) VALUES ('x'); INSERT INTO Task (Task_name) VALUES ('y')"));
    EXPECT_EQ(Scalar(*c, QStringLiteral("SELECT MAX(Event_id) FROM Event")).toInt(), 8);
    EXPECT_EQ(Scalar(*c, QStringLiteral("SELECT MAX(Task_id) FROM Task")).toInt(), 6);
    expectSameSchemaAsFresh(*c);
}

TEST_P(Schema, Version2LogsTheMissingVersion3AndGoesOnWithFour)
{
    auto db = newDb();
    BuildVersion0(*db);
    db->exec(QStringLiteral("ALTER TABLE Probe_type ADD Server_type_code smallint DEFAULT 2;"
                            "ALTER TABLE Probe_type ADD Protocol_type_code smallint DEFAULT 1;"
                            "ALTER TABLE Probe ADD Sensor_type_code smallint DEFAULT 4;"
                            "INSERT INTO Global_settings (Cfg_key, cfg_value) VALUES ('DB_Version', '2')"));
    auto c = db->open();
    EXPECT_EQ(StoredDbVersion(*c), 2);
    EXPECT_EQ(UpgradeDatabase(*c, 2), 27);
    const QStringList steps = upgradeSteps(log);
    ASSERT_GE(steps.size(), 2);
    EXPECT_EQ(steps[0], QStringLiteral("2>3"));
    EXPECT_EQ(steps[1], QStringLiteral("4>5"));
    EXPECT_FALSE(steps.contains(QStringLiteral("1>2")));
    EXPECT_FALSE(steps.contains(QStringLiteral("3>4")));
    EXPECT_TRUE(upgradeErrors(log).isEmpty()) << upgradeErrors(log).join('\n').toStdString();
    EXPECT_EQ(StoredDbVersion(*c), 27);
    expectSameSchemaAsFresh(*c);
}

TEST_P(Schema, OnlyTheRegisteredMasterMayUpgradeASharedDatabase)
{
    auto db = newDb();
    BuildVersion12(*db);
    db->exec(QStringLiteral("INSERT INTO Global_settings (Cfg_key, cfg_value) VALUES ('Master_apps_IP', '10.9.9.9')"));
    shellState().ConfiguredHost = QStringLiteral("10.1.1.1");
    dialogs.dialogs().answers = {mrNo};
    EXPECT_FALSE(CheckDatabase(db->connectionString()));
    EXPECT_EQ(shellState().RegisteredMasterHost.trimmed(), QStringLiteral("10.9.9.9"));
    if (engine() == DbEngine::PostgreSql) {
        // A server database: refused without asking.
        EXPECT_TRUE(dialogs.dialogs().askedQuestions.isEmpty());
        EXPECT_EQ(dialogs.dialogs().shownMessages,
                  QStringList{QStringLiteral("Az adatbázis régebbi Corvaluxval készült, ezért frissítésre szorul, a "
                                             "frissítést azonban csak az adatrögzítő Corvalux jogosult elvégezni.")});
    } else {
        // The local file may always be upgraded: the question comes; No refuses.
        EXPECT_EQ(dialogs.dialogs().askedQuestions.size(), 1u);
        EXPECT_EQ(dialogs.dialogs().shownMessages,
                  QStringList{QStringLiteral("A választott adatbázis nem tartalmaz minden szükséges táblát.")});
    }
    auto c = db->open();
    EXPECT_EQ(StoredDbVersion(*c), 12);

    // The registered master itself is offered the upgrade.
    shellState().ConfiguredHost = QStringLiteral("10.9.9.9");
    dialogs.dialogs().answers = {mrYes};
    EXPECT_TRUE(CheckDatabase(db->connectionString()));
    EXPECT_EQ(StoredDbVersion(*c), 27);
}

CVX_BOTH_ENGINES(Schema);

struct FillCase {
    int from;
    int fills;
};

class FillOnce : public StoreTest, public ::testing::WithParamInterface<FillCase> {};

TEST_P(FillOnce, CodeTablesAreFilledOnceUpToStep20AndInEveryLaterStep)
{
    TestDatabase db(DbEngine::LocalFile);
    BuildFresh(db);
    auto c = db.open();
    shellState().LOG_SQL = true;
    ASSERT_EQ(fillCount(log), 0);
    EXPECT_EQ(UpgradeDatabase(*c, GetParam().from), 27);
    EXPECT_EQ(fillCount(log), GetParam().fills);
    EXPECT_EQ(StoredDbVersion(*c), 27);
}

INSTANTIATE_TEST_SUITE_P(FromVersions, FillOnce,
                         ::testing::Values(FillCase{0, 8}, FillCase{4, 8}, FillCase{6, 8}, FillCase{19, 8},
                                           FillCase{20, 7}, FillCase{26, 1},
                                           // no step starts at 3: the tables are filled at the end
                                           FillCase{3, 1}),
                         [](const auto& info) { return "From" + std::to_string(info.param.from); });

class CodeTables : public EngineTest {
protected:
    void SetUp() override
    {
        EngineTest::SetUp();
        CVX_REQUIRE_ENGINE(engine());
        langDir = std::make_unique<QTemporaryDir>();
        const QString path = langDir->filePath(QStringLiteral("xx.lng"));
        writeFile(path, QStringLiteral("[Language]\nId=4242\nName=Teszt\n[Messages]\n"
                                       "labMeasureTypeCode3=l\u00e9gnyom\u00e1s 'kPa'\n"
                                       "labSensorTypeCode2=Test's sensor\n")
                            .toUtf8());
        ASSERT_TRUE(Catalogue::instance().registerLanguageFile(path));
    }
    void TearDown() override
    {
        Catalogue::instance().select(Catalogue::Hungarian);
        Catalogue::instance().clearRegistered();
        EngineTest::TearDown();
    }
    std::unique_ptr<QTemporaryDir> langDir;
};

TEST_P(CodeTables, TextsWithApostrophesAreStoredExactlyAndNothingIsSkipped)
{
    TestDatabase db(engine());
    BuildFresh(db);
    auto c = db.open();
    newLogLines();
    ASSERT_TRUE(Catalogue::instance().select(4242));
    SetCodeTablesRefilled(false);
    EXPECT_TRUE(FillConvTables(*c));
    EXPECT_TRUE(CodeTablesRefilled());
    EXPECT_EQ(Scalar(*c, QStringLiteral("SELECT Measure_type_code_as_str FROM Measure_type_code_to_string WHERE "
                                        "Measure_type_code_as_int=3")).toString(),
              QStringLiteral("l\u00e9gnyom\u00e1s 'kPa'"));
    EXPECT_EQ(Scalar(*c, QStringLiteral("SELECT Sensor_type_code_as_str FROM Sensor_type_code_to_string WHERE "
                                        "Sensor_type_code_as_int=2")).toString().trimmed(),
              QStringLiteral("Test's sensor"));
    EXPECT_EQ(Scalar(*c, QStringLiteral("SELECT COUNT(*) FROM Measure_type_code_to_string")).toInt(), 20);
    EXPECT_EQ(Scalar(*c, QStringLiteral("SELECT COUNT(*) FROM Sensor_type_code_to_string")).toInt(), 15);
    const QStringList lines = newLogLines();
    EXPECT_TRUE(lines.isEmpty()) << lines.join('\n').toStdString();
}

TEST_P(CodeTables, RelabellingFollowsTheLanguageOnAConnectedMasterOnly)
{
    TestDatabase db(engine());
    BuildFresh(db);
    auto c = db.open();
    ASSERT_TRUE(Catalogue::instance().select(4242));
    RelabelCodeTables(*c);
    const QString sql = QStringLiteral("SELECT Measure_type_code_as_str FROM Measure_type_code_to_string WHERE "
                                       "Measure_type_code_as_int=3");
    EXPECT_EQ(Scalar(*c, sql).toString(), QStringLiteral("légnyomás")) << "not connected as master: unchanged";
    shellState().DbConnected = true;
    shellState().MasterMode = true;
    RelabelCodeTables(*c);
    EXPECT_EQ(Scalar(*c, sql).toString(), QStringLiteral("l\u00e9gnyom\u00e1s 'kPa'"));
}

CVX_BOTH_ENGINES(CodeTables);

TEST_F(StoreTest, CreateDatabaseOnTheServerStoresTheEncipheredPassword)
{
    CVX_REQUIRE_ENGINE(DbEngine::PostgreSql);
    TpSQLConnection server(QStringLiteral("conServer"));
    server.ConnectionString = TestPgServer();
    const QString name = QStringLiteral("Cvx Új \"%1\"").arg(QCoreApplication::applicationPid());
    struct Drop {
        QString name;
        ~Drop()
        {
            TestDatabase::dropServerDatabase(name);
        }
    } drop{name};
    ASSERT_TRUE(CreateDatabase(server, name, QStringLiteral("titok jelszó"), true)) << log.lines().join('\n').toStdString();
    EXPECT_TRUE(log.contains(QStringLiteral("A táblák létrehozva.")));
    EXPECT_EQ(server.DefaultDatabase(), name);
    EXPECT_EQ(StoredDbVersion(server), 27);
    const QString stored = ReadGlobalSetting(server, QStringLiteral("DBPasswd"));
    EXPECT_NE(stored, QString());
    EXPECT_EQ(TDESCipher(BuiltInPassPhrase()).Decipher(stored), QStringLiteral("titok jelszó"));
    server.Close();

    // The same name again: refused, logged.
    TpSQLConnection again(QStringLiteral("conServer"));
    again.ConnectionString = TestPgServer();
    EXPECT_FALSE(CreateDatabase(again, name, QString(), true));
    EXPECT_TRUE(log.contains(QStringLiteral("Az adatbázis létrehozása nem sikerült, talán mert már létezik.")));
}

} // namespace
} // namespace cvx::test
