// Measurement rows through the data module: grouped commits, encryption, the journal
// that keeps writes across a lost connection, and range reads through the index.

#include "platform/manual_time_service.h"
#include "store/data_module.h"
#include "store/measure_cipher.h"
#include "store/measure_reader.h"
#include "store/settings.h"
#include "store/wal_checkpointer.h"
#include "store/sql_private.h"
#include "store_fixture.h"

namespace cvx::test {
namespace {

const QDateTime T0(QDate(2024, 3, 1), QTime(10, 0, 0));

class MeasureRows : public EngineTest {
protected:
    void SetUp() override
    {
        EngineTest::SetUp();
        CVX_REQUIRE_ENGINE(engine());
        db = std::make_unique<TestDatabase>(engine());
        ASSERT_TRUE(db->ok()) << db->error().toStdString();
        BuildFresh(*db);
    }
    void openModule()
    {
        dm = std::make_unique<TfDM>(time);
        QString error;
        ASSERT_TRUE(dm->OpenMainConnection(db->connectionString(), &error)) << error.toStdString();
        shellState().DbConnected = true;
        reader = db->open(QStringLiteral("conReader"));
        dm->Writer().AddCommitObserver([this](const QList<CommittedWrite>& w) { committed += w; });
        newLogLines();
    }
    int visibleRows() { return Scalar(*reader, QStringLiteral("SELECT COUNT(*) FROM Measure")).toInt(); }
    QString storedValue(qint64 id)
    {
        return Scalar(*reader, QStringLiteral("SELECT Measure_value FROM Measure WHERE Measure_id=%1").arg(id)).toString();
    }

