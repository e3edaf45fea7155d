#include "devproto/device_info.h"

#include "shell/catalogue.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>

using namespace cvx;

namespace {

// A full system-information record with recognisable values at every offset.
QByteArray fullRecord()
{
    QByteArray r(66, '\0');
    r.replace(0, 6, QByteArray("\x01\x02\x03\x04\x05\x06", 6));
    r.replace(6, 5, "VBT01");
    r.replace(11, 6, "v2.15a");
    const double stamp = 45433.39548611111; // 2024-05-21 09:29:30
    std::memcpy(r.data() + 17, &stamp, 8);
    r[25] = char(0xD2); r[26] = char(0x04);         // project 1234
    r[27] = char(4);                                // temperature and humidity sensor
    r[28] = char(0x00); r[29] = char(0x02);         // rx 512
    r[30] = char(0x00); r[31] = char(0x01);         // tx 256
    r.replace(32, 24, QByteArray("  Szerver\x01terem\xFF        ", 24));
    r[56] = char(7);                                // boot loader revision
    r.replace(58, 4, QByteArray("\x00\x5E\xD0\xB2", 4)); // uptime 3000000000
    r[62] = char(0);                                // firmware running
    r[63] = char(5);                                // CPU type
    r[64] = char(33); r[65] = char(0);              // supply voltage
    return r;
}

QString kind4() { return Msg("labDeviceKindCode4"); }

} // namespace

