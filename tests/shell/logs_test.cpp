#include "shell/catalogue.h"
#include "shell/logs.h"
#include "test_support.h"

#include <gtest/gtest.h>

using namespace cvx;

TEST(MainLog, The201stLineEmptiesTheListFirst)
{
    test::CapturedMainLog captured;
    for (int i = 1; i <= 200; ++i)
        LogLine(QString::number(i));
    EXPECT_EQ(mainLog().lines().size(), 200);
    LogLine("201");
    EXPECT_EQ(mainLog().lines(), QStringList{"201"});
}

TEST(MainLog, NothingHappensBeforeItIsAttached)
{
    mainLog().setAttached(false);
    mainLog().clear();
    LogLine("early");
    EXPECT_TRUE(mainLog().lines().isEmpty());
}

TEST(ByteTextForms, PrintableDecimalHexAndSafeFileName)
{
    const QByteArray b("\x02" "AB\x1f" " ", 5);
    EXPECT_EQ(PrintableText(b, true), "#2AB#31 ");
    EXPECT_EQ(PrintableText(b, false), ".AB. ");
    EXPECT_EQ(DecimalDump(QByteArray("\x00\x07\xff", 3)), "000 007 255 ");
    EXPECT_EQ(HexDump(QByteArray("\x00\x0a\xff", 3)), "00 0A FF ");
    EXPECT_EQ(SafeFileName(QString::fromUtf8("  a\"b*c.d/e:f<g>h?i\\j|k\tl  ")), "a_b_c_d_e_f_g_h_i_j_k_l");
}

class ProgramLogTest : public ::testing::Test {
protected:
    test::TempHome home;
    test::VirtualProcessTime vt;
    QString path = home.file("corvalux.log");
};

TEST_F(ProgramLogTest, BannersAndMultiLineStamping)
{
    vt.time().setLocalNow(QDateTime(QDate(2024, 5, 21), QTime(9, 29, 7)));
    ProgramLogFile log;
    QStringList errors;
    ASSERT_TRUE(log.open(path, &errors));
    EXPECT_TRUE(errors.isEmpty());
    log.write("first\r\nsecond");
    log.close();
    const QStringList lines = test::readFile(path).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 4);
    EXPECT_EQ(lines[0], "2024.05.21. 09:29:07 " + Msg("labCorvaluxStarting"));
    EXPECT_EQ(lines[1], "2024.05.21. 09:29:07 first");
    EXPECT_EQ(lines[2], "2024.05.21. 09:29:07 second");
    EXPECT_EQ(lines[3], "2024.05.21. 09:29:07 " + Msg("labCorvaluxHalting"));
}

TEST_F(ProgramLogTest, SecondInstanceFindsTheFileLockedAndRunsWithoutIt)
{
    ProgramLogFile first, second;
    QStringList errors;
    ASSERT_TRUE(first.open(path, &errors));
    EXPECT_FALSE(second.open(path, &errors));
    EXPECT_FALSE(second.isOpen());
    ASSERT_EQ(errors.size(), 2);
    EXPECT_EQ(errors[1], Msg("msgOpeningLogFailed"));
    second.write("lost quietly");
    first.write("kept");
    EXPECT_FALSE(test::readFile(path).contains("lost quietly"));
    EXPECT_TRUE(test::readFile(path).contains("kept"));
}

TEST_F(ProgramLogTest, UncreatableFileIsReported)
{
    ProgramLogFile log;
    QStringList errors;
    EXPECT_FALSE(log.open(home.file("missing-folder/corvalux.log"), &errors));
    ASSERT_EQ(errors.size(), 2);
    EXPECT_TRUE(errors[0].startsWith(Msg("errCreatingLogIs").section('%', 0, 0)));
}

TEST_F(ProgramLogTest, LogLineAlsoToFileWritesBoth)
{
    test::CapturedMainLog captured;
    ASSERT_TRUE(programLog().open(path, nullptr));
    LogLine("to both", true);
    LogLine("main only", false);
    programLog().close();
    EXPECT_TRUE(captured.contains("to both"));
    EXPECT_TRUE(captured.contains("main only"));
    const QString text = test::readFile(path);
    EXPECT_TRUE(text.contains(" to both\n"));
    EXPECT_FALSE(text.contains("main only"));
}
