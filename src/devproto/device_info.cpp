#include "device_info.h"

#include "binary_params.h"

#include "shell/catalogue.h"
#include "shell/logs.h"

#include <QStringDecoder>

#include <cmath>
#include <cstring>

namespace cvx {

namespace {

// Offsets of the system-information record (after the mnemonic).
constexpr int TextAOffset = 6, TextALength = 5;
constexpr int TextBOffset = 11, TextBLength = 6;
constexpr int StampOffset = 17;
constexpr int ProjectOffset = 25;
constexpr int KindOffset = 27;
constexpr int RxOffset = 28, TxOffset = 30;
constexpr int NameOffset = 32, NameLength = 24;
constexpr int BootRevOffset = 56;
constexpr int UptimeOffset = 58;
constexpr int RunningOffset = 62;
constexpr int CpuOffset = 63;
constexpr int VoltageOffset = 64;
constexpr int FullLength = 66;

QString deviceText(const QByteArray& bytes)
{
    QStringDecoder cp1250("windows-1250");
    return cp1250.isValid() ? cp1250.decode(bytes) : QString::fromLatin1(bytes);
}

// Level of detail: each level needs the record to reach the end of its data.
int detailLevel(qsizetype length)
{
    if (length > FullLength)
        return 7;
    if (length >= FullLength)
        return 6;
    if (length >= VoltageOffset)
        return 5;
    if (length >= CpuOffset)
        return 4;
    if (length >= RxOffset)
        return 3;
    if (length >= KindOffset)
        return 2;
    return 1;
}

// The day count since 1899-12-30 with the time of day as its fraction, as
// "yyyy-mm-dd hh:nn"; false when it is no date of the years 1..9999.
bool formatDayCount(double days, QString* out)
{
    if (!std::isfinite(days) || days < -693593.0 || days >= 2958466.0)
        return false;
    const double whole = std::trunc(days);
    qint64 msOfDay = qint64(std::llround(std::fabs(days - whole) * 86400000.0));
    QDate date = QDate(1899, 12, 30).addDays(qint64(whole));
    if (msOfDay >= 86400000) {
        msOfDay -= 86400000;
        date = date.addDays(1);
    }
    if (!date.isValid() || date.year() < 1 || date.year() > 9999)
        return false;
    const int minutes = int(msOfDay / 60000);
    *out = QString::asprintf("%04d-%02d-%02d %02d:%02d", date.year(), date.month(), date.day(), minutes / 60,
                             minutes % 60);
    return true;
}

} // namespace

QString DeviceKindText(int code)
{
    switch (code) {
    case 0: return Msg("labDeviceKindCode0");
    case 1: return Msg("labDeviceKindCode1");
    case 2: return Msg("labDeviceKindCode2");
    case 3: return Msg("labDeviceKindCode3");
    case 4: return Msg("labDeviceKindCode4");
    case 5: return Msg("labDeviceKindCode5");
    case 6: return Msg("labDeviceKindCode6");
    case 7: return Msg("labDeviceKindCode7");
    case 8: return Msg("labDeviceKindCode8");
    case 9: return Msg("labDeviceKindCode9");
    case 10: return Msg("labDeviceKindCode10");
    case 11: return Msg("labDeviceKindCode11");
    case 12: return Msg("labDeviceKindCode12");
    case 13: return Msg("labDeviceKindCode13");
    case 14: return Msg("labDeviceKindCode14");
    case 15: return Msg("labDeviceKindCode15");
    case 50: return QStringLiteral("ZoreDuve");
    case 51: return QStringLiteral("Node");
    default: return QString::number(code) + QString::fromUtf8(" (készülékkód)");
    }
}

QString VBTStatusText(int code)
{
    switch (code) {
    case 0: return QStringLiteral("OK");
    case 1: return QStringLiteral("ROSSZ CHSUM");
    case 2: return QStringLiteral("TUL NAGY");
    case 3: return QStringLiteral("NINCS KERET");
    case 4: return QStringLiteral("ROSSZ CIM");
    case 5: return QStringLiteral("ROSSZ MERET");
    case 6: return QStringLiteral("TUL ROVID");
    default: return QStringLiteral("ISMRTLN HIB");
    }
}

QString FormatDeviceInfo(const QByteArray& answer, bool* ok)
{
    QByteArray record = answer.startsWith("ASYSI") ? answer.mid(5) : answer;
    if (record.size() <= 24) {
        if (ok)
            *ok = false;
        return QString::fromUtf8("Hibás infó: ") + DecimalDump(record);
    }
    if (ok)
        *ok = true;
    const int level = detailLevel(record.size());
    if (record.size() < FullLength)
        record.append(QByteArray(FullLength - record.size(), '\0'));

    auto u16 = [&](int offset) { return ParamToIntAt(record, offset, 2, IntSign::Unsigned); };
    QString out = deviceText(record.mid(TextAOffset, TextALength)) + u' '
                  + deviceText(record.mid(TextBOffset, TextBLength)) + u' ';

    double days = 0;
    std::memcpy(&days, record.constData() + StampOffset, sizeof days); // little-endian IEEE 754
    QString stamp;
    if (formatDayCount(days, &stamp))
        out += stamp;
    else
        out += QString::fromUtf8("[hibás dátum: ") + DecimalDump(record.mid(StampOffset, 8)) + u']';

    if (level > 1)
        out += QStringLiteral(" Projekt: ") + QString::number(u16(ProjectOffset));
    if (level > 2)
        out += QString::fromUtf8(" Készülék: ") + DeviceKindText(quint8(record[KindOffset]));
    if (level > 3) {
        QByteArray name = record.mid(NameOffset, NameLength);
        for (char& c : name)
            if (quint8(c) < 32 || quint8(c) == 255)
                c = '-';
        out += QStringLiteral(" Rx/Tx buflen: ") + QString::number(u16(RxOffset)) + u'/'
               + QString::number(u16(TxOffset));
        QString shown = deviceText(name);
        while (shown.startsWith(u' '))
            shown.remove(0, 1);
        while (shown.endsWith(u' '))
            shown.chop(1);
        out += QString::fromUtf8(" Név: ") + shown;
        out += QStringLiteral(" BL rev: ") + QString::number(u16(BootRevOffset));
        out += QStringLiteral(" Uptime: ")
               + QString::number(ParamToIntAt(record, UptimeOffset, 4, IntSign::Unsigned));
        out += record[RunningOffset] != 0 ? QStringLiteral(" [a BL fut]") : QStringLiteral(" [a FW fut]");
    }
    if (level > 4)
        out += QString::fromUtf8(" A CPU típusa: ") + QString::asprintf("%.3d", int(quint8(record[CpuOffset])));
    if (level > 5)
        out += QString::fromUtf8(" Feszültség: ") + QString::asprintf("%.3d", int(u16(VoltageOffset)));
    if (level > 6)
        out += QString::fromUtf8(" További adatok: ") + DecimalDump(record.mid(FullLength));
    return out;
}

} // namespace cvx
