#include "devproto/field_list.h"
#include "devproto/instance_codec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>

using namespace cvx;

namespace {

struct TextCase {
    QString input;
    QString expected;
};

void PrintTo(const TextCase& c, std::ostream* os)
{
    *os << '"' << c.input.toStdString() << "\" -> \"" << c.expected.toStdString() << '"';
}

QString S(const char* utf8) { return QString::fromUtf8(utf8); }

// What a typed getter throws, or "" when it does not.
template <typename Getter>
QString failureOf(Getter get)
{
    try {
        get();
    } catch (const FieldConversionError& e) {
        return e.text();
    }
    return {};
}

} // namespace

// --- escaping ---------------------------------------------------------------------

class EscapeTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(EscapeTest, StoresEscapedAndReadsBack)
{
    TCorvaluxProtocol list;
    TNewDravoField& f = list.FieldByName("v");
    f.SetAsString(GetParam().input);
    EXPECT_EQ(f.Value(), GetParam().expected);
    EXPECT_EQ(f.GetAsString(), GetParam().input);
}

INSTANTIATE_TEST_SUITE_P(
    Characters, EscapeTest,
    ::testing::Values(TextCase{",", "@044"}, TextCase{"\"", "@034"}, TextCase{"@", "@064"},
                      TextCase{"\n", "@010"}, TextCase{"*", "@042"}, TextCase{"#", "@035"},
                      TextCase{QString(QChar(u'\0')), "@000"}, TextCase{"\x1f", "@031"}, TextCase{" ", " "},
                      TextCase{"abc=1", "abc=1"}, TextCase{S("árvíztűrő"), S("árvíztűrő")},
                      TextCase{S("x,#*@\ny"), "x@044@035@042@064@010y"}));

TEST(Escape, PlainListLeavesFramingCharactersAlone)
{
    TNewDravoFieldList list;
    TNewDravoField& f = list.FieldByName("v");
    f.SetAsString("*#,");
    EXPECT_EQ(f.Value(), "*#@044");
}

class UnescapeTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(UnescapeTest, ReadsTheStoredText)
{
    TNewDravoField f("v");
    f.SetRawValue(GetParam().input);
    EXPECT_EQ(f.GetAsString(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Stored, UnescapeTest,
    ::testing::Values(TextCase{"@12x", "@12x"},          // no number: the escape character stays
                      TextCase{"@300", ","},             // 300 mod 256 = 44
                      TextCase{"@044", ","}, TextCase{"@0441", ",1"}, TextCase{"a@@065", "a@A"},
                      TextCase{"@", "@"}, TextCase{"@12", "@12"}, TextCase{"@-12", "@-12"},
                      TextCase{"@ 12", "@ 12"}, TextCase{"@999", QString(QChar(char16_t(999 & 0xFF)))},
                      TextCase{"x@064y", "x@y"}, TextCase{"", ""}));

// --- typed getters ----------------------------------------------------------------

TEST(FieldList, FieldTheMessageDidNotCarryReadsEmpty)
{
    TCorvaluxProtocol list;
    list.Decode(S("*\"PckType=0\",\"prid=12\"#"));
    TNewDravoField& missing = list.FieldByName("rsta");
    EXPECT_EQ(missing.GetAsString(), "");
    EXPECT_FALSE(missing.GetAsBool());
    EXPECT_EQ(failureOf([&] { missing.GetAsInt(); }), "GetAsInt failed: ");
    try {
        missing.GetAsInt();
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "GetAsInt failed: ");
    }
}

struct FailureCase {
    const char* accessor;
    QString stored;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.accessor << " of \"" << c.stored.toStdString() << '"'; }

class GetterFailureTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(GetterFailureTest, NamesTheAccessorAndTheStoredText)
{
    const FailureCase& c = GetParam();
    TNewDravoField f("v");
    f.SetRawValue(c.stored);
    const std::string accessor = c.accessor;
    QString text;
    if (accessor == "GetAsInt")
        text = failureOf([&] { f.GetAsInt(); });
    else if (accessor == "GetAsFloat")
        text = failureOf([&] { f.GetAsFloat(); });
    else if (accessor == "GetAsDateTime")
        text = failureOf([&] { f.GetAsDateTime(); });
    else if (accessor == "GetAsBinary")
        text = failureOf([&] { f.GetAsBinary(); });
    else if (accessor == "GetAsBytes")
        text = failureOf([&] { f.GetAsBytes(); });
    EXPECT_EQ(text, QString::fromLatin1(c.accessor) + " failed: " + c.stored);
}

INSTANTIATE_TEST_SUITE_P(
    Getters, GetterFailureTest,
    ::testing::Values(FailureCase{"GetAsInt", "12x"}, FailureCase{"GetAsInt", "1.5"}, FailureCase{"GetAsInt", ""},
                      FailureCase{"GetAsInt", "99999999999999999999"}, FailureCase{"GetAsFloat", "abc"},
                      FailureCase{"GetAsFloat", "1.234,5"}, FailureCase{"GetAsFloat", ""},
                      FailureCase{"GetAsFloat", "NAN"}, FailureCase{"GetAsFloat", "INF"},
                      FailureCase{"GetAsDateTime", "2024-05-21 09:29:07"},
                      FailureCase{"GetAsDateTime", "2024-13-01 00:00:00.000"},
                      FailureCase{"GetAsDateTime", "2024-02-30 00:00:00.000"},
                      FailureCase{"GetAsDateTime", "2024-05-21 24:00:00.000"},
                      FailureCase{"GetAsDateTime", "1899-12-29 23:59:59.999"},
                      FailureCase{"GetAsDateTime", "20x4-05-21 09:29:07.365"},
                      FailureCase{"GetAsDateTime", ""}, FailureCase{"GetAsBinary", "QU#="},
                      FailureCase{"GetAsBinary", S("QUJD\u00e9")}, FailureCase{"GetAsBytes", S("\u0151")}));

class IntTextTest : public ::testing::TestWithParam<std::pair<const char*, qint64>> {};

TEST_P(IntTextTest, ReadsDecimal)
{
    TNewDravoField f("v");
    f.SetRawValue(QString::fromLatin1(GetParam().first));
    EXPECT_EQ(f.GetAsInt(), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(Ints, IntTextTest,
                         ::testing::Values(std::pair{"12", 12LL}, std::pair{"-7", -7LL}, std::pair{"+3", 3LL},
                                           std::pair{"0", 0LL}, std::pair{"4294967296", 4294967296LL}));

class FloatTextTest : public ::testing::TestWithParam<std::pair<const char*, double>> {};

TEST_P(FloatTextTest, AcceptsPointAndComma)
{
    TNewDravoField f("v");
    f.SetRawValue(QString::fromLatin1(GetParam().first));
    EXPECT_DOUBLE_EQ(f.GetAsFloat(), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(Floats, FloatTextTest,
                         ::testing::Values(std::pair{"12.5", 12.5}, std::pair{"12,5", 12.5}, std::pair{" 12,5 ", 12.5},
                                           std::pair{"-0,25", -0.25}, std::pair{"20000", 20000.0},
                                           std::pair{"1E3", 1000.0}, std::pair{"1,5E-7", 1.5e-7},
                                           std::pair{"1.5e+20", 1.5e20}));

class FloatWriteTest : public ::testing::TestWithParam<std::pair<double, const char*>> {};

TEST_P(FloatWriteTest, WritesShortestGeneralFormWithComma)
{
    TNewDravoField f("v");
    f.SetAsFloat(GetParam().first);
    EXPECT_EQ(f.Value(), QString::fromLatin1(GetParam().second));
    if (std::isfinite(GetParam().first)) {
        // Fifteen significant digits.
        EXPECT_NEAR(f.GetAsFloat(), GetParam().first, std::fabs(GetParam().first) * 1e-14);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Floats, FloatWriteTest,
    ::testing::Values(std::pair{12.5, "12,5"}, std::pair{0.1, "0,1"}, std::pair{-3.0, "-3"}, std::pair{0.0, "0"},
                      std::pair{-0.0, "0"}, std::pair{20000.0, "20000"}, std::pair{2.675, "2,675"},
                      std::pair{1.0 / 3.0, "0,333333333333333"}, std::pair{123456789012345.0, "123456789012345"},
                      std::pair{1e15, "1E15"}, std::pair{1e20, "1E20"}, std::pair{1.5e-7, "1,5E-7"},
                      std::pair{0.00001, "0,00001"}, std::pair{-21.37, "-21,37"},
                      std::pair{std::nan(""), "NAN"}, std::pair{HUGE_VAL, "INF"}, std::pair{-HUGE_VAL, "-INF"}));

TEST(FieldList, BooleansAreTrueOnlyForTrue)
{
    TNewDravoField f("v");
    for (const char* t : {"TRUE", "true", "True"}) {
        f.SetRawValue(t);
        EXPECT_TRUE(f.GetAsBool()) << t;
    }
    for (const char* t : {"FALSE", "1", "-1", "", " TRUE", "yes"}) {
        f.SetRawValue(t);
        EXPECT_FALSE(f.GetAsBool()) << t;
    }
    f.SetAsBool(true);
    EXPECT_EQ(f.Value(), "TRUE");
    f.SetAsBool(false);
    EXPECT_EQ(f.Value(), "FALSE");
}

TEST(FieldList, DateTimesUseTheFixedPattern)
{
    TNewDravoField f("v");
    const QDateTime dt(QDate(2024, 5, 21), QTime(9, 29, 7, 365));
    f.SetAsDateTime(dt);
    EXPECT_EQ(f.Value(), "2024-05-21 09:29:07.365");
    EXPECT_EQ(f.GetAsDateTime(), dt);
    // Read by position: the separators are not looked at.
    f.SetRawValue("2024/05/21T09:29:07,365 and more");
    EXPECT_EQ(f.GetAsDateTime(), dt);
    f.SetRawValue("1899-12-30 00:00:00.001");
    EXPECT_EQ(f.GetAsDateTime(), QDateTime(QDate(1899, 12, 30), QTime(0, 0, 0, 1)));
}

TEST(FieldList, NoTimeTravelsAsTheZeroOfTheDayCount)
{
    TNewDravoField f("v");
    f.SetAsDateTime(QDateTime());
    EXPECT_EQ(f.Value(), "1899-12-30 00:00:00.000");
    EXPECT_FALSE(f.GetAsDateTime().isValid());
}

TEST(FieldList, BinaryIsBase64)
{
    TNewDravoField f("v");
    const QByteArray data("\x00\xFF\x01 abc,@#*", 11);
    f.SetAsBinary(data);
    EXPECT_EQ(f.Value(), QString::fromLatin1(data.toBase64()));
    EXPECT_EQ(f.GetAsBinary(), data);
    f.SetRawValue("QUI=");
    EXPECT_EQ(f.GetAsBinary(), QByteArray("AB"));
    f.SetRawValue("");
    EXPECT_EQ(f.GetAsBinary(), QByteArray());
}

TEST(FieldList, BytesTravelOneCharacterPerByte)
{
    QByteArray all;
    for (int b = 0; b < 256; ++b)
        all.append(char(b));
    TCorvaluxProtocol list;
    TNewDravoField& f = list.FieldByName("value");
    f.SetAsBytes(all);
    EXPECT_EQ(f.GetAsBytes(), all);
    EXPECT_EQ(f.GetAsString().size(), 256);
}

TEST(FieldList, EverySetterNotifiesAfterwards)
{
    TNewDravoField f("v");
    QStringList seen;
    f.OnChange = [&](TNewDravoField& changed) { seen << changed.Value(); };
    f.SetAsString("a,b");
    f.SetAsInt(-5);
    f.SetAsFloat(1.5);
    f.SetAsBool(true);
    f.SetAsDateTime(QDateTime(QDate(2024, 1, 2), QTime(3, 4, 5, 6)));
    f.SetAsBinary("AB");
    f.SetAsBytes("x");
    f.SetRawValue("raw");
    EXPECT_EQ(seen, QStringList({"a@044b", "-5", "1,5", "TRUE", "2024-01-02 03:04:05.006", "QUI=", "x", "raw"}));
}

// --- the list ---------------------------------------------------------------------

TEST(FieldList, NamesAreUniqueAndSortedIgnoringCase)
{
    TNewDravoFieldList list;
    list.FieldByName("prid").SetAsInt(12);
    list.FieldByName("Online").SetAsBool(true);
    list.FieldByName("PckType").SetAsInt(3);
    TNewDravoField& again = list.FieldByName("PRID");
    EXPECT_EQ(&again, &list.FieldByName("prid"));
    EXPECT_EQ(again.Name(), "prid");
    EXPECT_EQ(list.Count(), 3);
    EXPECT_TRUE(list.HasField("online"));
    EXPECT_FALSE(list.HasField("value"));
    EXPECT_EQ(list.BuildFields(), "\"Online=TRUE\",\"PckType=3\",\"prid=12\"");
    list.Clear();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.BuildFields(), "");
}

TEST(FieldList, FieldsTakeTheEscapeSettingsOfTheirList)
{
    TCorvaluxProtocol codec;
    EXPECT_TRUE(codec.FieldByName("a").EscapeSet.test('*'));
    TNewDravoFieldList plain;
    plain.EscapeChar = u'%';
    plain.EscapeSet.set('x');
    plain.EscapeSet.set('%');
    TNewDravoField& f = plain.FieldByName("a");
    f.SetAsString("x,%");
    EXPECT_EQ(f.Value(), "%120%044%037");
    EXPECT_EQ(f.GetAsString(), "x,%");
}

TEST(FieldList, QuotesInNamesAndRawValuesAreDoubled)
{
    TNewDravoFieldList list;
    list.FieldByName("say\"").SetRawValue("\"hi\"");
    EXPECT_EQ(list.BuildFields(), "\"say\"\"=\"\"hi\"\"\"");
    TNewDravoFieldList back;
    back.ParseFields(list.BuildFields());
    EXPECT_EQ(back.FieldByName("say\"").Value(), "\"hi\"");
}

struct ParseCase {
    QString text;
    std::map<QString, QString> fields; // name -> stored value
};

void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.text.toStdString(); }

class ParseFieldsTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseFieldsTest, ReadsCommaText)
{
    TNewDravoFieldList list;
    list.FieldByName("stale").SetAsInt(1);
    list.ParseFields(GetParam().text);
    std::map<QString, QString> got;
    for (int i = 0; i < list.Count(); ++i)
        got[list.Field(i).Name()] = list.Field(i).Value();
    EXPECT_EQ(got, GetParam().fields);
}

INSTANTIATE_TEST_SUITE_P(
    CommaText, ParseFieldsTest,
    ::testing::Values(
        ParseCase{"\"a=1\",\"b=x,y\"", {{"a", "1"}, {"b", "x,y"}}},
        ParseCase{"a=1,b=2", {{"a", "1"}, {"b", "2"}}},
        ParseCase{"  \"a=1 2\" ,  b=2  ", {{"a", "1 2"}, {"b", "2"}}},
        ParseCase{"\"a=say \"\"hi\"\"\"", {{"a", "say \"hi\""}}},
        ParseCase{"a=1,a=2", {{"a", "2"}}},
        ParseCase{"A=1,a=2", {{"A", "2"}}},
        ParseCase{"noequals", {{"", "noequals"}}},
        ParseCase{"a=1,", {{"a", "1"}, {"", ""}}},
        ParseCase{"a=b c", {{"a", "b"}, {"", "c"}}},
        ParseCase{"a=b\tc\x01" "d", {{"a", "b"}, {"", "d"}}},
        ParseCase{"\"a=1\"x=2", {{"a", "1"}, {"x", "2"}}},
        ParseCase{"\"a=unterminated, still", {{"a", "unterminated, still"}}},
        ParseCase{"a==b", {{"a", "=b"}}},
        ParseCase{",,", {{"", ""}}},
        ParseCase{"", {}},
        ParseCase{"   ", {}},
        ParseCase{QString("a=1") + QChar(u'\0') + "b=2", {{"a", "1"}, {"b", "2"}}}));
