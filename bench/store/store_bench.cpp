// Measurement writes and graph reads against a Measure table of 10.5 million rows
// (20 series, one row a minute over 2023), on the local file and on PostgreSQL.
//
//   BM_StoreAndUpdate/<engine>/<stores per 10 answers>/<logged>
//       the acquisition's calls, one answer (two measure types) per event-loop turn:
//       StoreMeasure for a recording, UpdateMeasureRow of the newest rows otherwise;
//       batches committed by the writer's timer. Counters: row writes per second,
//       the longest event-loop turn and the longest commit.
//   BM_SqliteShellBaseline  the same rows as plain INSERTs/UPDATEs in one transaction
//                            through the sqlite3 shell (the engine's own limit)
//   BM_GraphYear/<engine>    one sensor's measure type over one year (525,600 rows)
//   BM_DecipherValue         one enciphered value deciphered (graphs of encrypted databases)
//
// The local fixture is built once into build/bench-cache/measure-10m.db; the PostgreSQL
// one into the database "cvx_bench" of the server named by CVX_TEST_PG. Rows a run adds
// are removed after it, so the fixtures stay as built.

#include "platform/qt_time_service.h"
#include "shell/app_paths.h"
#include "shell/shell_state.h"
#include "store/data_module.h"
#include "store/db_check.h"
#include "store/measure_cipher.h"
#include "store/measure_reader.h"
#include "store/sql_ops.h"
#include "store/sql_private.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <ctime>

using namespace cvx;

namespace {

constexpr int Minutes = 525'600;
constexpr int Probes = 10;
constexpr qint64 FixtureRows = qint64(Minutes) * Probes * 2;

QString cacheDir()
{
    QString dir = qEnvironmentVariable("CVX_BENCH_CACHE");
    if (dir.isEmpty())
        dir = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("../bench-cache"));
    QDir().mkpath(dir);
    return QDir(dir).absolutePath();
}

QString pgServer()
{
    QString cs = qEnvironmentVariable("CVX_TEST_PG");
    if (!cs.isEmpty() && !IsPostgreSql(cs))
        cs = QStringLiteral("Provider=QPSQL;") + cs;
    return cs;
}

bool sqliteExec(sqlite3* db, const char* sql)
{
    char* err = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        std::fprintf(stderr, "sqlite: %s\n  in %s\n", err ? err : "?", sql);
        sqlite3_free(err);
        return false;
    }
    return true;
}

qint64 sqliteScalar(sqlite3* db, const char* sql)
{
    sqlite3_stmt* st = nullptr;
    qint64 v = -1;
    if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
        v = sqlite3_column_int64(st, 0);
    sqlite3_finalize(st);
    return v;
}

