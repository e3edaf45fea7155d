// The logger parameter block: layout and the readable report.
#include "devproto/binary_params.h"
#include "devproto/ds_block.h"

#include <QStringList>

#include <gtest/gtest.h>

inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace cvx::test {
namespace {

using namespace dsblock;

void put(QByteArray& b, int offset, const QByteArray& bytes) { b.replace(offset, bytes.size(), bytes); }
void putByte(QByteArray& b, int offset, int value) { b[offset] = char(value); }

QStringList reportLines(const QByteArray& block)
{
    const QString text = ReportText(block);
    EXPECT_TRUE(text.endsWith(QStringLiteral("\r\n")));
    QStringList lines = text.split(QStringLiteral("\r\n"));
    lines.removeLast();
    return lines;
}

// Lines after the first one that equals the header, up to the next empty line.
QStringList section(const QStringList& lines, const QString& header)
{
    QStringList out;
    const qsizetype at = lines.indexOf(header);
    EXPECT_GE(at, 0) << header.toStdString();
    for (qsizetype i = at + 1; at >= 0 && i < lines.size() && !lines[i].isEmpty(); ++i)
        out << lines[i];
    return out;
}

TEST(DsBlock, LayoutOffsetsMatchTheWatchdogFields)
{
    EXPECT_EQ(WatchdogAlarmPhoneOffset, 464);
    EXPECT_EQ(WatchdogAlarmTextOffset, 544);
    EXPECT_EQ(EventOffset(15) + EventRecordSize, 459);
    EXPECT_EQ(TaskOffset(7) + TaskRecordSize, 2419);
    EXPECT_EQ(BlockAddress + BlockSize - 1, 2955);
    EXPECT_EQ(SensorAddressOffset(15) + 4, EventRecordsOffset);
}

TEST(DsBlock, EmptyBlockReportsEverythingAsNotSet)
{
    const QStringList lines = reportLines(EmptyBlock());
    ASSERT_FALSE(lines.isEmpty());
    EXPECT_EQ(lines[0], QStringLiteral("Működési mód: számítógéptől független működés"));
    EXPECT_EQ(lines[1], QString());
    EXPECT_EQ(lines[2], QStringLiteral("A készülék által lekérdezett szenzorok számítógéptől független működési módban:"));
    EXPECT_EQ(lines[3], QString());
    EXPECT_EQ(lines[4], QStringLiteral(" 1. lekérdezett szenzor: nincs beállítva"));
    EXPECT_EQ(lines[19], QStringLiteral("16. lekérdezett szenzor: nincs beállítva"));
    EXPECT_EQ(lines[20], QString());
    EXPECT_EQ(lines[21], QStringLiteral("A készüléken beállított riasztások számítógéptől független működési módban:"));
    const QStringList ev0 = section(lines, QStringLiteral(" 0. beállított esemény:"));
    EXPECT_EQ(ev0, (QStringList{QStringLiteral("  Ez fixen a watchdogriasztás eseménye, beállítását lásd Beállítások / "
                                               "Általános beállítások / SMS-riasztások."),
                                QStringLiteral("  Az esemény nincs engedélyezve.")}));
    EXPECT_EQ(section(lines, QStringLiteral("15. beállított esemény:")),
              QStringList{QStringLiteral("  Az esemény nincs engedélyezve.")});
    EXPECT_EQ(section(lines, QStringLiteral(" 7. feladat:")),
              (QStringList{QStringLiteral("  Feladat típusa : nincs beállítva"),
                           QStringLiteral("  1. telefonszám    : nincs beállítva"),
                           QStringLiteral("  2. telefonszám    : nincs beállítva"),
                           QStringLiteral("  3. telefonszám    : nincs beállítva"),
                           QStringLiteral("  4. telefonszám    : nincs beállítva"),
                           QStringLiteral("  SMS szövege    : nincs beállítva")}));
    // 1 + 2 + 1 + 16 sensors, 2 + 16 events of 2 lines + 1 watchdog note, 2 + 8 tasks of 7 lines.
    EXPECT_EQ(lines.size(), 20 + 2 + 16 * 3 + 1 + 2 + 8 * 8);
}

TEST(DsBlock, ConfiguredBlockIsReportedField_by_Field)
{
    QByteArray b = EmptyBlock();
    putByte(b, ModeOffset, 0);
    put(b, SensorAddressOffset(0), IntToParam4(5));
    put(b, SensorAddressOffset(1), IntToParam4(0x10007));
    // Event 0: the watchdog alarm, enabled.
    putByte(b, EventOffset(0) + event::MeasureType, WatchdogMeasureType);
    putByte(b, EventOffset(0) + event::Enabled, 1);
    putByte(b, WatchdogCheckIntervalOffset, 5);
    putByte(b, WatchdogFailuresOffset, 3);
    putByte(b, WatchdogPauseMinutesOffset, 90);
    // Event 2: temperature of sensor 5 above 30.5 (closing at 28), task 1 on, none off.
    const int e = EventOffset(2);
    put(b, e + event::Address, IntToParam4(5));
    putByte(b, e + event::MeasureType, 1);
    put(b, e + event::Threshold, IntToParam4(3050));
    putByte(b, e + event::ThresholdType, 2);
    putByte(b, e + event::GraceMinutes, 10);
    putByte(b, e + event::RepeatMinutes, 0);
    putByte(b, e + event::TaskOnActivate, 1);
    putByte(b, e + event::TaskOnClose, 255);
    put(b, e + event::CloseThreshold, IntToParam2(-250));
    putByte(b, e + event::Enabled, 1);
    // Event 3: a watchdog-type record that is not event 0.
    putByte(b, EventOffset(3) + event::MeasureType, WatchdogMeasureType);
    putByte(b, EventOffset(3) + event::Enabled, 1);
    // Task 0: SMS to a number padded with zeros, text with an accent (windows-1250 0xE1 = á).
    putByte(b, TaskOffset(0) + task::Type, 0);
    put(b, TaskOffset(0) + task::Phone1, QByteArray("+36301234567") + QByteArray(8, '\0'));
    put(b, TaskOffset(0) + task::SmsText, QByteArray("  Riaszt\xe1s a szerverteremben  ") + QByteArray(1, '\0'));
    putByte(b, TaskOffset(1) + task::Type, 1);

    const QStringList lines = reportLines(b);
    EXPECT_EQ(lines[0], QStringLiteral("Működési mód: számítógéptől függő működés"));
    EXPECT_EQ(lines[4], QStringLiteral(" 1. lekérdezett szenzor: 5"));
    EXPECT_EQ(lines[5], QStringLiteral(" 2. lekérdezett szenzor: 65543"));

    EXPECT_EQ(section(lines, QStringLiteral(" 0. beállított esemény:")).mid(1),
              (QStringList{QStringLiteral("  A számítógép-kapcsolat ellenőrzésének időköze (mp)        : 5"),
                           QStringLiteral("  Hány kapcsolathiba után küldjön riasztást                 : 3"),
                           QStringLiteral("  Watchdogriasztás után hány óra múlva lehet újabb riasztás : 1"),
                           QStringLiteral("  Aktiváláskor végrehajtott feladat sorszáma : Fixen a 0. SMS-feladat."),
                           QStringLiteral("  Az esemény engedélyezve van.")}));
    EXPECT_EQ(section(lines, QStringLiteral(" 2. beállított esemény:")),
              (QStringList{QStringLiteral("  Szenzorcím          : 5"),
                           QStringLiteral("  Méréstípus          : hőmérséklet"),
                           QStringLiteral("  Aktiváló határérték : 30,5"),
                           QStringLiteral("  Lezáró határérték   : -2,5"),
                           QStringLiteral("  Határérték típusa   : felső (kódja: 2)"),
                           QStringLiteral("  Türelmi idő (p)     : 10"),
                           QStringLiteral("  Max. ennyi percenként riaszt: 0"),
                           QStringLiteral("  Aktiváláskor végrehajtott feladat sorszáma : 1"),
                           QStringLiteral("  Lezáráskor végrehajtott feladat sorszáma   : nincs beállítva"),
                           QStringLiteral("  Az esemény engedélyezve van.")}));
    const QStringList ev3 = section(lines, QStringLiteral(" 3. beállított esemény:"));
    ASSERT_EQ(ev3.size(), 10);
    EXPECT_EQ(ev3[1], QStringLiteral("  Méréstípus          : WatchDog-riasztás"));
    EXPECT_EQ(ev3[2], QStringLiteral("  Aktiváló határérték : nincs beállítva"));
    EXPECT_EQ(ev3[3], QStringLiteral("  Lezáró határérték   : nincs beállítva"));
    EXPECT_EQ(ev3[4], QStringLiteral("  Határérték típusa   : ismeretlen (kódja: 255)"));

    const QStringList t0 = section(lines, QStringLiteral(" 0. feladat:"));
    ASSERT_EQ(t0.size(), 6);
    EXPECT_EQ(t0[0], QStringLiteral("  Feladat típusa : SMS küldése"));
    EXPECT_EQ(t0[1], QStringLiteral("  1. telefonszám    : +36301234567"));
    EXPECT_EQ(t0[2], QStringLiteral("  2. telefonszám    : nincs beállítva"));
    EXPECT_EQ(t0[5], QStringLiteral("  SMS szövege    : Riasztás a szerverteremben"));
    EXPECT_EQ(section(lines, QStringLiteral(" 1. feladat:"))[0], QStringLiteral("  Feladat típusa : relé kapcsolása"));
}

struct FieldCase {
    const char* name;
    QString actual;
    QString expected;
};

void PrintTo(const FieldCase& c, std::ostream* os) { *os << c.name; }

class FieldTexts : public ::testing::TestWithParam<FieldCase> {};

TEST_P(FieldTexts, FieldIsWrittenAsTheReportWantsIt) { EXPECT_EQ(GetParam().actual, GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    DsBlock, FieldTexts,
    ::testing::Values(
        FieldCase{"NumberNegative", NumberText(-1), QStringLiteral("nincs beállítva")},
        FieldCase{"Number255", NumberText(255), QStringLiteral("nincs beállítva")},
        FieldCase{"Number254", NumberText(254), QStringLiteral("254")},
        FieldCase{"NumberZero", NumberText(0), QStringLiteral("0")},
        FieldCase{"MeasureWatchdog", MeasureTypeText(3), QStringLiteral("WatchDog-riasztás")},
        FieldCase{"MeasureZero", MeasureTypeText(0), QStringLiteral("ismeretlen")},
        FieldCase{"MeasureTemperature", MeasureTypeText(1), QStringLiteral("hőmérséklet")},
        FieldCase{"MeasureDac2", MeasureTypeText(22), QStringLiteral("2. DAC kimenet")},
        FieldCase{"Measure23", MeasureTypeText(23), QStringLiteral("nincs beállítva")},
        FieldCase{"MeasureNegative", MeasureTypeText(-1), QStringLiteral("nincs beállítva")},
        FieldCase{"ThresholdHumidity", ThresholdText(455, 2), QStringLiteral("45,5")},
        FieldCase{"ThresholdPressure", ThresholdText(1013250, 3), QStringLiteral("nincs beállítva")},
        FieldCase{"ThresholdVoltage", ThresholdText(230, 7), QStringLiteral("230")},
        FieldCase{"ThresholdWindSpeed", ThresholdText(-15, 10), QStringLiteral("-1,5")},
        FieldCase{"ThresholdDac", ThresholdText(4095, 21), QStringLiteral("4095")},
        FieldCase{"ThresholdUnknownType", ThresholdText(100, 0), QStringLiteral("nincs beállítva")},
        FieldCase{"ThresholdTypeOutOfRange", ThresholdText(100, 23), QStringLiteral("nincs beállítva")},
        FieldCase{"ThresholdType1", ThresholdTypeText(1), QStringLiteral("alsó (kódja: 1)")},
        FieldCase{"ThresholdType3", ThresholdTypeText(3), QStringLiteral("felette az érték normális (kódja: 3)")},
        FieldCase{"ThresholdType4", ThresholdTypeText(4), QStringLiteral("alatta az érték normális (kódja: 4)")},
        FieldCase{"ThresholdType0", ThresholdTypeText(0), QStringLiteral("ismeretlen (kódja: 0)")},
        FieldCase{"TaskSms", TaskTypeText(0), QStringLiteral("SMS küldése")},
        FieldCase{"TaskRelay", TaskTypeText(1), QStringLiteral("relé kapcsolása")},
        FieldCase{"TaskOther", TaskTypeText(2), QStringLiteral("nincs beállítva")},
        FieldCase{"PhoneAllFF", StoredText(QByteArray(20, char(0xFF))), QStringLiteral("nincs beállítva")},
        FieldCase{"PhoneBlanks", StoredText(QByteArray("   ") + QByteArray(17, '\0')), QStringLiteral("nincs beállítva")},
        FieldCase{"PhoneMixedPadding", StoredText(QByteArray("\xff" "06 30\0" "123", 10)), QStringLiteral("06 30123")}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace cvx::test
