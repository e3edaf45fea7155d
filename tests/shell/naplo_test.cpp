#include "shell/logs.h"
#include "test_support.h"

#include <QFile>
#include <QRegularExpression>
#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

using namespace cvx;

class NaploTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    ManualTimeService time{QDateTime(QDate(2024, 5, 21), QTime(9, 29, 7, 100))};
    QString path = dir.filePath("x.commlog");
    QByteArray bytes() const
    {
        QFile f(path);
        f.open(QIODevice::ReadOnly);
        return f.readAll();
    }
    void configure(TNaplo& n)
    {
        n.LogFile = path;
        n.Logging = true;
    }
};

TEST_F(NaploTest, CutKeepsExactlyTheLastHalfOfTheLimit)
{
    TNaplo n(&time);
    configure(n);
    n.LogLimit = 1000;
    n.LogTime = false;
    // 101 lines of 10 bytes ("12345678" + CR LF) = 1010 bytes.
    QByteArray before;
    for (int i = 0; i < 101; ++i) {
        const QString msg = QString::number(10000000 + i);
        n.Write(msg);
        before += msg.toLatin1() + "\r\n";
    }
    const QByteArray after = bytes();
    ASSERT_EQ(after.size(), 500);
    EXPECT_EQ(after, before.right(500));
    // Writing continues at the end of the cut file.
    n.Write("next");
    EXPECT_EQ(bytes(), before.right(500) + "next\r\n");
}

TEST_F(NaploTest, NothingIsWrittenWhenOffOrLimitZero)
{
    TNaplo n(&time);
    n.LogFile = path;
    n.Write("a");
    n.Logging = true;
    n.LogLimit = 0;
    n.Write("b");
    EXPECT_FALSE(QFile::exists(path));
}

TEST_F(NaploTest, StampHasTwoDigitYearMillisecondsAndTwoBlanks)
{
    TNaplo n(&time);
    configure(n);
    n.Write("hello");
    EXPECT_EQ(bytes(), "24.05.21 09:29:07.100  hello\r\n");
}

TEST_F(NaploTest, StampsAdvanceWithTheTickWithinTheAnchorWindow)
{
    TNaplo n(&time);
    configure(n);
    n.Write("a");
    time.advance(37);
    n.Write("b");
    time.advance(3000); // beyond the 2000 ms anchor: re-anchored on the clock
    n.Write("c");
    EXPECT_EQ(bytes(), "24.05.21 09:29:07.100  a\r\n24.05.21 09:29:07.137  b\r\n24.05.21 09:29:10.137  c\r\n");
}

TEST_F(NaploTest, ClockJumpIsFollowedAtOnce)
{
    TNaplo n(&time);
    configure(n);
    n.Write("a");
    time.setLocalNow(QDateTime(QDate(2024, 5, 21), QTime(10, 0, 0, 0)));
    time.advance(10);
    n.Write("b");
    EXPECT_TRUE(bytes().endsWith("24.05.21 10:00:00.010  b\r\n"));
}

TEST_F(NaploTest, GroupBySecondSeparatesOnlyNewSeconds)
{
    TNaplo n(&time);
    configure(n);
    n.GroupBySecond = true;
    n.Write("first");
    time.advance(300);
    n.Write("second");
    time.advance(700); // 09:29:08.100
    n.Write("third");
    EXPECT_EQ(bytes(), "24.05.21 09:29:07.100  first\r\n24.05.21 09:29:07.400  second\r\n\r\n"
                       "24.05.21 09:29:08.100  third\r\n");
}

TEST_F(NaploTest, ControlCharactersBecomeCodesWhenPrintable)
{
    TNaplo n(&time);
    configure(n);
    n.LogTime = false;
    n.Write("a\r\nb");
    n.ConvertToPrintable = false;
    n.Write("c\td");
    EXPECT_EQ(bytes(), "a#13#10b\r\nc\td\r\n");
}

TEST_F(NaploTest, ThreadColumnIsBlankOnMainThreadAndNumberedElsewhere)
{
    TNaplo n(&time);
    configure(n);
    n.LogTime = false;
    n.LogThreadId = true;
    n.Write("main");
    std::thread([&] { n.Write("worker"); }).join();
    const QList<QByteArray> lines = bytes().split('\n');
    EXPECT_EQ(lines[0], "        main\r");
    EXPECT_TRUE(QRegularExpression("^ *\\d+: worker\r$").match(QString::fromLatin1(lines[1])).hasMatch())
        << lines[1].constData();
    EXPECT_EQ(lines[1].indexOf(':'), 6);
}

TEST_F(NaploTest, LogMemoReceivesEveryLine)
{
    TNaplo n(&time);
    configure(n);
    n.LogTime = false;
    QStringList memo;
    n.LogMemo = [&](const QString& l) { memo << l; };
    n.Write("x");
    EXPECT_EQ(memo, QStringList{"x"});
}

TEST_F(NaploTest, CloseFileReopensUnderNewName)
{
    TNaplo n(&time);
    configure(n);
    n.LogTime = false;
    n.Write("one");
    n.CloseFile();
    const QString other = dir.filePath("other.log");
    n.LogFile = other;
    n.Write("two");
    EXPECT_EQ(bytes(), "one\r\n");
    EXPECT_EQ(test::readFile(other), "two\r\n");
}

TEST_F(NaploTest, ConcurrentWritersNeverInterleaveOrLoseLinesAcrossCuts)
{
    // Two writers on two files plus a shared one, cut often: every line in a file is
    // whole, and the lines of each thread stay in order.
    TNaplo shared(&time);
    configure(shared);
    shared.LogTime = false;
    shared.LogLimit = 4000;
    constexpr int threads = 4, perThread = 2000;
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i)
                shared.Write(QStringLiteral("T%1-%2-abcdefghijklmnopqrstuvwxyz").arg(t).arg(i, 5, 10, QChar('0')));
        });
    for (auto& th : pool)
        th.join();
    QByteArray content = bytes();
    ASSERT_LE(content.size(), 4000);
    // The first line may have been cut through; all others are whole and ordered.
    QList<QByteArray> lines = content.split('\n');
    ASSERT_TRUE(lines.back().isEmpty());
    lines.removeLast();
    lines.removeFirst();
    QRegularExpression whole("^T(\\d)-(\\d{5})-abcdefghijklmnopqrstuvwxyz\r$");
    std::vector<int> last(threads, -1);
    for (const QByteArray& l : lines) {
        auto m = whole.match(QString::fromLatin1(l));
        ASSERT_TRUE(m.hasMatch()) << l.constData();
        const int t = m.captured(1).toInt(), i = m.captured(2).toInt();
        EXPECT_GT(i, last[t]);
        last[t] = i;
    }
    // Everything last written survived the cuts: the final line of some thread is there.
    bool someFinal = false;
    for (int t = 0; t < threads; ++t)
        someFinal |= last[t] == perThread - 1;
    EXPECT_TRUE(someFinal);
}

TEST_F(NaploTest, ConcurrentWritersWithoutCutsKeepEveryLine)
{
    TNaplo a(&time);
    configure(a);
    a.LogTime = false;
    constexpr int threads = 4, perThread = 3000;
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i)
                a.Write(QStringLiteral("%1:%2").arg(t).arg(i));
        });
    for (auto& th : pool)
        th.join();
    const QList<QByteArray> lines = bytes().split('\n');
    std::set<QByteArray> seen(lines.begin(), lines.end());
    seen.erase(QByteArray());
    EXPECT_EQ(seen.size(), size_t(threads * perThread));
}