    ManualTimeService time;
    std::unique_ptr<TestDatabase> db;
    std::unique_ptr<TfDM> dm;
    std::unique_ptr<TpSQLConnection> reader;
    QList<CommittedWrite> committed;
};

TEST_P(MeasureRows, WritesCountAsStoredOnlyWhenTheirBatchCommits)
{
    openModule();
    EXPECT_TRUE(shellState().UsingJet == (engine() == DbEngine::LocalFile));
    const qint64 t = dm->StoreMeasure(QStringLiteral("2245"), 7, 1, T0);
    const qint64 h = dm->StoreMeasure(QStringLiteral("415"), 7, 2, T0);
    ASSERT_GT(t, 0);
    EXPECT_EQ(h, t + 1);
    dm->UpdateMeasureRow(t, QStringLiteral("2250"), 1, 7);
    dm->UpdateMeasureRow(h, QStringLiteral("420"), 2, 7, T0.addSecs(2));
    EXPECT_EQ(visibleRows(), 0) << "nothing is visible before the commit";
    EXPECT_TRUE(committed.isEmpty());
    EXPECT_EQ(dm->Writer().UncommittedWrites(), 2) << "updates of pending rows merge into them";

    time.advance(dm->Writer().CommitDelayMs());
    EXPECT_EQ(visibleRows(), 2);
    ASSERT_EQ(committed.size(), 2);
    EXPECT_EQ(committed[0].id, t);
    EXPECT_EQ(committed[0].storedValue, QStringLiteral("2250"));
    EXPECT_TRUE(committed[0].insert);
    EXPECT_EQ(storedValue(h), QStringLiteral("420"));
    TpSQLQuery q(reader.get(), QStringLiteral("SELECT Measure_datetime, Probe_id, Measure_type_code FROM Measure WHERE "
                                              "Measure_id=:id"));
    q.SetParam(QStringLiteral("id"), h);
    ASSERT_TRUE(q.Open());
    EXPECT_EQ(q.AsDateTime(QStringLiteral("Measure_datetime")), T0.addSecs(2));
    EXPECT_EQ(q.AsInteger(QStringLiteral("Probe_id")), 7);
    EXPECT_EQ(q.AsInteger(QStringLiteral("Measure_type_code")), 2);

    // An update of a committed row is a write of the next batch.
    dm->UpdateMeasureRow(t, QStringLiteral("2260"), 1, 7);
    EXPECT_EQ(storedValue(t), QStringLiteral("2250"));
    time.advance(dm->Writer().CommitDelayMs());
    EXPECT_EQ(storedValue(t), QStringLiteral("2260"));
    EXPECT_EQ(committed.size(), 3);
    EXPECT_TRUE(newLogLines().isEmpty());
}

TEST_P(MeasureRows, AnyOtherStatementOnTheConnectionCommitsTheBatchFirst)
{
    openModule();
    dm->StoreMeasure(QStringLiteral("1"), 1, 1, T0);
    dm->WriteGlobalSetting(QStringLiteral("Min_poll_time"), QStringLiteral("6000"));
    EXPECT_EQ(visibleRows(), 1);
    EXPECT_EQ(committed.size(), 1);
    EXPECT_EQ(ReadGlobalSetting(*reader, QStringLiteral("Min_poll_time")), QStringLiteral("6000"));
    // A full batch commits at once.
    dm->Writer().SetMaxBatchWrites(3);
    for (int i = 0; i < 3; ++i)
        dm->StoreMeasure(QString::number(i), 1, 1, T0.addSecs(i));
    EXPECT_EQ(visibleRows(), 4);
}

TEST_P(MeasureRows, NothingIsWrittenWhileRecordingIsSuspended)
{
    openModule();
    shellState().RecordingSuspended = true;
    EXPECT_EQ(dm->StoreMeasure(QStringLiteral("1"), 1, 1, T0), 0);
    EXPECT_EQ(dm->AddMeasureRow(QStringLiteral("1"), 1, 1, T0), 0);
    dm->UpdateMeasureRow(1, QStringLiteral("1"), 1, 1);
    EXPECT_EQ(dm->Writer().UncommittedWrites(), 0);
    time.advance(1000);
    EXPECT_EQ(visibleRows(), 0);
}

TEST_P(MeasureRows, EncryptedStoreReturnsZeroAndTheRowHoldsOnlyCipherText)
{
    WriteGlobalSetting(*db->open(), QStringLiteral("DBPasswd"),
                       TDESCipher(BuiltInPassPhrase()).Encipher(QStringLiteral("titok")));
    openModule();
    ASSERT_TRUE(dm->EncryptionInUse());
    EXPECT_EQ(dm->DbPassword(), QStringLiteral("titok"));
    EXPECT_EQ(dm->StoreMeasure(QStringLiteral("2245"), 7, 1, T0), 0);
    EXPECT_EQ(dm->StoreMeasure(QStringLiteral("2245"), 7, 1, T0.addSecs(60)), 0);
    ASSERT_TRUE(dm->FlushMeasurements());
    ASSERT_EQ(committed.size(), 2);

    TpSQLQuery q(reader.get(), QStringLiteral("SELECT Measure_id, Measure_value FROM Measure ORDER BY Measure_id"));
    ASSERT_TRUE(q.Open());
    QStringList stored;
    for (; !q.Eof(); q.Next()) {
        const qint64 id = q.Value(0).toLongLong();
        const QString value = q.Value(1).toString();
        EXPECT_NE(value, QStringLiteral("2245"));
        EXPECT_FALSE(value.isEmpty());
        bool ok = false;
        EXPECT_EQ(DecipherMeasureValue(QStringLiteral("titok"), id, value, &ok), QStringLiteral("2245"));
        EXPECT_TRUE(ok);
        EXPECT_EQ(dm->PlainMeasureValue(id, value, &ok), QStringLiteral("2245"));
        stored << value;
    }
    ASSERT_EQ(stored.size(), 2);
    EXPECT_NE(stored[0], stored[1]);
    EXPECT_TRUE(dm->Writer().LongestWriteMs() >= 0);

    // The range reader deciphers with the password.
    QList<MeasurePoint> points;
    ASSERT_TRUE(ReadMeasureRange(*reader, 7, 1, T0, T0.addSecs(3600), dm->DbPassword(), [&](const MeasurePoint& p) {
        points << p;
        return true;
    }));
    ASSERT_EQ(points.size(), 2);
    EXPECT_EQ(points[1].raw, 2245);
    EXPECT_EQ(points[1].time, T0.addSecs(60));
}

TEST_P(MeasureRows, WithoutAPasswordValuesArePlain)
{
    openModule();
    EXPECT_FALSE(dm->EncryptionInUse());
    const qint64 id = dm->StoreMeasure(QStringLiteral("-150"), 3, 8, T0);
    dm->FlushMeasurements();
    EXPECT_EQ(storedValue(id), QStringLiteral("-150"));
}

TEST_P(MeasureRows, RangeReadsAreInTimeOrderAndSkipValuesThatAreNotNumbers)
{
    openModule();
    for (int m = 0; m < 30; ++m)
        for (int probe = 1; probe <= 3; ++probe)
            dm->StoreMeasure(QString::number(1000 + m), probe, 1, T0.addSecs(60 * (29 - m)));
    dm->StoreMeasure(QStringLiteral("n/a"), 2, 1, T0.addSecs(5));
    dm->FlushMeasurements();
    QList<MeasurePoint> points;
    qint64 skipped = 0;
    ASSERT_TRUE(ReadMeasureRange(
        *reader, 2, 1, T0.addSecs(60), T0.addSecs(600), QString(),
        [&](const MeasurePoint& p) {
            points << p;
            return true;
        },
        nullptr, &skipped));
    ASSERT_EQ(points.size(), 10);
    for (int i = 1; i < points.size(); ++i)
        EXPECT_LT(points[i - 1].time, points[i].time);
    EXPECT_EQ(points.first().time, T0.addSecs(60));
    EXPECT_EQ(points.first().raw, 1028);
    ASSERT_TRUE(ReadMeasureRange(*reader, 2, 1, T0, T0.addSecs(10), QString(), [&](const MeasurePoint&) { return true; },
                                 nullptr, &skipped));
    EXPECT_EQ(skipped, 1);
}

TEST_P(MeasureRows, CodeTablesAndNamesAreReadyAfterOpening)
{
    openModule();
    EXPECT_EQ(TfDM::CodeText(dm->tabMtc_to_Str, 3), QStringLiteral("légnyomás"));
    EXPECT_EQ(TfDM::CodeText(dm->tabProTc_to_Str, 4), QStringLiteral("VBTW protokoll"));
    EXPECT_EQ(TfDM::CodeText(dm->tabTtc_to_Str, 1), QStringLiteral("felső határérték"));
    EXPECT_EQ(TfDM::CodeText(dm->tabTatc_to_Str, 99), QString());
    dm->SetUpNameStrs();
    if (engine() == DbEngine::LocalFile) {
        EXPECT_EQ(shellState().DatabaseName, QStringLiteral("test.db"));
    } else {
        EXPECT_TRUE(shellState().DatabaseName.startsWith(QStringLiteral("cvx_test_")));
        EXPECT_EQ(shellState().DataSourceName, QString());
    }
    EXPECT_EQ(dm->QueryValue(QStringLiteral("SELECT cfg_value FROM Global_settings WHERE Cfg_key=:k"),
                             QStringLiteral("DB_Version"), QStringLiteral("?")).toString(),
              QStringLiteral("27"));
    EXPECT_EQ(dm->QueryValue(QStringLiteral("SELECT cfg_value FROM Global_settings WHERE Cfg_key=:k"),
                             QStringLiteral("none"), QStringLiteral("?")).toString(),
              QStringLiteral("?"));
    EXPECT_EQ(dm->QueryValue(QStringLiteral("SELECT x FROM Nowhere WHERE y=:k"), 1, 5).toInt(), 5);
    EXPECT_TRUE(log.contains(QStringLiteral("Hiba történt egy SQL-művelet végrehajtása közben: ")));
}

TEST_P(MeasureRows, EveryFixedDataSetOpens)
{
    openModule();
    db->exec(QStringLiteral("INSERT INTO Threshold (Measure_type_code, Threshold_value, Threshold_type_code) VALUES (1, 30, 1);"
                            "INSERT INTO Event (Event_name, Threshold_id) VALUES ('Meleg', 1);"
                            "INSERT INTO Probe_type (Probe_type_name) VALUES ('Híd');"
                            "INSERT INTO Probe (Probe_name, Probe_type_id) VALUES ('Szenzor', 1)"));
    dm->qProbe_detail.SetParam(QStringLiteral("Probe_type_id"), 1);
    for (TpSQLQuery* q : {&dm->qProbe_type, &dm->qProbe, &dm->qProbe_detail, &dm->qTask, &dm->qEvent, &dm->qThreshold,
                          &dm->qThreshold_list}) {
        QString error;
        EXPECT_TRUE(q->Open(&error)) << q->SQL().toStdString() << ": " << error.toStdString();
    }
    EXPECT_EQ(dm->qEvent.AsFloat(QStringLiteral("Threshold_value1")), 30.0);
    EXPECT_EQ(dm->qEvent.AsString(QStringLiteral("Threshold_type_str1")).trimmed(), QStringLiteral("felső határérték"));
    EXPECT_EQ(dm->qProbe_detail.AsString(QStringLiteral("Probe_name")), QStringLiteral("Szenzor"));
    EXPECT_EQ(dm->qThreshold_list.AsString(QStringLiteral("MTC")), QStringLiteral("hőmérséklet"));
}

TEST_P(MeasureRows, LoggerStagingRowsAndRecordPointer)
{
    openModule();
    EXPECT_TRUE(dm->AddTmpMeasure(1, QStringLiteral("2245"), 7, 1, T0));
    db->exec(QStringLiteral("INSERT INTO Probe_type (Probe_type_name) VALUES ('Logger')"));
    EXPECT_TRUE(dm->UpdateFlashLast(1, 4711, QStringLiteral("rec")));
    EXPECT_EQ(Scalar(*reader, QStringLiteral("SELECT Probe_type_id FROM Tmp_measure")).toInt(), 1);
    EXPECT_EQ(Scalar(*reader, QStringLiteral("SELECT Last_RecID FROM Probe_type")).toInt(), 4711);
}

TEST_P(MeasureRows, ClosingCommitsWhatIsPending)
{
    openModule();
    dm->StoreMeasure(QStringLiteral("1"), 1, 1, T0);
    dm->CloseMainConnection();
    EXPECT_EQ(visibleRows(), 1);
    EXPECT_EQ(committed.size(), 1);
}

CVX_BOTH_ENGINES(MeasureRows);

// --- writes across failures

TEST_F(StoreTest, ALostServerConnectionLosesNoWriteAndKeepsTheIds)
{
    CVX_REQUIRE_ENGINE(DbEngine::PostgreSql);
    TestDatabase db(DbEngine::PostgreSql);
    ASSERT_TRUE(db.ok());
    BuildFresh(db);
    ManualTimeService time;
    TfDM dm(time);
    ASSERT_TRUE(dm.OpenMainConnection(db.connectionString()));
    QList<CommittedWrite> committed;
    dm.Writer().AddCommitObserver([&](const QList<CommittedWrite>& w) { committed += w; });
    auto admin = db.open(QStringLiteral("conAdmin"));

    const qint64 a = dm.StoreMeasure(QStringLiteral("100"), 1, 1, T0);
    const qint64 b = dm.StoreMeasure(QStringLiteral("200"), 2, 1, T0);
    dm.UpdateMeasureRow(a, QStringLiteral("101"), 1, 1);
    ASSERT_GT(b, a);
    // The server drops the main connection in the middle of the batch.
    EXPECT_TRUE(Scalar(*admin, QStringLiteral("SELECT COUNT(pg_terminate_backend(pid)) FROM pg_stat_activity WHERE "
                                              "datname = current_database() AND pid <> pg_backend_pid()"))
                    .toInt()
                >= 1);
    const qint64 c = dm.StoreMeasure(QStringLiteral("300"), 3, 1, T0);
    ASSERT_GT(c, b);
    EXPECT_TRUE(committed.isEmpty());
    // The commit finds the connection gone; the reset writes everything again at once,
    // with the ids the callers were given.
    EXPECT_TRUE(dm.FlushMeasurements());
    EXPECT_TRUE(log.contains(QStringLiteral("Hiba történt az új mérési rekord hozzáadásakor: ")));
    EXPECT_TRUE(log.contains(QStringLiteral("ResetConnection: ")));
    EXPECT_FALSE(dm.Writer().Broken());
    EXPECT_EQ(dm.Writer().UncommittedWrites(), 0);
    for (const auto& [id, value] : {std::pair{a, "101"}, std::pair{b, "200"}, std::pair{c, "300"}})
        EXPECT_EQ(Scalar(*admin, QStringLiteral("SELECT Measure_value FROM Measure WHERE Measure_id=%1").arg(id)).toString(),
                  QString::fromLatin1(value));
    EXPECT_EQ(Scalar(*admin, QStringLiteral("SELECT COUNT(*) FROM Measure")).toInt(), 3);
    EXPECT_EQ(committed.size(), 3);
    // New rows go on after the ids already given.
    const qint64 d = dm.StoreMeasure(QStringLiteral("400"), 4, 1, T0);
    EXPECT_GT(d, b);
    EXPECT_TRUE(dm.FlushMeasurements());
}

TEST_F(StoreTest, ABusyLocalFileKeepsTheWritesUntilItIsFreeAgain)
{
    TestDatabase db(DbEngine::LocalFile);
    BuildFresh(db);
    ManualTimeService time;
    TfDM dm(time);
    dm.conMainConnection.BusyTimeoutMs = 50;
    ASSERT_TRUE(dm.OpenMainConnection(db.connectionString()));
    QList<CommittedWrite> committed;
    dm.Writer().AddCommitObserver([&](const QList<CommittedWrite>& w) { committed += w; });

    auto other = db.open(QStringLiteral("conOther"));
    QSqlQuery lock(other->d()->db);
    ASSERT_TRUE(lock.exec(QStringLiteral("BEGIN IMMEDIATE")));
    const qint64 a = dm.StoreMeasure(QStringLiteral("100"), 1, 1, T0);
    EXPECT_EQ(a, 0);
    dm.StoreMeasure(QStringLiteral("200"), 2, 1, T0);
    EXPECT_TRUE(dm.Writer().Broken());
    EXPECT_EQ(dm.Writer().UncommittedWrites(), 2);
    EXPECT_TRUE(log.contains(QStringLiteral("2 mérési adat vár tárolásra")) || log.contains(QStringLiteral("1 mérési adat vár tárolásra")));
    time.advance(TfDM::RetryMs);
    EXPECT_TRUE(dm.Writer().Broken()) << "still locked";
    ASSERT_TRUE(lock.exec(QStringLiteral("ROLLBACK")));
    time.advance(TfDM::RetryMs);
    EXPECT_FALSE(dm.Writer().Broken());
    EXPECT_EQ(Scalar(*other, QStringLiteral("SELECT COUNT(*) FROM Measure")).toInt(), 2);
    EXPECT_EQ(committed.size(), 2);
    EXPECT_EQ(dm.Writer().DroppedWrites(), 0);
}

TEST_P(MeasureRows, AWriteTheDatabaseRefusesForGoodIsDroppedAndTheOthersStored)
{
    if (engine() == DbEngine::LocalFile)
        db->execOne(QStringLiteral("CREATE TRIGGER refuse BEFORE INSERT ON Measure WHEN NEW.Probe_id = 666 BEGIN "
                                "SELECT RAISE(ABORT, 'refused'); END"));
    else
        db->exec(QStringLiteral("ALTER TABLE Measure ADD CONSTRAINT refuse CHECK (Probe_id <> 666)"));
    openModule();
    const qint64 a = dm->StoreMeasure(QStringLiteral("1"), 1, 1, T0);
    dm->StoreMeasure(QStringLiteral("2"), 666, 1, T0);
    const qint64 c = dm->StoreMeasure(QStringLiteral("3"), 3, 1, T0);
    dm->FlushMeasurements();
    EXPECT_FALSE(dm->Writer().Broken());
    EXPECT_EQ(dm->Writer().DroppedWrites(), 1);
    EXPECT_TRUE(log.contains(QStringLiteral("Az adatbázis nem fogadott el egy mérési adatot")));
    EXPECT_EQ(storedValue(a), QStringLiteral("1"));
    EXPECT_EQ(storedValue(c), QStringLiteral("3"));
    EXPECT_EQ(visibleRows(), 2);
}

TEST_F(StoreTest, TheLocalFileIsCheckpointedByItsOwnThread)
{
    TestDatabase db(DbEngine::LocalFile);
    BuildFresh(db);
    ManualTimeService time;
    TfDM dm(time);
    ASSERT_TRUE(dm.OpenMainConnection(db.connectionString()));
    ASSERT_NE(dm.Checkpointer(), nullptr);
    TpSQLQuery autoCheckpoint(&dm.conMainConnection, QStringLiteral("PRAGMA wal_autocheckpoint"));
    ASSERT_TRUE(autoCheckpoint.Open());
    EXPECT_EQ(autoCheckpoint.Value(0).toInt(), 0) << "commits on the event loop never checkpoint";
    autoCheckpoint.Close();
    dm.Writer().SetMaxBatchWrites(100);
    for (int i = 0; i < 3000; ++i)
        dm.StoreMeasure(QString::number(i), 1 + i % 5, 1, T0.addSecs(i));
    ASSERT_TRUE(dm.FlushMeasurements());
    const qint64 before = dm.Checkpointer()->Checkpoints();
    dm.Checkpointer()->CheckpointNow();
    EXPECT_GT(dm.Checkpointer()->Checkpoints(), before);
    // Every frame of the log is in the database file now.
    auto other = db.open(QStringLiteral("conOther"));
    QSqlQuery q(other->d()->db);
    ASSERT_TRUE(q.exec(QStringLiteral("PRAGMA wal_checkpoint(PASSIVE)")) && q.next());
    EXPECT_EQ(q.value(0).toInt(), 0);
    EXPECT_GT(q.value(1).toInt(), 0);
    EXPECT_EQ(q.value(1).toInt(), q.value(2).toInt());
    EXPECT_EQ(Scalar(*other, QStringLiteral("SELECT COUNT(*) FROM Measure")).toInt(), 3000);
}

TEST_F(StoreTest, GraphReadsUseTheMeasureIndex)
{
    TestDatabase db(DbEngine::LocalFile);
    BuildFresh(db);
    auto c = db.open();
    QSqlQuery q(c->d()->db);
    ASSERT_TRUE(q.exec(QStringLiteral("EXPLAIN QUERY PLAN ") + QString(MeasureRangeSql())
                           .replace(QStringLiteral(":mtc"), QStringLiteral("1"))
                           .replace(QStringLiteral(":pid"), QStringLiteral("2"))
                           .replace(QStringLiteral(":dt1"), QStringLiteral("'2024-01-01'"))
                           .replace(QStringLiteral(":dt2"), QStringLiteral("'2025-01-01'"))));
    QString plan;
    while (q.next())
        plan += q.value(3).toString() + u'\n';
    EXPECT_TRUE(plan.contains(QStringLiteral("USING INDEX IDX_Measure_MTC_PrID_MDT (Measure_type_code=? AND "
                                             "Probe_id=? AND Measure_datetime>? AND Measure_datetime<?)")))
        << plan.toStdString();
    EXPECT_FALSE(plan.contains(QStringLiteral("TEMP B-TREE"))) << "the index gives the order";
}

} // namespace
} // namespace cvx::test
