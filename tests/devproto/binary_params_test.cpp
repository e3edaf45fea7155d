#include "devproto/binary_params.h"
#include "devproto/commands.h"
#include "devproto/devproto_error.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <random>

using namespace cvx;
using cvx::test::bytes;

namespace {

struct IntCase {
    QByteArray param;
    IntSign sign;
    bool reversed;
    qint64 expected;
};

void PrintTo(const IntCase& c, std::ostream* os)
{
    *os << c.param.toHex(' ').toStdString() << (c.sign == IntSign::Signed ? " signed" : " unsigned")
        << (c.reversed ? " reversed" : "");
}

} // namespace

class ParamToIntTest : public ::testing::TestWithParam<IntCase> {};

TEST_P(ParamToIntTest, ReadsLittleEndianOrReversed)
{
    const IntCase& c = GetParam();
    EXPECT_EQ(ParamToInt(c.param, c.sign, c.reversed), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Widths, ParamToIntTest,
    ::testing::Values(
        IntCase{bytes({0x80}), IntSign::Signed, false, -128},
        IntCase{bytes({0x80}), IntSign::Unsigned, false, 128},
        IntCase{bytes({0x00}), IntSign::Signed, false, 0},
        IntCase{bytes({0x7F}), IntSign::Signed, false, 127},
        IntCase{bytes({0xFF, 0x7F}), IntSign::Signed, false, 32767},
        IntCase{bytes({0x00, 0x80}), IntSign::Signed, false, -32768},
        IntCase{bytes({0x00, 0x80}), IntSign::Unsigned, false, 32768},
        IntCase{bytes({0xFE, 0xFF}), IntSign::Signed, false, -2},
        IntCase{bytes({0xFE, 0xFF}), IntSign::Unsigned, false, 65534},
        IntCase{bytes({0x34, 0x12}), IntSign::Signed, false, 0x1234},
        IntCase{bytes({0x34, 0x12}), IntSign::Signed, true, 0x3412},
        IntCase{bytes({0x80, 0x00}), IntSign::Signed, true, -32768},
        IntCase{bytes({0x01, 0x02, 0x03, 0x04}), IntSign::Signed, false, 0x04030201},
        IntCase{bytes({0x01, 0x02, 0x03, 0x04}), IntSign::Signed, true, 0x01020304},
        IntCase{bytes({0xFF, 0xFF, 0xFF, 0xFF}), IntSign::Signed, false, -1},
        IntCase{bytes({0xFF, 0xFF, 0xFF, 0xFF}), IntSign::Unsigned, false, 4294967295LL},
        IntCase{bytes({0x00, 0x5E, 0xD0, 0xB2}), IntSign::Unsigned, false, 3000000000LL},
        IntCase{bytes({0x00, 0x00, 0x00, 0x80}), IntSign::Signed, false, -2147483648LL},
        // Three bytes read as 24 bits; of longer strings the first four bytes count.
        IntCase{bytes({0xFF, 0xFF, 0xFF}), IntSign::Signed, false, -1},
        IntCase{bytes({0xFF, 0xFF, 0xFF}), IntSign::Unsigned, false, 0xFFFFFF},
        IntCase{bytes({0x01, 0x02, 0x03, 0x04, 0x05}), IntSign::Signed, false, 0x04030201},
        IntCase{bytes({0x01, 0x02, 0x03, 0x04, 0x05}), IntSign::Signed, true, 0x02030405}));

TEST(ParamToInt, EmptyStringThrowsTheHungarianText)
{
    try {
        ParamToInt(QByteArray());
        FAIL() << "no exception";
    } catch (const EmptyParameterError& e) {
        EXPECT_EQ(e.text(), QString::fromUtf8("Üres paraméterstring."));
        EXPECT_STREQ(e.what(), "Üres paraméterstring.");
    }
    EXPECT_THROW(ParamToInt(QByteArray(), IntSign::Unsigned, true), EmptyParameterError);
}

TEST(ParamToInt, DefaultFormsReturnTheDefaultOnlyForAnEmptyString)
{
    EXPECT_EQ(ParamToIntDef(QByteArray(), 0), 0);
    EXPECT_EQ(ParamToIntDef(QByteArray(), -7, IntSign::Unsigned), -7);
    EXPECT_EQ(ParamToIntDef(bytes({0xFE, 0xFF}), 99), -2);
    EXPECT_EQ(ParamToIntDef(bytes({0xFE, 0xFF}), 99, IntSign::Unsigned), 65534);
}

TEST(ParamToInt, SubstringFormsCutFromTheAnswer)
{
    // A calibration read: "ASYRE" and two parameter bytes, -300 as signed 16-bit.
    const QByteArray answer = QByteArray("ASYRE") + bytes({0xD4, 0xFE, 0x07});
    EXPECT_EQ(ParamToIntAt(answer, AnswerParamOffset, 2), -300);
    EXPECT_EQ(ParamToIntAt(answer, AnswerParamOffset, 2, IntSign::Unsigned), 65236);
    EXPECT_EQ(ParamToIntAt(answer, AnswerParamOffset, 2, IntSign::Signed, true), int16_t(0xD4FE));
    EXPECT_EQ(ParamToIntAt(answer, 7, 1), 7);
    // The part beyond the end is cut off.
    EXPECT_EQ(ParamToIntAt(answer, 7, 4), 7);
    // Nothing left: the error, or the default.
    EXPECT_THROW(ParamToIntAt(answer, 8, 2), EmptyParameterError);
    EXPECT_THROW(ParamToIntAt(answer, -1, 2), EmptyParameterError);
    EXPECT_THROW(ParamToIntAt(answer, 5, 0), EmptyParameterError);
    EXPECT_EQ(ParamToIntAtDef(answer, 8, 2, 0), 0);
    EXPECT_EQ(ParamToIntAtDef(answer, 100, 2, 42), 42);
    EXPECT_EQ(ParamToIntAtDef(answer, AnswerParamOffset, 2, 42), -300);
}

TEST(IntToParam, WritesLowBytesLowestFirstOrReversed)
{
    EXPECT_EQ(IntToParam2(0x1234), bytes({0x34, 0x12}));
    EXPECT_EQ(IntToParam2(0x1234, true), bytes({0x12, 0x34}));
    EXPECT_EQ(IntToParam2(-2), bytes({0xFE, 0xFF}));
    EXPECT_EQ(IntToParam2(0x12345), bytes({0x45, 0x23}));
    EXPECT_EQ(IntToParam4(0x01020304), bytes({0x04, 0x03, 0x02, 0x01}));
    EXPECT_EQ(IntToParam4(0x01020304, true), bytes({0x01, 0x02, 0x03, 0x04}));
    EXPECT_EQ(IntToParam4(-1), bytes({0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(IntToParam4(3000000000LL), bytes({0x00, 0x5E, 0xD0, 0xB2}));
}

TEST(IntToParam, RoundTripsThroughParamToInt)
{
    std::mt19937 rng(7);
    for (int i = 0; i < 2000; ++i) {
        const bool reversed = i % 2;
        const qint64 v16 = int16_t(rng());
        const qint64 v32 = int32_t(rng());
        ASSERT_EQ(ParamToInt(IntToParam2(v16, reversed), IntSign::Signed, reversed), v16);
        ASSERT_EQ(ParamToInt(IntToParam2(v16, reversed), IntSign::Unsigned, reversed), uint16_t(v16));
        ASSERT_EQ(ParamToInt(IntToParam4(v32, reversed), IntSign::Signed, reversed), v32);
        ASSERT_EQ(ParamToInt(IntToParam4(v32, reversed), IntSign::Unsigned, reversed), uint32_t(v32));
    }
}

// --- packed time stamp --------------------------------------------------------------

TEST(PackedDateTime, EncodesTheKnownStamp)
{
    const QDateTime dt(QDate(2024, 5, 21), QTime(9, 29, 7, 365));
    EXPECT_EQ(EncodePackedDateTime(dt), bytes({0x0F, 0xD0, 0xB5, 0x4B, 0xA3, 0xA4}));
}

TEST(PackedDateTime, DecodesTheKnownStampToHundredths)
{
    const QDateTime dt = DecodePackedDateTime(bytes({0x0F, 0xD0, 0xB5, 0x4B, 0xA3, 0xA4}));
    EXPECT_EQ(dt, QDateTime(QDate(2024, 5, 21), QTime(9, 29, 7, 360)));
}

TEST(PackedDateTime, DecodesAtAnOffsetOfAnAnswer)
{
    const QByteArray answer = QByteArray("ARTGC") + bytes({0x0F, 0xD0, 0xB5, 0x4B, 0xA3, 0xA4});
    EXPECT_EQ(DecodePackedDateTime(answer, AnswerParamOffset), QDateTime(QDate(2024, 5, 21), QTime(9, 29, 7, 360)));
    // Fewer than six bytes from the position: no time.
    EXPECT_FALSE(DecodePackedDateTime(answer, AnswerParamOffset + 1).isValid());
    EXPECT_FALSE(DecodePackedDateTime(answer.left(10), AnswerParamOffset).isValid());
    EXPECT_FALSE(DecodePackedDateTime(QByteArray(), 0).isValid());
    EXPECT_FALSE(DecodePackedDateTime(answer, -1).isValid());
}

struct StampCase {
    const char* name;
    QByteArray stamp;
    QDateTime expected; // invalid: no time
};

void PrintTo(const StampCase& c, std::ostream* os) { *os << c.name; }

class PackedDecodeTest : public ::testing::TestWithParam<StampCase> {};

TEST_P(PackedDecodeTest, GivesTheTimeOrNoTime)
{
    const StampCase& c = GetParam();
    const QDateTime got = DecodePackedDateTime(c.stamp);
    EXPECT_EQ(got.isValid(), c.expected.isValid());
    if (c.expected.isValid()) {
        EXPECT_EQ(got, c.expected);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Fields, PackedDecodeTest,
    ::testing::Values(
        StampCase{"second60", bytes({0x0F, 0xD0, 0xB5, 0x4B, 0xBE, 0x24}),
                  QDateTime(QDate(2024, 5, 21), QTime(9, 29, 0, 360))},
        StampCase{"leapDay", bytes({0x0F, 0xD0, 0x5D, 0x4B, 0xA3, 0xA4}),
                  QDateTime(QDate(2024, 2, 29), QTime(9, 29, 7, 360))},
        StampCase{"month0", bytes({0x0F, 0xD0, 0x15, 0x4B, 0xA3, 0xA4}), QDateTime()},
        StampCase{"month13", bytes({0x0F, 0xD1, 0xB5, 0x4B, 0xA3, 0xA4}), QDateTime()},
        StampCase{"april31", bytes({0x0F, 0xD0, 0x9F, 0x4B, 0xA3, 0xA4}), QDateTime()},
        StampCase{"hour24", bytes({0x0F, 0xD0, 0xB5, 0xC3, 0xA3, 0xA4}), QDateTime()},
        StampCase{"hundredths100", bytes({0x0F, 0xD0, 0xB5, 0x4B, 0xA3, 0xE4}), QDateTime()},
        StampCase{"allZero", QByteArray(6, '\0'), QDateTime()},
        StampCase{"allOnes", QByteArray(6, '\xFF'), QDateTime()}));

TEST(PackedDateTime, RoundTripsEveryFieldAndCutsMillisecondsToHundredths)
{
    std::mt19937 rng(11);
    for (int i = 0; i < 5000; ++i) {
        const QDate d = QDate(2000, 1, 1).addDays(rng() % 40000);
        const QTime t(rng() % 24, rng() % 60, rng() % 60, rng() % 1000);
        const QDateTime dt(d, t);
        if (!dt.isValid())
            continue; // a local time that a clock change skips
        const QDateTime back = DecodePackedDateTime(EncodePackedDateTime(dt));
        ASSERT_EQ(back, QDateTime(d, QTime(t.hour(), t.minute(), t.second(), t.msec() / 10 * 10)))
            << dt.toString(Qt::ISODateWithMs).toStdString();
    }
}

TEST(PackedDateTime, NoTimeEncodesAsZeros)
{
    EXPECT_EQ(EncodePackedDateTime(QDateTime()), QByteArray(6, '\0'));
    EXPECT_FALSE(DecodePackedDateTime(EncodePackedDateTime(QDateTime())).isValid());
}