// The local fixture: built once, then only trimmed back to its own rows.
QString localFixture(QString* error)
{
    const QString path = QDir(cacheDir()).filePath(QStringLiteral("measure-10m.db"));
    const QString cs = LocalConnectionString(path);
    sqlite3* db = nullptr;
    if (QFile::exists(path) && sqlite3_open(path.toUtf8().constData(), &db) == SQLITE_OK) {
        const qint64 rows = sqliteScalar(db, "SELECT COUNT(*) FROM Measure WHERE Measure_id <= 10512000");
        if (rows == FixtureRows) {
            sqliteExec(db, "DELETE FROM Measure WHERE Measure_id > 10512000");
            sqlite3_close(db);
            return cs;
        }
        sqlite3_close(db);
    }
    QFile::remove(path);
    QFile::remove(path + QStringLiteral("-wal"));
    QFile::remove(path + QStringLiteral("-shm"));
    std::fprintf(stderr, "building %s (once) ...\n", qPrintable(path));
    if (!CreateLocalDatabase(cs, error))
        return QString();
    if (sqlite3_open(path.toUtf8().constData(), &db) != SQLITE_OK)
        return QString();
    QElapsedTimer t;
    t.start();
    const bool ok =
        sqliteExec(db, "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; PRAGMA cache_size=-400000;")
        && sqliteExec(db, "DROP INDEX IDX_Measure_MTC_PrID_MDT")
        && sqliteExec(db,
                      "WITH RECURSIVE m(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM m WHERE i < 525599), "
                      "p(p) AS (SELECT 1 UNION ALL SELECT p + 1 FROM p WHERE p < 10), t(t) AS (VALUES (1), (2)) "
                      "INSERT INTO Measure (Measure_value, Probe_id, Measure_type_code, Measure_datetime) "
                      "SELECT CAST(2000 + (i * 7 + p * 13) % 500 AS TEXT), p, t, "
                      "strftime('%Y-%m-%d %H:%M:%S.000', '2023-01-01 00:00:00', '+' || i || ' minutes') "
                      "FROM m, p, t ORDER BY i, p, t")
        && sqliteExec(db, "CREATE INDEX IDX_Measure_MTC_PrID_MDT ON Measure (Measure_type_code ASC, Probe_id ASC, "
                          "Measure_datetime ASC)")
        && sqliteExec(db, "PRAGMA journal_mode=WAL;");
    sqlite3_close(db);
    std::fprintf(stderr, "built in %.1f s\n", t.elapsed() / 1000.0);
    return ok ? cs : QString();
}

bool rawExec(TpSQLConnection& c, const QString& sql)
{
    QSqlQuery q(c.d()->db);
    if (q.exec(sql))
        return true;
    std::fprintf(stderr, "pg: %s\n  in %s\n", qPrintable(SqlErrorText(q.lastError())), qPrintable(sql.left(200)));
    return false;
}

qint64 rawScalar(TpSQLConnection& c, const QString& sql)
{
    QSqlQuery q(c.d()->db);
    return q.exec(sql) && q.next() ? q.value(0).toLongLong() : -1;
}

QString pgFixture(QString* error)
{
    const QString server = pgServer();
    if (server.isEmpty()) {
        *error = QStringLiteral("CVX_TEST_PG is not set");
        return QString();
    }
    const QString cs = AppendConnectionValue(server, QStringLiteral("Initial Catalog"), QStringLiteral("cvx_bench"));
    {
        TpSQLConnection c;
        c.SQLLoggingDisabled = true;
        c.ConnectionString = cs;
        if (c.Open() && rawScalar(c, QStringLiteral("SELECT COUNT(*) FROM measure WHERE measure_id <= %1").arg(FixtureRows))
                            == FixtureRows) {
            rawExec(c, QStringLiteral("DELETE FROM measure WHERE measure_id > %1").arg(FixtureRows));
            rawExec(c, QStringLiteral("VACUUM ANALYZE measure"));
            return cs;
        }
    }
    std::fprintf(stderr, "building the PostgreSQL fixture (once per server) ...\n");
    QElapsedTimer t;
    t.start();
    TpSQLConnection admin;
    admin.SQLLoggingDisabled = true;
    admin.ConnectionString = server;
    if (!admin.Open(error))
        return QString();
    rawExec(admin, QStringLiteral("DROP DATABASE IF EXISTS cvx_bench WITH (FORCE)"));
    if (!CreateDatabase(admin, QStringLiteral("cvx_bench"), QString(), true)) {
        *error = QStringLiteral("CreateDatabase failed");
        return QString();
    }
    const bool ok =
        rawExec(admin, QStringLiteral("DROP INDEX idx_measure_mtc_prid_mdt"))
        && rawExec(admin, QStringLiteral("SET work_mem = '256MB'"))
        && rawExec(admin,
                   QStringLiteral("INSERT INTO measure (measure_value, probe_id, measure_type_code, measure_datetime) "
                                  "SELECT ((2000 + (i * 7 + p * 13) % 500))::text, p, t, timestamp '2023-01-01' + "
                                  "i * interval '1 minute' FROM generate_series(0, 525599) i, generate_series(1, 10) "
                                  "p, generate_series(1, 2) t ORDER BY i, p, t"))
        && rawExec(admin, QStringLiteral("CREATE INDEX IDX_Measure_MTC_PrID_MDT ON Measure (Measure_type_code ASC, "
                                         "Probe_id ASC, Measure_datetime ASC)"))
        && rawExec(admin, QStringLiteral("VACUUM ANALYZE measure"));
    std::fprintf(stderr, "built in %.1f s\n", t.elapsed() / 1000.0);
    return ok ? cs : QString();
}

