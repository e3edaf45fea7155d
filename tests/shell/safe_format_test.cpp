#include "shell/catalogue.h"
#include "shell/safe_format.h"
#include "test_support.h"

#include <gtest/gtest.h>

using namespace cvx;

struct FormatCase {
    const char* format;
    QVariantList args;
    const char* expected;
};

void PrintTo(const FormatCase& c, std::ostream* os) { *os << '"' << c.format << '"'; }

class FormatTest : public ::testing::TestWithParam<FormatCase> {};

TEST_P(FormatTest, FormatsLikePrintfWithProcessConventions)
{
    const FormatCase& c = GetParam();
    const auto r = FormatChecked(QString::fromUtf8(c.format), c.args);
    ASSERT_TRUE(r.has_value()) << c.format;
    EXPECT_EQ(*r, QString::fromUtf8(c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FormatTest,
    ::testing::Values(FormatCase{"%s", {QString("x")}, "x"}, FormatCase{"%d%%", {5}, "5%"},
                      FormatCase{"%.3d ", {7}, "007 "}, FormatCase{"%.3d", {-7}, "-007"},
                      FormatCase{"%6u: ", {123}, "   123: "}, FormatCase{"[%-4s]", {QString("ab")}, "[ab  ]"},
                      FormatCase{"%30.30s|", {QString("rövid")}, "                         rövid|"},
                      FormatCase{"%3.3s", {QString("abcdef")}, "abc"}, FormatCase{"%.2f", {23.456}, "23,46"},
                      FormatCase{"%f", {1}, "1,00"}, FormatCase{"%n", {1234567.5}, "1 234 567,50"},
                      FormatCase{"%x", {255}, "FF"}, FormatCase{"%1:s-%0:s", {QString("a"), QString("b")}, "b-a"},
                      FormatCase{"%*d", {4, 7}, "   7"}, FormatCase{"no args", {}, "no args"},
                      FormatCase{"%s és %d", {QString("a"), 3, QString("extra")}, "a és 3"}));

TEST(SafeFormat, BadTranslationFallsBackToTheFormatAndIsLogged)
{
    test::CapturedMainLog log;
    EXPECT_FALSE(FormatChecked("%d", {QString("abc")}).has_value());
    EXPECT_FALSE(FormatChecked("%s %s", {QString("one")}).has_value());
    EXPECT_FALSE(FormatChecked("%q", {1}).has_value());
    EXPECT_FALSE(FormatChecked("50%", {}).has_value());
    EXPECT_EQ(SafeFormat("Hiba: %d", QString("abc")), "Hiba: %d");
    ASSERT_FALSE(log.lines().isEmpty());
    EXPECT_EQ(log.lines().back(), Msg("msgBadTranslationString") + "\r\nHiba: %d");
}

#include "shell/conventions.h"

TEST(Conventions, WritesCommaAndDottedDatesReadsBothSeparators)
{
    EXPECT_EQ(FormatDecimal(23.456, 2), "23,46");
    EXPECT_EQ(FormatDecimal(-0.001, 2), "0,00");
    EXPECT_EQ(FormatDecimal(-5.5, 1), "-5,5");
    EXPECT_EQ(FormatShortDate(QDate(2024, 3, 1)), "2024.03.01.");
    EXPECT_EQ(FormatDateTimeText(QDateTime(QDate(2024, 3, 1), QTime(7, 5, 9))), "2024.03.01. 07:05:09");
    double v = 0;
    EXPECT_TRUE(ParseDecimal(" 23,45 ", &v));
    EXPECT_DOUBLE_EQ(v, 23.45);
    EXPECT_TRUE(ParseDecimal("-5.5", &v));
    EXPECT_DOUBLE_EQ(v, -5.5);
    EXPECT_FALSE(ParseDecimal("abc", &v));
}
