#include "packed_time.h"

namespace cvx::vbtsim {

QByteArray encodePackedTime(const QDateTime& t)
{
    const QDate d = t.date();
    const QTime tm = t.time();
    quint64 v = 0;
    v |= quint64(d.year() & 0x7FFF) << 33;
    v |= quint64(d.month() & 0x0F) << 29;
    v |= quint64(d.day() & 0x1F) << 24;
    v |= quint64(tm.hour() & 0x1F) << 19;
    v |= quint64(tm.minute() & 0x3F) << 13;
    v |= quint64(tm.second() & 0x3F) << 7;
    v |= quint64((tm.msec() / 10) & 0x7F);
    QByteArray out(6, '\0');
    for (int i = 0; i < 6; ++i)
        out[i] = char((v >> (8 * (5 - i))) & 0xFF);
    return out;
}

QDateTime decodePackedTime(const QByteArray& bytes, int pos)
{
    if (pos < 0 || bytes.size() - pos < 6)
        return {};
    quint64 v = 0;
    for (int i = 0; i < 6; ++i)
        v = (v << 8) | quint8(bytes.at(pos + i));
    const int year = int((v >> 33) & 0x7FFF);
    const int month = int((v >> 29) & 0x0F);
    const int day = int((v >> 24) & 0x1F);
    const int hour = int((v >> 19) & 0x1F);
    const int minute = int((v >> 13) & 0x3F);
    int second = int((v >> 7) & 0x3F);
    const int hundredths = int(v & 0x7F);
    if (second >= 60)
        second = 0;
    const QDate d(year, month, day);
    if (!d.isValid() || hour > 23 || minute > 59 || hundredths > 99)
        return {};
    return QDateTime(d, QTime(hour, minute, second, hundredths * 10));
}

} // namespace cvx::vbtsim