QString fixture(DbEngine engine, QString* error)
{
    static QString local, pg, localError, pgError;
    static bool localDone = false, pgDone = false;
    if (engine == DbEngine::LocalFile) {
        if (!localDone) {
            local = localFixture(&localError);
            localDone = true;
        } else if (!local.isEmpty()) {
            localFixture(&localError); // trims rows of earlier runs
        }
        *error = localError;
        return local;
    }
    if (!pgDone) {
        pg = pgFixture(&pgError);
        pgDone = true;
    } else if (!pg.isEmpty()) {
        pgFixture(&pgError);
    }
    *error = pgError;
    return pg;
}

struct Workload {
    int storesPer10Answers;
    qint64 writes;
};

// One answer of sensor s: two measure types, stored or updated. Returns the writes.
struct Acquisition {
    explicit Acquisition(int storesPer10) : storesPer10(storesPer10) {}
    int storesPer10;
    qint64 newest[100][2] = {};
    qint64 turn = 0;
    qint64 counter = 0;
    QDateTime start = QDateTime(QDate(2024, 1, 1), QTime(0, 0));

    template <typename Store, typename Update>
    void answer(Store&& store, Update&& update)
    {
        const int sensor = int(turn % 100);
        const bool record = (turn / 100) % 10 < storesPer10;
        const QDateTime t = start.addMSecs(turn * 50);
        for (int type = 0; type < 2; ++type) {
            const QString value = QString::number(2000 + (++counter % 500));
            if (record || newest[sensor][type] == 0)
                newest[sensor][type] = store(value, sensor + 101, type + 1, t);
            else
                update(newest[sensor][type], value, type + 1, sensor + 101, t);
        }
        ++turn;
    }
};

void BM_StoreAndUpdate(benchmark::State& state, DbEngine engine)
{
    QString error;
    const QString cs = fixture(engine, &error);
    if (cs.isEmpty()) {
        state.SkipWithError(qPrintable(error));
        return;
    }
    const int storesPer10 = int(state.range(0));
    const bool logged = state.range(1) != 0;
    const qint64 writes = engine == DbEngine::LocalFile ? 300'000 : 150'000;
    QTemporaryDir home;
    AppPaths::setHome(home.path());
    if (!logged) {
        QFile f(home.filePath(QStringLiteral("SQLLog.filter")));
        f.open(QIODevice::WriteOnly);
        f.write("Measure\n");
    }
    shellState().DbConnected = true;

    for (auto _ : state) {
        QtTimeService time;
        TfDM dm(time);
        if (!dm.OpenMainConnection(cs, &error)) {
            state.SkipWithError(qPrintable(error));
            return;
        }
        Acquisition acq(storesPer10);
        QEventLoop loop;
        qint64 done = 0;
        qint64 longestTurnNs = 0;
        QElapsedTimer turnTimer;
        QElapsedTimer wall;
        auto tick = time.createTimer(0, false, [&] {
            turnTimer.start();
            acq.answer(
                [&](const QString& v, int p, int m, const QDateTime& t) { return dm.StoreMeasure(v, p, m, t); },
                [&](qint64 id, const QString& v, int m, int p, const QDateTime& t) { dm.UpdateMeasureRow(id, v, m, p, t); });
            longestTurnNs = qMax(longestTurnNs, turnTimer.nsecsElapsed());
            done += 2;
            if (done >= writes)
                loop.quit();
        });
        wall.start();
        const std::clock_t cpuStart = std::clock();
        tick->start();
        loop.exec();
        tick->stop();
        dm.FlushMeasurements();
        const double seconds = wall.nsecsElapsed() / 1e9;
        const double cpuSeconds = double(std::clock() - cpuStart) / CLOCKS_PER_SEC;
        state.SetIterationTime(seconds);
        state.counters["rows_per_s"] = benchmark::Counter(double(done) / seconds);
        // On a busy machine the wall-clock rate depends on the neighbours; this one less so
        // (it counts this process only, not the database server's share).
        state.counters["rows_per_cpu_s"] = benchmark::Counter(double(done) / cpuSeconds);
        state.counters["committed_writes"] = double(dm.Writer().CommittedWrites());
        state.counters["max_turn_ms"] = double(longestTurnNs) / 1e6;
        state.counters["max_commit_ms"] = double(dm.Writer().LongestCommitMs());
        state.counters["commits"] = double(dm.Writer().Commits());
        state.counters["commits_over_50ms"] = double(dm.Writer().SlowCommits());
        state.counters["lost"] = double(dm.Writer().UncommittedWrites() + dm.Writer().DroppedWrites());
        dm.CloseMainConnection();
    }
    AppPaths::setHome(QString());
}

