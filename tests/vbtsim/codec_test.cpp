// The simulator's own framing against the worked examples of the protocol description.
#include "codec.h"
#include "packed_time.h"

#include <gtest/gtest.h>

using namespace cvx::vbtsim;

namespace {

QByteArray hex(const char* text) { return *parseHexBytes(QString::fromLatin1(text)); }

Frame csysiRequest(FrameForm form)
{
    Frame f;
    f.form = form;
    f.addressee = 5;
    f.sender = 250;
    f.shortSender = 250;
    f.info = InfoWantAck;
    f.serial = 17;
    f.enableAsyer = form == FrameForm::Vbtw;
    f.payload = "CSYSI";
    return f;
}

} // namespace

TEST(Codec, VbtWorkedExampleEncodesByteForByte)
{
    EXPECT_EQ(encodeFrame(csysiRequest(FrameForm::Vbt)), hex("FD 05 FA 05 11 80 06 01 01 43 53 59 53 49 80 A8 FE"));
}

TEST(Codec, VbtwWorkedExampleEncodesByteForByte)
{
    EXPECT_EQ(encodeFrame(csysiRequest(FrameForm::Vbtw)),
              hex("FB 85 80 80 80 7A 80 80 7F 80 7A 41 91 80 85 80 7B 43 53 59 53 49 80 D5 FC"));
}

TEST(Codec, WorkedExamplesDecodeToTheirHeaders)
{
    for (const char* text : {"FD 05 FA 05 11 80 06 01 01 43 53 59 53 49 80 A8 FE",
                             "FB 85 80 80 80 7A 80 80 7F 80 7A 41 91 80 85 80 7B 43 53 59 53 49 80 D5 FC"}) {
        Frame f;
        ASSERT_EQ(decodeAnyFrame(hex(text), &f), DecodeOk) << text;
        EXPECT_EQ(f.addressee, 5u);
        EXPECT_EQ(f.sender, 250u);
        EXPECT_EQ(f.info, InfoWantAck);
        EXPECT_EQ(f.serial, 17);
        EXPECT_EQ(f.payload, QByteArray("CSYSI"));
    }
}

TEST(Codec, PayloadCodingExamples)
{
    const QByteArray data = hex("00 80 7F FF 41 0A C8 31");
    EXPECT_EQ(codeVbtPayload(data), hex("80 00 7F 7F 41 0A 48 29 31 80"));
    EXPECT_EQ(codeVbtwContent(data), hex("80 80 7F 7F 41 8A 48 69 31 80"));
    // On the line the VBT zero travels as 0x80 and still decodes to the data.
    EXPECT_EQ(decodeVbtPayload(hex("80 80 7F 7F 41 0A 48 29 31 80")), data);
    EXPECT_EQ(decodeVbtwContent(hex("80 80 7F 7F 41 8A 48 69 31 80")), data);
}

TEST(Codec, EveryByteValueSurvivesBothForms)
{
    QByteArray all;
    for (int i = 0; i < 256; ++i)
        all.append(char(i));
    for (FrameForm form : {FrameForm::Vbt, FrameForm::Vbtw}) {
        Frame f = csysiRequest(form);
        f.sender = form == FrameForm::Vbtw ? 0x00010005u : 5;
        f.addressee = 250;
        f.payload = all;
        const QByteArray raw = encodeFrame(f);
        // No delimiter inside the frame.
        for (int i = 1; i < raw.size() - 1; ++i)
            ASSERT_LT(quint8(raw.at(i)), form == FrameForm::Vbt ? 0xFD : 0xFB) << i;
        Frame back;
        ASSERT_EQ(decodeAnyFrame(raw, &back), DecodeOk);
        EXPECT_EQ(back.payload, all);
        EXPECT_EQ(back.sender, f.sender);
    }
}

TEST(Codec, EmptyVbtPayloadGivesTheElevenByteFrame)
{
    Frame f;
    f.addressee = 250;
    f.sender = 5;
    f.info = InfoAck;
    f.serial = 17;
    // 5 + 250... checksum of FA 05 06 11 80 80 01 01 = 0x218 -> 0x18
    EXPECT_EQ(encodeFrame(f), hex("FD FA 05 06 11 80 80 01 01 18 FE"));
}

TEST(Codec, SizeLimitsOfBothForms)
{
    // n data bytes code to n + ceil(n / 7): 1782 -> 2037, the largest that fits.
    Frame f = csysiRequest(FrameForm::Vbt);
    f.payload = QByteArray(1782, 'A');
    EXPECT_EQ(encodeFrame(f).size(), 2048);
    f.payload = QByteArray(1783, 'A');
    EXPECT_TRUE(encodeFrame(f).isEmpty());

    // 14 header bytes + 1775 data bytes = 1789 content bytes -> 2045 coded.
    Frame w = csysiRequest(FrameForm::Vbtw);
    w.payload = QByteArray(1775, 'A');
    EXPECT_EQ(encodeFrame(w).size(), 2048);
    w.payload = QByteArray(1776, 'A');
    EXPECT_TRUE(encodeFrame(w).isEmpty());
}

