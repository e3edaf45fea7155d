// A recording process killed with SIGKILL loses nothing it reported as stored.

#include "store/sql_query.h"
#include "store_fixture.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>

#include <map>

namespace cvx::test {
namespace {

class Crash : public EngineTest {};

TEST_P(Crash, EveryWriteReportedAsStoredSurvivesAKill)
{
    CVX_REQUIRE_ENGINE(engine());
    TestDatabase db(engine());
    ASSERT_TRUE(db.ok());
    BuildFresh(db);
    const QString writer = QDir(binDir()).filePath(QStringLiteral("store_crash_writer"));
    ASSERT_TRUE(QFile::exists(writer)) << writer.toStdString();

    std::map<qint64, qint64> acknowledged; // id -> last value reported stored
    for (int round = 0; round < 3; ++round) {
        QProcess child;
        child.setProcessChannelMode(QProcess::SeparateChannels);
        child.start(writer, {db.connectionString(), home.path()});
        ASSERT_TRUE(child.waitForStarted(10000));
        QByteArray out;
        int acks = 0;
        const int killAfter = 1500 + 2000 * round;
        QElapsedTimer waited;
        waited.start();
        while (acks < killAfter && waited.elapsed() < 60000 && child.state() == QProcess::Running) {
            child.waitForReadyRead(1000);
            out += child.readAllStandardOutput();
            acks = int(out.count("\nC "));
        }
        ASSERT_EQ(child.state(), QProcess::Running) << child.readAllStandardError().toStdString();
        child.kill(); // SIGKILL: no clean-up of any kind
        ASSERT_TRUE(child.waitForFinished(10000));
        out += child.readAllStandardOutput();
        ASSERT_GE(acks, killAfter) << "the writer was too slow: " << acks;

        // Only whole lines were reported.
        const QList<QByteArray> lines = out.split('\n');
        for (int i = 0; i + 1 < lines.size(); ++i) {
            const QList<QByteArray> f = lines[i].split(' ');
            if (f.size() == 3 && f[0] == "C")
                acknowledged[f[1].toLongLong()] = f[2].toLongLong();
        }
    }

    auto c = db.open();
    if (engine() == DbEngine::LocalFile)
        EXPECT_EQ(Scalar(*c, QStringLiteral("PRAGMA integrity_check")).toString(), QStringLiteral("ok"));
    TpSQLQuery q(c.get(), QStringLiteral("SELECT Measure_id, Measure_value FROM Measure"));
    q.ForwardOnly = true;
    ASSERT_TRUE(q.Open());
    std::map<qint64, qint64> stored;
    for (; !q.Eof(); q.Next())
        stored[q.Value(0).toLongLong()] = q.Value(1).toString().toLongLong();
    int missing = 0;
    int older = 0;
    for (const auto& [id, value] : acknowledged) {
        const auto it = stored.find(id);
        if (it == stored.end())
            ++missing;
        else if (it->second < value)
            ++older;
    }
    EXPECT_GT(acknowledged.size(), 1000u);
    EXPECT_EQ(missing, 0) << "of " << acknowledged.size() << " acknowledged rows";
    EXPECT_EQ(older, 0) << "rows holding an older value than the one reported stored";
}

CVX_BOTH_ENGINES(Crash);

} // namespace
} // namespace cvx::test
