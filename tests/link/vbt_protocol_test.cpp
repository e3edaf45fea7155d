#include "link/vbt_protocol.h"

#include <QList>

#include <gtest/gtest.h>

#include <random>
#include <set>

namespace cvx {
namespace {

QByteArray hex(const char* text) { return QByteArray::fromHex(QByteArray(text).replace(' ', "")); }
QString hexOf(const QByteArray& b) { return QString::fromLatin1(b.toHex(' ').toUpper()); }

// A VBT frame built byte by byte, with a correct length field and checksum unless told.
QByteArray rawVbt(quint8 addressee, quint8 sender, quint8 infoByte, quint8 serial, const QByteArray& coded)
{
    QByteArray f;
    f += char(0xFD);
    f += char(addressee);
    f += char(sender);
    f += char(infoByte);
    f += char(serial);
    f += char(coded.size() >> 7);
    f += char(coded.size() & 0x7F);
    f += char(1);
    f += char(1);
    f += coded;
    f += char(TVBTProtocol::VbtChecksum(f.constData() + 1, int(f.size() - 1)));
    f += char(0xFE);
    return f;
}

TEST(VbtFrame, WorkedExampleAsVbt)
{
    TVBTProtocol p;
    p.Cimzett = 5;
    p.Felado = 250;
    p.Info = kerek_nyugtat;
    p.CsomagSorszam = 17;
    const QByteArray frame = p.EncodeFrame("CSYSI");
    EXPECT_EQ(hexOf(frame), hexOf(hex("FD 05 FA 05 11 80 06 01 01 43 53 59 53 49 80 A8 FE")));
    EXPECT_FALSE(p.LastWasWide());
    EXPECT_EQ(p.Checksum(), 0xA8);

    TVBTProtocol d;
    EXPECT_EQ(d.DecodeFrame(frame), QByteArray("CSYSI"));
    EXPECT_EQ(d.ErrorCode(), 0);
    EXPECT_EQ(d.Cimzett, 5u);
    EXPECT_EQ(d.Felado, 250u);
    EXPECT_EQ(d.Felado_rovid_cim, 250);
    EXPECT_EQ(d.Info, kerek_nyugtat);
    EXPECT_EQ(d.CsomagSorszam, 17);
}

TEST(VbtFrame, WorkedExampleAsVbtw)
{
    TVBTProtocol p;
    p.VBTMode = PMVBTWOnly;
    p.Cimzett = 5;
    p.Felado = 250;
    p.Info = kerek_nyugtat;
    p.CsomagSorszam = 17;
    p.Enable_ASYER = true;
    const QByteArray frame = p.EncodeFrame("CSYSI");
    EXPECT_EQ(hexOf(frame),
              hexOf(hex("FB 85 80 80 80 7A 80 80 7F 80 7A 41 91 80 85 80 7B 43 53 59 53 49 80 D5 FC")));
    EXPECT_TRUE(p.LastWasWide());

    TVBTProtocol d;
    d.VBTMode = PMVBTWOnly;
    EXPECT_EQ(d.DecodeFrame(frame), QByteArray("CSYSI"));
    EXPECT_EQ(d.ErrorCode(), 0);
    EXPECT_EQ(d.Cimzett, 5u);
    EXPECT_EQ(d.Felado, 250u);
    EXPECT_EQ(d.Info, kerek_nyugtat);
    EXPECT_EQ(d.CsomagSorszam, 17);
    EXPECT_TRUE(d.Enable_ASYER);
    EXPECT_FALSE(d.Disable_bitmatrix);
    EXPECT_TRUE(d.LastWasWide());
}

TEST(VbtFrame, CodingExamples)
{
    const QByteArray payload = hex("00 80 7F FF 41 0A C8 31");
    EXPECT_EQ(hexOf(TVBTProtocol::CodeVbtPayload(payload)), hexOf(hex("80 00 7F 7F 41 0A 48 29 31 80")));
    EXPECT_EQ(hexOf(TVBTProtocol::CodeVbtwContent(payload)), hexOf(hex("80 80 7F 7F 41 8A 48 69 31 80")));

    // On the line the 00 of the VBT coding travels as 80, and both decode back.
    TVBTProtocol p;
    p.Cimzett = 9;
    p.CsomagSorszam = 3;
    const QByteArray frame = p.EncodeFrame(payload);
    EXPECT_EQ(hexOf(frame.mid(9, 10)), hexOf(hex("80 80 7F 7F 41 0A 48 29 31 80")));
    TVBTProtocol d;
    EXPECT_EQ(hexOf(d.DecodeFrame(frame)), hexOf(payload));
    EXPECT_EQ(hexOf(TVBTProtocol::DecodeVbtwContent(TVBTProtocol::CodeVbtwContent(payload))), hexOf(payload));
}

TEST(VbtFrame, EmptyPayloadGivesElevenByteFrame)
{
    TVBTProtocol p;
    p.Cimzett = 7;
    p.CsomagSorszam = 9;
    const QByteArray frame = p.EncodeFrame(QByteArray());
    ASSERT_EQ(frame.size(), 11);
    EXPECT_EQ(hexOf(frame.left(9)), hexOf(hex("FD 07 FA 04 09 80 80 01 01")));
    EXPECT_EQ(quint8(frame[10]), 0xFE);
    TVBTProtocol d;
    EXPECT_TRUE(d.DecodeFrame(frame).isEmpty());
    EXPECT_EQ(d.ErrorCode(), 0);
}

TEST(VbtFrame, ZeroHeaderBytesTravelAs80)
{
    TVBTProtocol p;
    p.Cimzett = 0;
    p.Info = nem_kerek_nyugtat;
    p.CsomagSorszam = 5;
    const QByteArray frame = p.EncodeFrame("c");
    EXPECT_EQ(quint8(frame[1]), 0x80); // addressee 0
    EXPECT_EQ(quint8(frame[5]), 0x80); // high length byte
}

TEST(VbtFrame, SizeLimits)
{
    // 1782 payload bytes code to 2037 bytes: a frame of exactly 2048.
    TVBTProtocol p;
    p.CsomagSorszam = 1;
    EXPECT_EQ(TVBTProtocol::CodeVbtPayload(QByteArray(1782, 'a')).size(), 2037);
    EXPECT_EQ(p.EncodeFrame(QByteArray(1782, 'a')).size(), 2048);
    try {
        p.EncodeFrame(QByteArray(1783, 'a'));
        FAIL() << "expected the size exception";
    } catch (const VBTError& e) {
        EXPECT_STREQ(e.what(), "Data do not fit in VBT packet");
    }

    // VBTW: 14 header bytes + 1775 data bytes code to 2045 bytes.
    TVBTProtocol w;
    w.VBTMode = PMDecodeBothEncodeVBTW;
    EXPECT_EQ(TVBTProtocol::CodeVbtwContent(QByteArray(14 + 1775, 'a')).size(), 2045);
    EXPECT_EQ(w.EncodeFrame(QByteArray(1775, 'a')).size(), 2048);
    EXPECT_THROW(w.EncodeFrame(QByteArray(1776, 'a')), VBTError);
    w.Header_extension = QByteArray(10, 'e');
    EXPECT_THROW(w.EncodeFrame(QByteArray(1775 - 9, 'a')), VBTError);
    EXPECT_EQ(w.EncodeFrame(QByteArray(1775 - 10, 'a')).size(), 2048);
}

TEST(VbtFrame, SerialRules)
{
    TVBTProtocol p;
    p.seedRandom(7);
    std::set<int> seen;
    for (int i = 0; i < 2000; ++i) {
        p.CsomagSorszam = 0;
        const QByteArray frame = p.EncodeFrame("x");
        const int serial = quint8(frame[4]);
        ASSERT_GE(serial, 1);
        ASSERT_LE(serial, 250);
        seen.insert(serial);
    }
    EXPECT_GT(seen.size(), 200u) << "serial 0 must be replaced by a random serial";
    p.CsomagSorszam = 251;
    EXPECT_EQ(quint8(p.EncodeFrame("x")[4]), 1);

    TVBTProtocol w;
    w.VBTMode = PMVBTWOnly;
    w.CsomagSorszam = 0;
    TVBTProtocol d;
    d.VBTMode = PMVBTWOnly;
    d.DecodeFrame(w.EncodeFrame("x"));
    EXPECT_EQ(d.CsomagSorszam, 0);
    w.CsomagSorszam = 251;
    d.DecodeFrame(w.EncodeFrame("x"));
    EXPECT_EQ(d.CsomagSorszam, 1);
}

struct AddressCase {
    int addressee;
    int sender;
    int expectedError;
};

void PrintTo(const AddressCase& c, std::ostream* os) { *os << "to " << c.addressee << " from " << c.sender; }

class VbtAddress : public ::testing::TestWithParam<AddressCase> {};

TEST_P(VbtAddress, DecodeChecksAddresses)
{
    const AddressCase c = GetParam();
    TVBTProtocol d;
    d.DecodeFrame(rawVbt(quint8(c.addressee), quint8(c.sender), 0x04, 3, "abc"));
    EXPECT_EQ(d.ErrorCode(), c.expectedError);
    if (c.expectedError == 0) {
        EXPECT_EQ(d.Cimzett, quint32(c.addressee));
        EXPECT_EQ(d.Felado, quint32(c.sender));
    }
}

INSTANTIATE_TEST_SUITE_P(Table, VbtAddress,
                         ::testing::Values(AddressCase{250, 0, 4}, AddressCase{250, 251, 4}, AddressCase{251, 5, 4},
                                           AddressCase{252, 5, 4}, AddressCase{253, 5, 4}, AddressCase{254, 5, 4},
                                           AddressCase{0, 5, 0}, AddressCase{255, 5, 0}, AddressCase{250, 1, 0},
                                           AddressCase{250, 250, 0}, AddressCase{128, 128, 0}));

class VbtwSender : public ::testing::TestWithParam<std::pair<quint32, int>> {};

TEST_P(VbtwSender, DecodeChecksSender)
{
    TVBTProtocol p;
    p.VBTMode = PMVBTWOnly;
    p.Cimzett = 250;
    p.Felado = GetParam().first;
    p.CsomagSorszam = 4;
    const QByteArray frame = p.EncodeFrame("AITGD12");
    TVBTProtocol d;
    d.VBTMode = PMVBTWOnly;
    const QByteArray data = d.DecodeFrame(frame);
    EXPECT_EQ(d.ErrorCode(), GetParam().second);
    if (GetParam().second == 0) {
        EXPECT_EQ(data, QByteArray("AITGD12"));
        EXPECT_EQ(d.Felado, GetParam().first);
    } else {
        EXPECT_TRUE(data.isEmpty());
    }
}

INSTANTIATE_TEST_SUITE_P(Table, VbtwSender,
                         ::testing::Values(std::pair<quint32, int>{0, 4}, std::pair<quint32, int>{1, 4},
                                           std::pair<quint32, int>{249, 4}, std::pair<quint32, int>{251, 4},
                                           std::pair<quint32, int>{255, 4}, std::pair<quint32, int>{250, 0},
                                           std::pair<quint32, int>{256, 0}, std::pair<quint32, int>{0x00010005, 0},
                                           std::pair<quint32, int>{0xFFFFFFFF, 0}));

struct DecodeErrorCase {
    const char* name;
    QByteArray frame;
    int mode;
    int expected;
};

void PrintTo(const DecodeErrorCase& c, std::ostream* os) { *os << c.name; }

class VbtDecodeErrors : public ::testing::TestWithParam<DecodeErrorCase> {};

TEST_P(VbtDecodeErrors, GivesCode)
{
    TVBTProtocol d;
    d.VBTMode = TVBTMode(GetParam().mode);
    EXPECT_TRUE(d.DecodeFrame(GetParam().frame).isEmpty());
    EXPECT_EQ(d.ErrorCode(), GetParam().expected) << GetParam().name;
}

QByteArray goodVbt()
{
    TVBTProtocol p;
    p.Cimzett = 250;
    p.Felado = 5;
    p.CsomagSorszam = 7;
    return p.EncodeFrame("ASYSI");
}

QByteArray goodVbtw()
{
    TVBTProtocol p;
    p.VBTMode = PMVBTWOnly;
    p.Cimzett = 250;
    p.Felado = 0x10005;
    p.CsomagSorszam = 7;
    return p.EncodeFrame("ASYSI");
}

QByteArray withByte(QByteArray f, int at, char v)
{
    f[at] = v;
    return f;
}

INSTANTIATE_TEST_SUITE_P(
    Table, VbtDecodeErrors,
    ::testing::Values(
        DecodeErrorCase{"short", hex("FD 05 FA 04 01 80 80 01 01 FE"), 0, 6},
        DecodeErrorCase{"long", QByteArray(1, char(0xFD)) + QByteArray(2047, 'a') + QByteArray(1, char(0xFE)), 0, 2},
        DecodeErrorCase{"no start", withByte(goodVbt(), 0, 'x'), 0, 3},
        DecodeErrorCase{"no end", withByte(goodVbt(), int(goodVbt().size() - 1), 'x'), 0, 3},
        DecodeErrorCase{"length", withByte(goodVbt(), 6, char(0x05)), 0, 5},
        DecodeErrorCase{"checksum", withByte(goodVbt(), 9, char(0x44)), 0, 1},
        DecodeErrorCase{"vbtw short", hex("FB 80 80 80 80 80 80 80 80 80 80 80 80 80 FC"), 1, 5},
        DecodeErrorCase{"vbtw too short", hex("FB 80 80 80 80 80 80 80 80 80 80 80 20 FC"), 1, 6},
        DecodeErrorCase{"vbtw checksum", withByte(goodVbtw(), 3, char(0x81)), 1, 1},
        DecodeErrorCase{"vbtw as vbt", goodVbtw(), 0, 3},
        // A damaged VBT frame in a both-forms mode reports its VBTW attempt.
        DecodeErrorCase{"both modes report vbtw", withByte(goodVbt(), 9, char(0x44)), 2, 3},
        DecodeErrorCase{"both modes report vbtw 3", withByte(goodVbt(), 6, char(0x05)), 3, 3},
        DecodeErrorCase{"end only", hex("01 02 03 FE"), 0, 6},
        DecodeErrorCase{"end only long", QByteArray(20, 'a') + QByteArray(1, char(0xFE)), 0, 3}));

TEST(VbtFrame, ErrorTexts)
{
    const std::pair<int, const char*> table[] = {{0, "OK"},         {1, "ROSSZ CHSUM"}, {2, "TUL NAGY"},
                                                 {3, "NINCS KERET"}, {4, "ROSSZ CIM"},   {5, "ROSSZ MERET"},
                                                 {6, "TUL ROVID"},   {7, "ISMRTLN HIB"}, {99, "ISMRTLN HIB"}};
    for (const auto& [code, text] : table)
        EXPECT_EQ(TVBTProtocol::ErrorText(code), QString::fromLatin1(text)) << code;
}

TEST(VbtExtract, GarbageInFrontIsSkippedAndTwoFramesComeOneByOne)
{
    TVBTProtocol p;
    p.Cimzett = 250;
    p.Felado = 5;
    p.CsomagSorszam = 1;
    const QByteArray a = p.EncodeFrame("AITGD1");
    p.CsomagSorszam = 2;
    const QByteArray b = p.EncodeFrame("AITGD2");
    QByteArray buffer = QByteArray("xy\x01") + a + b + QByteArray("\xFD\x05");

    TVBTProtocol d;
    const QByteArray f1 = d.ExtractFrame(buffer);
    EXPECT_EQ(f1, a);
    EXPECT_EQ(d.SkippedBytes(), QByteArray("xy\x01"));
    EXPECT_EQ(d.DecodeFrame(f1), QByteArray("AITGD1"));
    const QByteArray f2 = d.ExtractFrame(buffer);
    EXPECT_EQ(f2, b);
    EXPECT_TRUE(d.SkippedBytes().isEmpty());
    EXPECT_EQ(d.DecodeFrame(f2), QByteArray("AITGD2"));
    // The incomplete start stays in the buffer.
    const QByteArray rest = buffer;
    EXPECT_TRUE(d.ExtractFrame(buffer).isEmpty());
    EXPECT_EQ(buffer, rest);
    EXPECT_TRUE(d.SkippedBytes().isEmpty());
}

TEST(VbtExtract, EndDelimiterWithoutStartIsExtractedWhole)
{
    const QByteArray piece = QByteArray("no start here\xFE");
    QByteArray buffer = piece + goodVbt();
    TVBTProtocol d;
    const QByteArray f = d.ExtractFrame(buffer);
    EXPECT_EQ(f, piece);
    EXPECT_TRUE(d.SkippedBytes().isEmpty());
    d.DecodeFrame(f);
    EXPECT_EQ(d.ErrorCode(), 3);
    EXPECT_EQ(d.DecodeFrame(d.ExtractFrame(buffer)), QByteArray("ASYSI"));
}

TEST(VbtExtract, BothModesTakeVbtFirstSoAPrecedingVbtwFrameIsGarbage)
{
    for (TVBTMode mode : {PMDecodeBothEncodeVBT, PMDecodeBothEncodeVBTW}) {
        QByteArray buffer = goodVbtw() + goodVbt();
        TVBTProtocol d;
        d.VBTMode = mode;
        const QByteArray f = d.ExtractFrame(buffer);
        EXPECT_EQ(f, goodVbt());
        EXPECT_EQ(d.SkippedBytes(), goodVbtw());
        EXPECT_TRUE(buffer.isEmpty());
    }
    // Alone, the VBTW frame is extracted in these modes, and never in VBT-only mode.
    QByteArray buffer = goodVbtw();
    TVBTProtocol d;
    EXPECT_TRUE(d.ExtractFrame(buffer).isEmpty());
    d.VBTMode = PMDecodeBothEncodeVBT;
    EXPECT_EQ(d.ExtractFrame(buffer), goodVbtw());
    EXPECT_EQ(d.DecodeFrame(goodVbtw()), QByteArray("ASYSI"));
    EXPECT_TRUE(d.LastWasWide());
    EXPECT_EQ(d.Felado, 0x10005u);
}

// ---- property test: every header and payload survives in every mode -------------------

struct Header {
    quint32 cimzett, felado;
    quint8 serial;
    TInfo info;
    bool asyer, bitmatrix;
    QByteArray ext;
};

TEST(VbtProperty, RandomPacketsRoundTripInAllModes)
{
    std::mt19937 rng(12345);
    auto byte = [&] { return char(rng() & 0xFF); };
    for (int round = 0; round < 1500; ++round) {
        const TVBTMode mode = TVBTMode(round % 4);
        const bool wide = mode == PMVBTWOnly || mode == PMDecodeBothEncodeVBTW;
        // Lengths up to the limit of the form, biased to small ones.
        const int maxLen = wide ? 1775 : 1782;
        const int len = (round % 7 == 0) ? int(rng() % (maxLen + 1)) : int(rng() % 64);
        QByteArray data(len, Qt::Uninitialized);
        for (char& c : data)
            c = byte();
        Header h;
        h.serial = quint8(1 + rng() % 250);
        h.info = TInfo(rng() % 4);
        h.asyer = rng() & 1;
        h.bitmatrix = rng() & 1;
        if (wide) {
            h.cimzett = quint32(rng());
            h.felado = (rng() & 1) ? 250u : quint32(256 + rng() % 0xFFFFFF00u);
            const int extLen = (round % 5 == 0) ? std::min<int>(int(rng() % 256), maxLen - len) : 0;
            h.ext = QByteArray(extLen, Qt::Uninitialized);
            for (char& c : h.ext)
                c = byte();
        } else {
            const quint32 addressees[] = {0, quint32(1 + rng() % 250), 255};
            h.cimzett = addressees[rng() % 3];
            h.felado = 1 + rng() % 250;
        }

        TVBTProtocol enc;
        enc.VBTMode = mode;
        enc.Cimzett = h.cimzett;
        enc.Felado = h.felado;
        enc.Felado_rovid_cim = quint8(h.felado);
        enc.CsomagSorszam = h.serial;
        enc.Info = h.info;
        enc.Enable_ASYER = h.asyer;
        enc.Disable_bitmatrix = h.bitmatrix;
        enc.Header_extension = h.ext;
        const QByteArray frame = enc.EncodeFrame(data);
        ASSERT_LE(frame.size(), 2048);

        // Garbage in front (without delimiters of the form) and the frame in one stream.
        QByteArray stream = QByteArray("\x01\x02garbage") + frame;
        TVBTProtocol dec;
        dec.VBTMode = mode;
        const QByteArray extracted = dec.ExtractFrame(stream);
        ASSERT_EQ(extracted, frame) << "round " << round;
        EXPECT_EQ(dec.SkippedBytes(), QByteArray("\x01\x02garbage"));
        const QByteArray decoded = dec.DecodeFrame(extracted);
        ASSERT_EQ(dec.ErrorCode(), 0) << "round " << round << " mode " << int(mode);
        ASSERT_EQ(decoded, data) << "round " << round;
        EXPECT_EQ(dec.CsomagSorszam, h.serial);
        EXPECT_EQ(dec.Info, h.info);
        EXPECT_EQ(dec.LastWasWide(), wide);
        if (wide) {
            EXPECT_EQ(dec.Cimzett, h.cimzett);
            EXPECT_EQ(dec.Felado, h.felado);
            EXPECT_EQ(dec.Felado_rovid_cim, quint8(h.felado));
            EXPECT_EQ(dec.Enable_ASYER, h.asyer);
            EXPECT_EQ(dec.Disable_bitmatrix, h.bitmatrix);
            EXPECT_EQ(dec.Header_extension, h.ext);
        } else {
            // A zero addressee travels as 0x80.
            EXPECT_EQ(dec.Cimzett, h.cimzett == 0 ? 0x80u : h.cimzett);
            EXPECT_EQ(dec.Felado, h.felado);
        }
    }
}

TEST(VbtProperty, StreamCutAtEveryPointReassembles)
{
    // Three frames of both forms in one stream, fed in two pieces cut at every point.
    TVBTProtocol p;
    p.VBTMode = PMDecodeBothEncodeVBT;
    p.Cimzett = 250;
    p.Felado = 17;
    p.CsomagSorszam = 1;
    const QByteArray a = p.EncodeFrame(QByteArray("AITGD\x00\x80\xFF\xFE\xFD", 10));
    p.CsomagSorszam = 2;
    const QByteArray b = p.EncodeFrame("ASYSI");
    TVBTProtocol w;
    w.VBTMode = PMVBTWOnly;
    w.Cimzett = 250;
    w.Felado = 0x20011;
    w.CsomagSorszam = 3;
    const QByteArray c = w.EncodeFrame(QByteArray("EELDL\xFC\xFB\x00", 8));
    const QByteArray stream = a + b + c;

    for (int cut = 0; cut <= stream.size(); ++cut) {
        TVBTProtocol d;
        d.VBTMode = PMDecodeBothEncodeVBT;
        QByteArray buffer;
        QList<QByteArray> payloads;
        for (const QByteArray& piece : {stream.left(cut), stream.mid(cut)}) {
            buffer += piece;
            for (QByteArray f = d.ExtractFrame(buffer); !f.isEmpty(); f = d.ExtractFrame(buffer)) {
                const QByteArray data = d.DecodeFrame(f);
                ASSERT_EQ(d.ErrorCode(), 0) << "cut " << cut;
                payloads.append(data);
            }
        }
        ASSERT_EQ(payloads.size(), 3) << "cut " << cut;
        EXPECT_EQ(payloads[0], QByteArray("AITGD\x00\x80\xFF\xFE\xFD", 10));
        EXPECT_EQ(payloads[1], QByteArray("ASYSI"));
        EXPECT_EQ(payloads[2], QByteArray("EELDL\xFC\xFB\x00", 8));
        EXPECT_TRUE(buffer.isEmpty());
    }
}

TEST(VbtProperty, EveryByteValueSurvivesInEveryPosition)
{
    // Each byte value at each position of a 7-byte group, in both codings.
    for (int pos = 0; pos < 7; ++pos) {
        for (int v = 0; v < 256; ++v) {
            QByteArray data(9, 'a');
            data[pos] = char(v);
            ASSERT_EQ(TVBTProtocol::DecodeVbtwContent(TVBTProtocol::CodeVbtwContent(data)), data);
            QByteArray coded = TVBTProtocol::CodeVbtPayload(data);
            for (char& ch : coded)
                if (ch == 0)
                    ch = char(0x80);
            for (char ch : TVBTProtocol::CodeVbtwContent(data))
                ASSERT_TRUE(quint8(ch) >= 0x20 && quint8(ch) <= 0x9F);
            for (char ch : coded)
                ASSERT_TRUE(quint8(ch) >= 0x01 && quint8(ch) <= 0x80);
            ASSERT_EQ(TVBTProtocol::DecodeVbtPayload(coded), data);
        }
    }
}

} // namespace
} // namespace cvx
