#include "binary_params.h"

#include "devproto_error.h"

#include <algorithm>

namespace cvx {

EmptyParameterError::EmptyParameterError()
    : DevProtoError(QString::fromUtf8("Üres paraméterstring."))
{
}

namespace {

QByteArray cut(const QByteArray& answer, qsizetype offset, qsizetype length)
{
    if (offset < 0 || length <= 0 || offset >= answer.size())
        return {};
    return answer.mid(offset, std::min(length, answer.size() - offset));
}

QByteArray lowBytes(qint64 value, int count, bool reversed)
{
    QByteArray out(count, '\0');
    for (int i = 0; i < count; ++i)
        out[reversed ? count - 1 - i : i] = char((quint64(value) >> (8 * i)) & 0xFF);
    return out;
}

} // namespace

qint64 ParamToInt(const QByteArray& param, IntSign sign, bool reversed)
{
    if (param.isEmpty())
        throw EmptyParameterError();
    QByteArray bytes = param;
    if (reversed)
        std::reverse(bytes.begin(), bytes.end());
    const int n = int(std::min<qsizetype>(bytes.size(), 4));
    quint64 raw = 0;
    for (int i = 0; i < n; ++i)
        raw |= quint64(quint8(bytes[i])) << (8 * i);
    if (sign == IntSign::Unsigned)
        return qint64(raw);
    const int bits = 8 * n;
    const quint64 signBit = quint64(1) << (bits - 1);
    return (raw & signBit) ? qint64(raw) - (qint64(1) << bits) : qint64(raw);
}

qint64 ParamToIntDef(const QByteArray& param, qint64 defaultValue, IntSign sign, bool reversed)
{
    return param.isEmpty() ? defaultValue : ParamToInt(param, sign, reversed);
}

qint64 ParamToIntAt(const QByteArray& answer, qsizetype offset, qsizetype length, IntSign sign, bool reversed)
{
    return ParamToInt(cut(answer, offset, length), sign, reversed);
}

qint64 ParamToIntAtDef(const QByteArray& answer, qsizetype offset, qsizetype length, qint64 defaultValue,
                       IntSign sign, bool reversed)
{
    return ParamToIntDef(cut(answer, offset, length), defaultValue, sign, reversed);
}

QByteArray IntToParam2(qint64 value, bool reversed) { return lowBytes(value, 2, reversed); }

QByteArray IntToParam4(qint64 value, bool reversed) { return lowBytes(value, 4, reversed); }

QByteArray EncodePackedDateTime(const QDateTime& dt)
{
    if (!dt.isValid())
        return QByteArray(6, '\0');
    const QDate d = dt.date();
    const QTime t = dt.time();
    quint64 v = 0;
    v |= quint64(d.year() & 0x7FFF) << 33;
    v |= quint64(d.month() & 0x0F) << 29;
    v |= quint64(d.day() & 0x1F) << 24;
    v |= quint64(t.hour() & 0x1F) << 19;
    v |= quint64(t.minute() & 0x3F) << 13;
    v |= quint64(t.second() & 0x3F) << 7;
    v |= quint64((t.msec() / 10) & 0x7F);
    QByteArray out(6, '\0');
    for (int i = 0; i < 6; ++i)
        out[i] = char((v >> (8 * (5 - i))) & 0xFF);
    return out;
}

QDateTime DecodePackedDateTime(const QByteArray& bytes, qsizetype offset)
{
    if (offset < 0 || bytes.size() - offset < 6)
        return {};
    quint64 v = 0;
    for (int i = 0; i < 6; ++i)
        v = (v << 8) | quint8(bytes[offset + i]);
    const int year = int((v >> 33) & 0x7FFF);
    const int month = int((v >> 29) & 0x0F);
    const int day = int((v >> 24) & 0x1F);
    const int hour = int((v >> 19) & 0x1F);
    const int minute = int((v >> 13) & 0x3F);
    int second = int((v >> 7) & 0x3F);
    const int hundredths = int(v & 0x7F);
    if (second >= 60)
        second = 0;
    if (!QDate::isValid(year, month, day) || !QTime::isValid(hour, minute, second, hundredths * 10))
        return {};
    return QDateTime(QDate(year, month, day), QTime(hour, minute, second, hundredths * 10));
}

} // namespace cvx
