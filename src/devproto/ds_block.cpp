#include "ds_block.h"

#include "binary_params.h"
#include "field_list.h"

#include <QStringDecoder>
#include <QStringList>

namespace cvx::dsblock {

namespace {

const QString NotSet = QStringLiteral("nincs beállítva");

// Raw value = value x factor, for the measure types 1..20; the two DAC outputs (21, 22)
// are plain numbers.
constexpr int MeasureFactors[23] = {1,   100, 10,  1000, 100, 1,   1,   1,   100, 10, 10, 1,
                                    100, 100, 100, 100, 100, 100, 100, 100, 100, 1,  1};

// The report reads a block that may be shorter than a whole one (a failed read of a
// device that never had one) as "not set" beyond its end.
class BlockReader {
public:
    explicit BlockReader(const QByteArray& block) : b_(block)
    {
        if (b_.size() < BlockSize)
            b_.append(BlockSize - b_.size(), char(0xFF));
    }
    int byte(int offset) const { return quint8(b_.at(offset)); }
    qint64 int32(int offset) const { return ParamToIntAt(b_, offset, 4, IntSign::Signed); }
    qint64 int16(int offset) const { return ParamToIntAt(b_, offset, 2, IntSign::Signed); }
    QByteArray bytes(int offset, int length) const { return b_.mid(offset, length); }

private:
    QByteArray b_;
};

QString twoDigits(int n) { return QStringLiteral("%1").arg(n, 2); }

} // namespace

QByteArray EmptyBlock() { return QByteArray(BlockSize, char(0xFF)); }

QString NumberText(qint64 value)
{
    if (value < 0 || value == 255)
        return NotSet;
    return QString::number(value);
}

QString MeasureTypeText(int code)
{
    static const char* const names[] = {
        "ismeretlen",       "hőmérséklet",       "páratartalom",     "légnyomás",        "légsebesség",
        "reléállapot",      "nedvesség",         "feszültség",       "külső hőmérséklet", "külső páratartalom",
        "szélsebesség",     "szélirány",         "szélhűtés",        "harmatpont",       "1 órás csapadék",
        "napi csapadék",    "össz. csapadék",    "egy. fanedvesség", "átlaghőmérséklet", "hőmérséklet min.",
        "hőmérséklet max.", "1. DAC kimenet",    "2. DAC kimenet"};
    if (code == WatchdogMeasureType)
        return QStringLiteral("WatchDog-riasztás");
    if (code < 0 || code > 22)
        return NotSet;
    return QString::fromUtf8(names[code]);
}

QString ThresholdText(qint64 raw, int measureType)
{
    // The watchdog alarm has no thresholds.
    if (measureType < 1 || measureType > 22 || measureType == WatchdogMeasureType)
        return NotSet;
    return FormatGeneralFloat(double(raw) / MeasureFactors[measureType]);
}

QString ThresholdTypeText(int code)
{
    QString text;
    switch (code) {
    case 1: text = QStringLiteral("alsó (kódja: "); break;
    case 2: text = QStringLiteral("felső (kódja: "); break;
    case 3: text = QStringLiteral("felette az érték normális (kódja: "); break;
    case 4: text = QStringLiteral("alatta az érték normális (kódja: "); break;
    default: text = QStringLiteral("ismeretlen (kódja: "); break;
    }
    return text + QString::number(code) + QLatin1Char(')');
}

QString TaskTypeText(int code)
{
    switch (code) {
    case 0: return QStringLiteral("SMS küldése");
    case 1: return QStringLiteral("relé kapcsolása");
    default: return NotSet;
    }
}

QString StoredText(const QByteArray& bytes)
{
    QByteArray kept;
    for (char c : bytes)
        if (c != '\0' && c != char(0xFF))
            kept += c;
    // Device texts are single-byte Central European.
    QStringDecoder cp1250("windows-1250");
    const QString text = (cp1250.isValid() ? cp1250.decode(kept) : QString::fromLatin1(kept)).trimmed();
    return text.isEmpty() ? NotSet : text;
}

QString ReportText(const QByteArray& block)
{
    const BlockReader b(block);
    QStringList lines;

    lines << QStringLiteral("Működési mód: ")
            + (b.byte(ModeOffset) == 0 ? QStringLiteral("számítógéptől függő működés")
                                       : QStringLiteral("számítógéptől független működés"));

    lines << QStringLiteral(
        "\r\nA készülék által lekérdezett szenzorok számítógéptől független működési módban:\r\n");
    for (int n = 1; n <= SensorCount; ++n)
        lines << twoDigits(n) + QStringLiteral(". lekérdezett szenzor: ")
                + NumberText(b.int32(SensorAddressOffset(n - 1)));

    lines << QStringLiteral("\r\nA készüléken beállított riasztások számítógéptől független működési módban:");
    for (int k = 0; k < EventCount; ++k) {
        const int e = EventOffset(k);
        lines << QStringLiteral("\r\n") + twoDigits(k) + QStringLiteral(". beállított esemény:");
        if (k == 0)
            lines << QStringLiteral("  Ez fixen a watchdogriasztás eseménye, beállítását lásd Beállítások / "
                                    "Általános beállítások / SMS-riasztások.");
        const bool enabled = b.byte(e + event::Enabled) == 1;
        if (enabled && k == 0) {
            lines << QStringLiteral("  A számítógép-kapcsolat ellenőrzésének időköze (mp)        : ")
                    + QString::number(b.byte(WatchdogCheckIntervalOffset));
            lines << QStringLiteral("  Hány kapcsolathiba után küldjön riasztást                 : ")
                    + QString::number(b.byte(WatchdogFailuresOffset));
            lines << QStringLiteral("  Watchdogriasztás után hány óra múlva lehet újabb riasztás : ")
                    + QString::number(b.byte(WatchdogPauseMinutesOffset) / 60);
            lines << QStringLiteral("  Aktiváláskor végrehajtott feladat sorszáma : Fixen a 0. SMS-feladat.");
        } else if (enabled) {
            const int mt = b.byte(e + event::MeasureType);
            lines << QStringLiteral("  Szenzorcím          : ") + NumberText(b.int32(e + event::Address));
            lines << QStringLiteral("  Méréstípus          : ") + MeasureTypeText(mt);
            lines << QStringLiteral("  Aktiváló határérték : ") + ThresholdText(b.int32(e + event::Threshold), mt);
            lines << QStringLiteral("  Lezáró határérték   : ") + ThresholdText(b.int16(e + event::CloseThreshold), mt);
            lines << QStringLiteral("  Határérték típusa   : ") + ThresholdTypeText(b.byte(e + event::ThresholdType));
            lines << QStringLiteral("  Türelmi idő (p)     : ") + NumberText(b.byte(e + event::GraceMinutes));
            lines << QStringLiteral("  Max. ennyi percenként riaszt: ") + NumberText(b.byte(e + event::RepeatMinutes));
            lines << QStringLiteral("  Aktiváláskor végrehajtott feladat sorszáma : ")
                    + NumberText(b.byte(e + event::TaskOnActivate));
            lines << QStringLiteral("  Lezáráskor végrehajtott feladat sorszáma   : ")
                    + NumberText(b.byte(e + event::TaskOnClose));
        }
        lines << (enabled ? QStringLiteral("  Az esemény engedélyezve van.")
                          : QStringLiteral("  Az esemény nincs engedélyezve."));
    }

    lines << QStringLiteral(
        "\r\nA riasztások által aktiválható feladatok számítógéptől független működési módban:");
    for (int k = 0; k < TaskCount; ++k) {
        const int t = TaskOffset(k);
        lines << QStringLiteral("\r\n") + twoDigits(k) + QStringLiteral(". feladat:");
        lines << QStringLiteral("  Feladat típusa : ") + TaskTypeText(b.byte(t + task::Type));
        for (int p = 0; p < task::PhoneCount; ++p)
            lines << QStringLiteral("  %1. telefonszám    : ").arg(p + 1)
                    + StoredText(b.bytes(t + task::Phone1 + p * task::PhoneSize, task::PhoneSize));
        lines << QStringLiteral("  SMS szövege    : ") + StoredText(b.bytes(t + task::SmsText, task::SmsTextSize));
    }

    return lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n");
}

} // namespace cvx::dsblock