TEST(FormatDeviceInfo, TwentyFiveBytesShowTheTextsAndTheBuildDate)
{
    bool ok = false;
    const QString text = FormatDeviceInfo(QByteArray("ASYSI") + fullRecord().left(25), &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(text, QStringLiteral("VBT01 v2.15a 2024-05-21 09:29"));
}

TEST(FormatDeviceInfo, SixtyThreeBytesAddProjectKindBuffersNameRevisionUptimeAndProgram)
{
    bool ok = false;
    const QString text = FormatDeviceInfo(QByteArray("ASYSI") + fullRecord().left(63), &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(text, QStringLiteral("VBT01 v2.15a 2024-05-21 09:29 Projekt: 1234 ")
                        + QString::fromUtf8("Készülék: ") + kind4()
                        + QString::fromUtf8(" Rx/Tx buflen: 512/256 Név: Szerver-terem- BL rev: 7 "
                                            "Uptime: 3000000000 [a FW fut]"));
    EXPECT_EQ(kind4(), QString::fromUtf8("hőmérséklet- és páratartalomszenzor"));
}

TEST(FormatDeviceInfo, FullRecordWithFurtherDataShowsEverything)
{
    QByteArray r = fullRecord() + QByteArray("AB");
    r[62] = char(1); // the boot loader runs
    const QString text = FormatDeviceInfo(QByteArray("ASYSI") + r);
    EXPECT_TRUE(text.endsWith(QString::fromUtf8(
        "Uptime: 3000000000 [a BL fut] A CPU típusa: 005 Feszültség: 033 További adatok: 065 066 ")))
        << text.toStdString();
}

TEST(FormatDeviceInfo, WorksWithoutTheMnemonicToo)
{
    EXPECT_EQ(FormatDeviceInfo(fullRecord().left(25)), QStringLiteral("VBT01 v2.15a 2024-05-21 09:29"));
}

struct LevelCase {
    int length;
    std::vector<const char*> shown;
    std::vector<const char*> notShown;
};

void PrintTo(const LevelCase& c, std::ostream* os) { *os << c.length << " bytes"; }

class DeviceInfoLevelTest : public ::testing::TestWithParam<LevelCase> {};

TEST_P(DeviceInfoLevelTest, ShowsWhatTheRecordHolds)
{
    const LevelCase& c = GetParam();
    QByteArray r = fullRecord() + QByteArray(4, 'x');
    const QString text = FormatDeviceInfo(r.left(c.length));
    for (const char* s : c.shown)
        EXPECT_TRUE(text.contains(QString::fromUtf8(s))) << s << " missing in " << text.toStdString();
    for (const char* s : c.notShown)
        EXPECT_FALSE(text.contains(QString::fromUtf8(s))) << s << " unexpected in " << text.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, DeviceInfoLevelTest,
    ::testing::Values(
        LevelCase{25, {"2024-05-21 09:29"}, {"Projekt"}},
        LevelCase{26, {"2024-05-21 09:29"}, {"Projekt"}},
        LevelCase{27, {"Projekt: 1234"}, {"Készülék"}},
        LevelCase{28, {"Projekt: 1234", "Készülék: "}, {"Rx/Tx"}},
        // Lengths between the documented ones show what they hold, not less.
        LevelCase{40, {"Készülék: "}, {"Rx/Tx"}},
        LevelCase{63, {"Rx/Tx buflen: 512/256", "[a FW fut]"}, {"CPU"}},
        LevelCase{64, {"A CPU típusa: 005"}, {"Feszültség"}},
        LevelCase{65, {"A CPU típusa: 005"}, {"Feszültség"}},
        LevelCase{66, {"Feszültség: 033"}, {"További"}},
        LevelCase{67, {"További adatok: 120 "}, {}},
        LevelCase{70, {"További adatok: 120 120 120 120 "}, {}}));

TEST(FormatDeviceInfo, ShortRecordIsReportedAsBadInfo)
{
    bool ok = true;
    const QString text = FormatDeviceInfo(QByteArray("ASYSI") + QByteArray("AB") + QByteArray(22, '\0'), &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(text, QString::fromUtf8("Hibás infó: 065 066 ") + QStringLiteral("000 ").repeated(22));
    ok = true;
    EXPECT_EQ(FormatDeviceInfo(QByteArray("ASYSI"), &ok), QString::fromUtf8("Hibás infó: "));
    EXPECT_FALSE(ok);
}

TEST(FormatDeviceInfo, UnreadableBuildDateIsShownAsBytes)
{
    QByteArray r = fullRecord().left(25);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::memcpy(r.data() + 17, &nan, 8);
    const QString text = FormatDeviceInfo(r);
    EXPECT_EQ(text, QString::fromUtf8("VBT01 v2.15a [hibás dátum: 000 000 000 000 000 000 248 127 ]"));
    const double tooLate = 3e6; // beyond the year 9999
    std::memcpy(r.data() + 17, &tooLate, 8);
    EXPECT_TRUE(FormatDeviceInfo(r).contains(QString::fromUtf8("[hibás dátum: ")));
}

TEST(FormatDeviceInfo, DaysBeforeTheZeroCountTheTimeForwards)
{
    QByteArray r = fullRecord().left(25);
    const double stamp = -1.25; // 1899-12-29 06:00
    std::memcpy(r.data() + 17, &stamp, 8);
    EXPECT_EQ(FormatDeviceInfo(r), QStringLiteral("VBT01 v2.15a 1899-12-29 06:00"));
}

TEST(DeviceKindText, NamesEveryKind)
{
    for (int code = 0; code <= 15; ++code)
        EXPECT_FALSE(DeviceKindText(code).isEmpty()) << code;
    EXPECT_EQ(DeviceKindText(0), QString::fromUtf8("általános készülék"));
    EXPECT_EQ(DeviceKindText(8), QString::fromUtf8("relépanel"));
    EXPECT_EQ(DeviceKindText(50), QStringLiteral("ZoreDuve"));
    EXPECT_EQ(DeviceKindText(51), QStringLiteral("Node"));
    EXPECT_EQ(DeviceKindText(99), QString::fromUtf8("99 (készülékkód)"));
    EXPECT_EQ(DeviceKindText(16), QString::fromUtf8("16 (készülékkód)"));
}

TEST(FormatDeviceInfo, OtherDeviceKindsShowTheirCode)
{
    QByteArray r = fullRecord().left(28);
    r[27] = char(50);
    EXPECT_TRUE(FormatDeviceInfo(r).endsWith(QString::fromUtf8("Készülék: ZoreDuve")));
    r[27] = char(200);
    EXPECT_TRUE(FormatDeviceInfo(r).endsWith(QString::fromUtf8("Készülék: 200 (készülékkód)")));
}

class StatusTextTest : public ::testing::TestWithParam<std::pair<int, const char*>> {};

TEST_P(StatusTextTest, NamesTheCode)
{
    EXPECT_EQ(VBTStatusText(GetParam().first), QString::fromLatin1(GetParam().second));
}

INSTANTIATE_TEST_SUITE_P(Codes, StatusTextTest,
                         ::testing::Values(std::pair{0, "OK"}, std::pair{1, "ROSSZ CHSUM"}, std::pair{2, "TUL NAGY"},
                                           std::pair{3, "NINCS KERET"}, std::pair{4, "ROSSZ CIM"},
                                           std::pair{5, "ROSSZ MERET"}, std::pair{6, "TUL ROVID"},
                                           std::pair{7, "ISMRTLN HIB"}, std::pair{-1, "ISMRTLN HIB"},
                                           std::pair{255, "ISMRTLN HIB"}));