// The same row writes as SQL text in one transaction through the sqlite3 shell.
void BM_SqliteShellBaseline(benchmark::State& state)
{
    QString error;
    const QString cs = fixture(DbEngine::LocalFile, &error);
    if (cs.isEmpty()) {
        state.SkipWithError(qPrintable(error));
        return;
    }
    const int storesPer10 = int(state.range(0));
    const qint64 writes = 300'000;
    QTemporaryDir dir;
    for (auto _ : state) {
        // Ids are known in advance: the shell runs alone on the file.
        sqlite3* db = nullptr;
        sqlite3_open(LocalDatabasePath(cs).toUtf8().constData(), &db);
        qint64 nextId = sqliteScalar(db, "SELECT MAX(Measure_id) FROM Measure") + 1;
        sqlite3_close(db);
        Acquisition acq(storesPer10);
        QByteArray script = "BEGIN;\n";
        script.reserve(int(writes * 110));
        qint64 done = 0;
        while (done < writes) {
            acq.answer(
                [&](const QString& v, int p, int m, const QDateTime& t) {
                    script += QStringLiteral("INSERT INTO Measure (Measure_value, Probe_id, Measure_type_code, "
                                             "Measure_datetime) VALUES ('%1', %2, %3, '%4');\n")
                                  .arg(v)
                                  .arg(p)
                                  .arg(m)
                                  .arg(t.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")))
                                  .toUtf8();
                    return nextId++;
                },
                [&](qint64 id, const QString& v, int m, int p, const QDateTime& t) {
                    script += QStringLiteral("UPDATE Measure SET Measure_value='%1', Measure_type_code=%2, "
                                             "Probe_id=%3, Measure_datetime='%4' WHERE Measure_id=%5;\n")
                                  .arg(v)
                                  .arg(m)
                                  .arg(p)
                                  .arg(t.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")))
                                  .arg(id)
                                  .toUtf8();
                });
            done += 2;
        }
        script += "COMMIT;\n";
        const QString scriptPath = dir.filePath(QStringLiteral("baseline.sql"));
        QFile f(scriptPath);
        f.open(QIODevice::WriteOnly);
        f.write(script);
        f.close();
        QProcess shell;
        shell.setStandardInputFile(scriptPath);
        QElapsedTimer wall;
        wall.start();
        shell.start(QStringLiteral("sqlite3"), {LocalDatabasePath(cs)});
        shell.waitForFinished(-1);
        const double seconds = wall.nsecsElapsed() / 1e9;
        if (shell.exitCode() != 0) {
            state.SkipWithError(shell.readAllStandardError().constData());
            return;
        }
        state.SetIterationTime(seconds);
        state.counters["rows_per_s"] = benchmark::Counter(double(done) / seconds);
        fixture(DbEngine::LocalFile, &error);
    }
}

QString explain(TpSQLConnection& c)
{
    QString sql = MeasureRangeSql();
    sql.replace(QStringLiteral(":mtc"), QStringLiteral("1"))
        .replace(QStringLiteral(":pid"), QStringLiteral("1"))
        .replace(QStringLiteral(":dt1"), QStringLiteral("'2023-01-01 00:00:00.000'"))
        .replace(QStringLiteral(":dt2"), QStringLiteral("'2023-12-31 23:59:59.999'"));
    QSqlQuery q(c.d()->db);
    const bool pg = c.Engine() == DbEngine::PostgreSql;
    q.exec((pg ? QStringLiteral("EXPLAIN ") : QStringLiteral("EXPLAIN QUERY PLAN ")) + sql);
    QString plan;
    while (q.next())
        plan += (pg ? q.value(0).toString() : q.value(3).toString()) + u'\n';
    return plan;
}

void BM_GraphYear(benchmark::State& state, DbEngine engine)
{
    QString error;
    const QString cs = fixture(engine, &error);
    if (cs.isEmpty()) {
        state.SkipWithError(qPrintable(error));
        return;
    }
    TpSQLConnection c(QStringLiteral("conGraph"));
    c.SQLLoggingDisabled = true;
    c.ConnectionString = cs;
    if (!c.Open(&error)) {
        state.SkipWithError(qPrintable(error));
        return;
    }
    const QString plan = explain(c);
    std::fprintf(stderr, "%s plan:\n%s", engine == DbEngine::LocalFile ? "SQLite" : "PostgreSQL", qPrintable(plan));
    if (!plan.contains(QStringLiteral("idx_measure_mtc_prid_mdt"), Qt::CaseInsensitive)) {
        state.SkipWithError("the range read does not use IDX_Measure_MTC_PrID_MDT");
        return;
    }
    const QDateTime from(QDate(2023, 1, 1), QTime(0, 0));
    const QDateTime to(QDate(2023, 12, 31), QTime(23, 59, 59, 999));
    qint64 rows = 0;
    for (auto _ : state) {
        rows = 0;
        qint64 sum = 0;
        ReadMeasureRange(c, 1, 1, from, to, QString(), [&](const MeasurePoint& p) {
            ++rows;
            sum += p.raw + p.time.time().minute();
            return true;
        });
        benchmark::DoNotOptimize(sum);
    }
    state.counters["rows"] = double(rows);
    state.counters["rows_per_s"] = benchmark::Counter(double(rows) * state.iterations(), benchmark::Counter::kIsRate);
    if (rows != Minutes)
        state.SkipWithError("wrong row count");
}

void BM_DecipherValue(benchmark::State& state)
{
    const QString stored = EncipherMeasureValue(QStringLiteral("jelszó"), 123456789, QStringLiteral("2245"));
    for (auto _ : state) {
        bool ok = false;
        benchmark::DoNotOptimize(DecipherMeasureValue(QStringLiteral("jelszó"), 123456789, stored, &ok));
    }
    state.SetItemsProcessed(state.iterations());
}

} // namespace

BENCHMARK_CAPTURE(BM_StoreAndUpdate, SQLite, DbEngine::LocalFile)
    ->ArgNames({"stores_per_10", "logged"})
    ->Args({1, 0})
    ->Args({10, 0})
    ->Args({1, 1})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_StoreAndUpdate, PostgreSQL, DbEngine::PostgreSql)
    ->ArgNames({"stores_per_10", "logged"})
    ->Args({1, 0})
    ->Args({10, 0})
    ->Args({1, 1})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SqliteShellBaseline)
    ->ArgNames({"stores_per_10"})
    ->Arg(1)
    ->Arg(10)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_GraphYear, SQLite, DbEngine::LocalFile)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_GraphYear, PostgreSQL, DbEngine::PostgreSql)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecipherValue);

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