struct DecodeCase {
    const char* name;
    const char* frame;
    int error;
};

void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.name; }

class DecodeErrors : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeErrors, AreReportedByCode)
{
    Frame f;
    EXPECT_EQ(decodeAnyFrame(hex(GetParam().frame), &f), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Codec, DecodeErrors,
    ::testing::Values(
        DecodeCase{"checksum", "FD 05 FA 05 11 80 06 01 01 43 53 59 53 49 80 A9 FE", DecodeBadChecksum},
        DecodeCase{"too short", "FD 05 FA 05 11 80 80 01 01 FE", DecodeTooShort},
        DecodeCase{"no start", "05 05 FA 05 11 80 06 01 01 43 53 59 53 49 80 A8 FE", DecodeNoDelimiter},
        DecodeCase{"addressee 251", "FD FB FA 05 11 80 06 01 01 43 53 59 53 49 80 AE FE", DecodeBadAddress},
        DecodeCase{"length", "FD 05 FA 05 11 80 07 01 01 43 53 59 53 49 80 A9 FE", DecodeBadLength},
        DecodeCase{"vbtw checksum", "FB 85 80 80 80 7A 80 80 7F 80 7A 41 91 80 85 80 7B 43 53 59 53 49 80 D6 FC",
                   DecodeBadChecksum},
        DecodeCase{"vbtw too short", "FB 85 80 80 80 7A 80 80 7F 80 7A 41 D5 FC", DecodeTooShort}),
    [](const auto& info) {
        std::string n = info.param.name;
        for (char& c : n)
            if (!isalnum(static_cast<unsigned char>(c)))
                c = '_';
        return n;
    });

TEST(Codec, VbtwSenderMustBeTheComputerOrAWideAddress)
{
    Frame f = csysiRequest(FrameForm::Vbtw);
    f.sender = 5;
    Frame back;
    EXPECT_EQ(decodeAnyFrame(encodeFrame(f), &back), DecodeBadAddress);
    f.sender = 0x00010005;
    EXPECT_EQ(decodeAnyFrame(encodeFrame(f), &back), DecodeOk);
}

TEST(Codec, ExtractionSkipsGarbageAndYieldsFramesOneByOne)
{
    const QByteArray a = hex("FD 05 FA 05 11 80 06 01 01 43 53 59 53 49 80 A8 FE");
    const QByteArray w = hex("FB 85 80 80 80 7A 80 80 7F 80 7A 41 91 80 85 80 7B 43 53 59 53 49 80 D5 FC");
    QByteArray buffer = QByteArray("xx\x01") + w + a + a.left(5);
    auto first = extractFrame(buffer, true, true);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->skipped, QByteArray("xx\x01"));
    EXPECT_EQ(first->frame, w);
    auto second = extractFrame(buffer, true, true);
    ASSERT_TRUE(second);
    EXPECT_TRUE(second->skipped.isEmpty());
    EXPECT_EQ(second->frame, a);
    EXPECT_FALSE(extractFrame(buffer, true, true));
    EXPECT_EQ(buffer, a.left(5));
}

TEST(Codec, VbtOnlyExtractionTreatsAVbtwFrameAsGarbage)
{
    const QByteArray a = hex("FD 05 FA 05 11 80 06 01 01 43 53 59 53 49 80 A8 FE");
    const QByteArray w = hex("FB 85 80 80 80 7A 80 80 7F 80 7A 41 91 80 85 80 7B 43 53 59 53 49 80 D5 FC");
    QByteArray buffer = w + a;
    auto e = extractFrame(buffer, true, false);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->skipped, w);
    EXPECT_EQ(e->frame, a);
}

TEST(Codec, APieceWithoutStartDelimiterFailsWithThree)
{
    QByteArray buffer = hex("01 02 03 04 05 06 07 08 09 0A 0B FE");
    auto e = extractFrame(buffer, true, false);
    ASSERT_TRUE(e);
    Frame f;
    EXPECT_EQ(decodeAnyFrame(e->frame, &f), DecodeNoDelimiter);
}

TEST(PackedTime, WorkedExample)
{
    const QDateTime t(QDate(2024, 5, 21), QTime(9, 29, 7, 365));
    EXPECT_EQ(encodePackedTime(t), hex("0F D0 B5 4B A3 A4"));
    EXPECT_EQ(decodePackedTime(hex("0F D0 B5 4B A3 A4")), QDateTime(QDate(2024, 5, 21), QTime(9, 29, 7, 360)));
}

TEST(PackedTime, InvalidFieldsGiveNoTime)
{
    EXPECT_FALSE(decodePackedTime(hex("0F D0 B5 4B A3")).isValid());
    // month 13
    QByteArray b = encodePackedTime(QDateTime(QDate(2024, 5, 21), QTime(9, 0)));
    b[1] = char(quint8(b[1]) | 0x01);
    b[2] = char((quint8(b[2]) & 0x1F) | 0xA0);
    EXPECT_FALSE(decodePackedTime(b).isValid());
}
