// The SQL layer: the SQL log with its filter and timing, parameter and field dumps,
// batches, ExecuteSql's log line, clones and the log's folder.

#include "store/sql_ops.h"
#include "store/sql_private.h"
#include "store/sql_query.h"
#include "store_fixture.h"

#include "platform/manual_time_service.h"
#include "shell/logs.h"

#include <QDir>
#include <QSqlDriver>

#include <sqlite3.h>

namespace cvx::test {
namespace {

QStringList logLines(const QString& text)
{
    QStringList out;
    for (const QString& l : text.split(QStringLiteral("\r\n")))
        if (!l.isEmpty())
            out << l;
    return out;
}

// The text of a log line after its time stamp and thread column.
QString body(const QString& line)
{
    // "yy.MM.dd hh:mm:ss.zzz  " + 8 blanks on the main thread
    return line.mid(23 + 8);
}

class SqlLayer : public EngineTest {
protected:
    void SetUp() override
    {
        EngineTest::SetUp();
        CVX_REQUIRE_ENGINE(engine());
        db = std::make_unique<TestDatabase>(engine());
        ASSERT_TRUE(db->ok()) << db->error().toStdString();
        db->exec(QStringLiteral("CREATE TABLE Measure (Measure_id integer, Measure_value varchar(255));"
                                "CREATE TABLE Probe (Probe_id integer, Probe_name varchar(50));"
                                "INSERT INTO Measure VALUES (1, '2245');"
                                "INSERT INTO Probe VALUES (7, 'Szerverszoba');"
                                "INSERT INTO Probe VALUES (8, 'Raktár')"));
    }
    std::unique_ptr<TestDatabase> db;
};

TEST_P(SqlLayer, FilterLineKeepsEveryStatementMentioningItOutOfTheLog)
{
    writeFile(home.file(QStringLiteral("SQLLog.filter")), "Measure\r\n\r\n");
    auto c = db->open(QStringLiteral("conMainConnection"));
    EXPECT_EQ(c->FilterLines(), QStringList{QStringLiteral("Measure")});
    TpSQLQuery measure(c.get(), QStringLiteral("SELECT Measure_value FROM Measure WHERE Measure_id=:id"));
    measure.SetParam(QStringLiteral("id"), 1);
    ASSERT_TRUE(measure.Open());
    EXPECT_EQ(measure.Value(0).toString(), QStringLiteral("2245"));
    TpSQLQuery probe(c.get(), QStringLiteral("SELECT Probe_name FROM Probe WHERE Probe_id=:id"));
    probe.SetParam(QStringLiteral("id"), 7);
    ASSERT_TRUE(probe.Open());

    const QString log = sqlLog();
    EXPECT_FALSE(log.contains(QStringLiteral("Measure"))) << log.toStdString();
    EXPECT_FALSE(log.contains(QStringLiteral("2245"))) << "the after-open line of a filtered query is filtered too";
    EXPECT_TRUE(log.contains(QStringLiteral("SELECT Probe_name FROM Probe WHERE Probe_id=:id [id=\"7\"]")));
    EXPECT_TRUE(log.contains(QStringLiteral("[Probe_name=\"Szerverszoba\"]")) || log.contains(QStringLiteral("[probe_name=\"Szerverszoba\"]")));
}

TEST_P(SqlLayer, QueryWithoutParametersLogsItsTextAloneAndCommandsLogTheirParameters)
{
    auto c = db->open(QStringLiteral("conMainConnection"));
    TpSQLQuery q(c.get(), QStringLiteral("SELECT Probe_id FROM Probe ORDER BY Probe_id"));
    ASSERT_TRUE(q.Open());
    TpSQLCommand cmd(c.get(), QStringLiteral("UPDATE Probe SET Probe_name=:name WHERE Probe_id=:id"));
    cmd.SetParam(QStringLiteral("name"), QStringLiteral("Labor"));
    cmd.SetParam(QStringLiteral("id"), 8);
    ASSERT_TRUE(cmd.Execute());
    TpSQLQuery dated(c.get(), QStringLiteral("SELECT Probe_id FROM Probe WHERE Probe_id > :n AND Probe_name = :dt"));
    dated.SetParam(QStringLiteral("n"), 100);
    dated.SetParam(QStringLiteral("dt"), QDateTime(QDate(2024, 5, 21), QTime(9, 29, 7, 450)));
    ASSERT_TRUE(dated.Open());

    const QStringList lines = logLines(sqlLog());
    QStringList bodies;
    for (const QString& l : lines)
        bodies << body(l);
    EXPECT_TRUE(bodies.contains(QStringLiteral("SELECT Probe_id FROM Probe ORDER BY Probe_id"))) << bodies.join('\n').toStdString();
    EXPECT_TRUE(bodies.contains(QStringLiteral("UPDATE Probe SET Probe_name=:name WHERE Probe_id=:id [name=\"Labor\", id=\"8\"]")));
    EXPECT_TRUE(bodies.contains(
        QStringLiteral("SELECT Probe_id FROM Probe WHERE Probe_id > :n AND Probe_name = :dt [n=\"100\", dt=\"2024-05-21 09:29:07\"]")));
    // A query with no rows dumps its fields with empty values.
    bool emptyRow = false;
    for (const QString& b : bodies)
        emptyRow = emptyRow || (b.startsWith(QStringLiteral("  T=")) && b.endsWith(QStringLiteral("[probe_id=\"\"]"), Qt::CaseInsensitive));
    EXPECT_TRUE(emptyRow) << bodies.join('\n').toStdString();
}

TEST_P(SqlLayer, ConnectLineNamesTheComponentAndMasksThePassword)
{
    auto c = std::make_unique<TpSQLConnection>(QStringLiteral("conMainConnection"));
    c->ConnectionString = AppendConnectionValue(db->connectionString(), QStringLiteral("Password"), QStringLiteral("\"titok\""));
    if (engine() == DbEngine::PostgreSql)
        c->ConnectionString = db->connectionString(); // the test server has no password
    ASSERT_TRUE(c->Open());
    c.reset();
    const QStringList lines = logLines(sqlLog());
    ASSERT_GE(lines.size(), 2);
    EXPECT_TRUE(body(lines.first()).startsWith(QStringLiteral("conMainConnection Connected. ConnectionString=\"")));
    EXPECT_FALSE(sqlLog().contains(QStringLiteral("titok")));
    EXPECT_EQ(body(lines.last()), QStringLiteral("TpSQLConnection.Destroy"));
}

TEST_P(SqlLayer, BatchStopsAtAnEmptyStatementAndRunsPastAFailingOne)
{
    auto c = db->open();
    TBatchedADOQuery batch(c.get());
    batch.SQL = QStringLiteral("INSERT INTO Probe VALUES (10, 'A');;INSERT INTO Probe VALUES (11, 'B')");
    qint64 rows = -1;
    QString errors;
    EXPECT_TRUE(batch.ExecuteBatch(&rows, &errors)) << errors.toStdString();
    EXPECT_EQ(rows, 1);
    EXPECT_EQ(Scalar(*c, QStringLiteral("SELECT COUNT(*) FROM Probe WHERE Probe_id IN (10, 11)")).toInt(), 1);
    EXPECT_EQ(batch.SQL, QStringLiteral("INSERT INTO Probe VALUES (10, 'A');;INSERT INTO Probe VALUES (11, 'B')"));

    batch.SQL = QStringLiteral("INSERT INTO Probe VALUES (12, 'C');\r\nINSERT INTO Nowhere VALUES (1);\r\n"
                               "INSERT INTO Probe\r\nVALUES (13, 'D')");
    EXPECT_FALSE(batch.ExecuteBatch(&rows, &errors));
    EXPECT_EQ(rows, 2);
    EXPECT_TRUE(errors.contains(QStringLiteral("nowhere"), Qt::CaseInsensitive)) << errors.toStdString();
    EXPECT_EQ(Scalar(*c, QStringLiteral("SELECT COUNT(*) FROM Probe WHERE Probe_id IN (12, 13)")).toInt(), 2);
}

TEST(BatchSplit, PiecesAreTrimmedAndCrLfBecomesABlank)
{
    EXPECT_EQ(TBatchedADOQuery::SplitStatements(QStringLiteral(" A\r\nB ;C;;D")),
              (QStringList{QStringLiteral("A B"), QStringLiteral("C")}));
    // A ";" inside a literal splits like any other.
    EXPECT_EQ(TBatchedADOQuery::SplitStatements(QStringLiteral("X 'a;b'")),
              (QStringList{QStringLiteral("X 'a"), QStringLiteral("b'")}));
    EXPECT_TRUE(TBatchedADOQuery::SplitStatements(QStringLiteral("  ;A")).isEmpty());
}

TEST_P(SqlLayer, ExecuteSqlWritesErrorTextLibraryMessageAndSqlInThatOrder)
{
    auto c = db->open();
    const QString sql = QStringLiteral("UPDATE Nowhere SET x=1");
    EXPECT_EQ(ExecuteSql(*c, sql, QStringLiteral("errText")), -1);
    ASSERT_EQ(log.lines().size(), 1);
    const QString line = log.lines().first();
    EXPECT_TRUE(line.startsWith(QStringLiteral("errText "))) << line.toStdString();
    EXPECT_TRUE(line.endsWith(QStringLiteral(" (UPDATE Nowhere SET x=1)"))) << line.toStdString();
    EXPECT_TRUE(line.contains(QStringLiteral("nowhere"), Qt::CaseInsensitive));
    // Without an error text the catalogue's message carries the library's text.
    EXPECT_EQ(ExecuteSql(*c, sql, QString()), -1);
    EXPECT_TRUE(log.lines().last().startsWith(QStringLiteral("Hiba történt egy SQL-művelet végrehajtása közben: ")));
    EXPECT_EQ(ExecuteSql(*c, QStringLiteral("UPDATE Probe SET Probe_name='x' WHERE Probe_id=0"), QString()), 0);
    EXPECT_EQ(log.lines().size(), 2) << "success writes nothing while LOG_SQL is off";
}

TEST_P(SqlLayer, ExecuteSqlWithLogSqlWritesTheCommandLogAndTheMainLog)
{
    QDir(home.path()).mkdir(QStringLiteral("Log"));
    shellState().LOG_SQL = true;
    auto c = db->open();
    EXPECT_EQ(ExecuteSql(*c, QStringLiteral("UPDATE Probe SET Probe_name=:n WHERE Probe_id=7"), QString(),
                         {{QStringLiteral("n"), QStringLiteral("Új")}}),
              0);
    const QString expected = QStringLiteral("UPDATE Probe SET Probe_name=:n WHERE Probe_id=7 [n=\"Új\"]");
    EXPECT_TRUE(log.contains(expected));
    EXPECT_TRUE(readFile(home.file(QStringLiteral("Log/SQLLog.sqllog"))).contains(expected));
}

TEST_P(SqlLayer, ValuesAreBoundExactlyWhateverQuotesAndBackslashesTheyHold)
{
    auto c = db->open();
    const QString tricky = QStringLiteral("O'Brien\\n'); DROP TABLE Probe; --");
    TpSQLCommand cmd(c.get(), QStringLiteral("INSERT INTO Probe VALUES (:id, :name)"));
    cmd.SetParam(QStringLiteral("id"), 20);
    cmd.SetParam(QStringLiteral("name"), tricky);
    ASSERT_TRUE(cmd.Execute());
    TpSQLQuery q(c.get(), QStringLiteral("SELECT Probe_name FROM Probe WHERE Probe_id=20"));
    ASSERT_TRUE(q.Open());
    EXPECT_EQ(q.Value(0).toString(), tricky);
    EXPECT_EQ(Scalar(*c, QStringLiteral("SELECT COUNT(*) FROM Probe")).toInt(), 3);
}

TEST_P(SqlLayer, QueryIgnoresAnUnknownParameterWhileACommandRefusesIt)
{
    auto c = db->open();
    TpSQLQuery q(c.get(), QStringLiteral("SELECT * FROM Probe WHERE Probe_id=:id"));
    q.SetParam(QStringLiteral("nosuch"), 1);
    EXPECT_EQ(q.ParamNames(), QStringList{QStringLiteral("id")});
    TpSQLCommand cmd(c.get(), QStringLiteral("DELETE FROM Probe WHERE Probe_id=:id"));
    EXPECT_THROW(cmd.SetParam(QStringLiteral("nosuch"), 1), SqlMisuse);
    EXPECT_NO_THROW(cmd.SetParam(QStringLiteral("ID"), 1));
}

TEST_P(SqlLayer, RequeryKeepsTheRowByKeyAndReopenReportsErrors)
{
    auto c = db->open();
    TpSQLQuery q(c.get(), QStringLiteral("SELECT Probe_id, Probe_name FROM Probe ORDER BY Probe_id"));
    ASSERT_TRUE(q.Open());
    ASSERT_TRUE(q.Next());
    EXPECT_EQ(q.Value(0).toInt(), 8);
    int notices = 0;
    q.AddChangeObserver([&](bool) { ++notices; });
    db->exec(QStringLiteral("INSERT INTO Probe VALUES (1, 'Első')"));
    RequeryKeepingPosition(q, QStringLiteral("Probe_id"));
    EXPECT_EQ(q.Value(0).toInt(), 8);
    EXPECT_EQ(q.RecNo(), 2);
    EXPECT_EQ(notices, 2);

    TpSQLQuery broken(c.get(), QStringLiteral("SELECT * FROM Nowhere"));
    Reopen(broken);
    EXPECT_TRUE(log.contains(QStringLiteral("Hiba történt a DataSet újranyitásakor: ")));
}

TEST_P(SqlLayer, ClonesShareTheLogWriterAndTheirAttributes)
{
    auto c = db->open(QStringLiteral("conMainConnection"));
    c->CommandTimeout = 77;
    auto clone = c->Clone();
    EXPECT_EQ(clone->LogWriter(), c->LogWriter());
    EXPECT_EQ(clone->ConnectionString, c->ConnectionString);
    EXPECT_EQ(clone->CommandTimeout, 77);
    EXPECT_FALSE(clone->Connected());
    ASSERT_TRUE(clone->Open());
    TpSQLQuery q(clone.get(), QStringLiteral("SELECT 'from the clone' AS x"));
    ASSERT_TRUE(q.Open());
    EXPECT_TRUE(sqlLog().contains(QStringLiteral("SELECT 'from the clone' AS x")));
}

CVX_BOTH_ENGINES(SqlLayer);

TEST_F(StoreTest, SqlLogGoesIntoTheLogFolderOnlyWhenItExists)
{
    TestDatabase db(DbEngine::LocalFile);
    {
        TpSQLConnection c;
        c.ConnectionString = db.connectionString();
        ASSERT_TRUE(c.Open());
    }
    EXPECT_TRUE(QFile::exists(home.file(QStringLiteral("SQLLog.log"))));
    QFile::remove(home.file(QStringLiteral("SQLLog.log")));
    QDir(home.path()).mkdir(QStringLiteral("Log"));
    {
        TpSQLConnection c;
        c.ConnectionString = db.connectionString();
        ASSERT_TRUE(c.Open());
    }
    EXPECT_FALSE(QFile::exists(home.file(QStringLiteral("SQLLog.log"))));
    EXPECT_TRUE(readFile(home.file(QStringLiteral("Log/SQLLog.log"))).contains(QStringLiteral("Connected.")));
}

TEST_F(StoreTest, LoggingDisabledWritesNothing)
{
    TestDatabase db(DbEngine::LocalFile);
    TpSQLConnection c;
    c.SQLLoggingDisabled = true;
    c.ConnectionString = db.connectionString();
    ASSERT_TRUE(c.Open());
    EXPECT_FALSE(c.WriteLogLine(QStringLiteral("x")));
    EXPECT_FALSE(QFile::exists(home.file(QStringLiteral("SQLLog.log"))));
}

// A statement that takes as long as it is told, in virtual time.
void waitFunction(sqlite3_context* ctx, int, sqlite3_value** argv)
{
    auto* time = static_cast<ManualTimeService*>(sqlite3_user_data(ctx));
    const int ms = sqlite3_value_int(argv[0]);
    time->advance(ms);
    sqlite3_result_int(ctx, ms);
}

TEST_F(StoreTest, QueriesOfAThousandMillisecondsOrMoreAreMarkedSlow)
{
    TestDatabase db(DbEngine::LocalFile);
    ManualTimeService time;
    TpSQLConnection c(QStringLiteral("conMainConnection"), &time);
    c.ConnectionString = db.connectionString();
    ASSERT_TRUE(c.Open());
    const QVariant handle = c.d()->db.driver()->handle();
    ASSERT_STREQ(handle.typeName(), "sqlite3*");
    sqlite3* h = *static_cast<sqlite3* const*>(handle.data());
    ASSERT_EQ(sqlite3_create_function_v2(h, "cvx_wait", 1, SQLITE_UTF8, &time, waitFunction, nullptr, nullptr, nullptr),
              SQLITE_OK);

    for (int ms : {999, 1000, 12}) {
        TpSQLQuery q(&c, QStringLiteral("SELECT cvx_wait(%1) AS w").arg(ms));
        ASSERT_TRUE(q.Open());
        EXPECT_EQ(time.tickMs() - q.OpenStartTick(), ms);
    }
    QStringList bodies;
    for (const QString& l : logLines(sqlLog()))
        bodies << body(l);
    EXPECT_TRUE(bodies.contains(QStringLiteral("  T=999   [w=\"999\"]"))) << bodies.join('\n').toStdString();
    EXPECT_TRUE(bodies.contains(QStringLiteral(" !T=1000  [w=\"1000\"]")));
    EXPECT_TRUE(bodies.contains(QStringLiteral("  T=12    [w=\"12\"]")));
}

TEST(NamedParameters, LiteralsCommentsAndCastsAreNotParameters)
{
    const ParsedSql p = ParseNamedParameters(
        QStringLiteral("SELECT ':no', \"a:b\", x::text -- :no\n FROM t /* :no */ WHERE a=:one AND b=:Two OR c=:ONE"));
    EXPECT_EQ(p.occurrences, (QStringList{QStringLiteral("one"), QStringLiteral("Two"), QStringLiteral("ONE")}));
    EXPECT_EQ(p.names, (QStringList{QStringLiteral("one"), QStringLiteral("Two")}));
    EXPECT_EQ(p.positional,
              QStringLiteral("SELECT ':no', \"a:b\", x::text -- :no\n FROM t /* :no */ WHERE a=? AND b=? OR c=?"));
}

TEST(BindableValue, DateTimesBecomeOneTextFormAndBooleansNumbers)
{
    EXPECT_EQ(BindableValue(QDateTime(QDate(2024, 1, 2), QTime(3, 4, 5, 6))).toString(),
              QStringLiteral("2024-01-02 03:04:05.006"));
    EXPECT_EQ(BindableValue(true).toInt(), 1);
    EXPECT_EQ(BindableValue(QVariant(QString())).toString(), QStringLiteral(""));
    EXPECT_FALSE(BindableValue(QVariant(QString())).toString().isNull());
    EXPECT_TRUE(BindableValue(QDateTime()).isNull());
}

} // namespace
} // namespace cvx::test
