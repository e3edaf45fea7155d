#include "link/dov_input.h"

namespace cvx::dov {

namespace {

void appendInt16(QByteArray& out, int value)
{
    const auto v = quint16(qint16(value));
    out += char(v & 0xFF);
    out += char(v >> 8);
}

QByteArray foldZeros(QByteArray text)
{
    // Repeated until none is left: "-000" -> "-00" -> "-0".
    for (;;) {
        const QByteArray before = text;
        text.replace("-00", "-0");
        text.replace("+00", "+0");
        if (text == before)
            return text;
    }
}

// The number as decimal digits and a power of ten: value = sign * digits * 10^exponent.
struct Decimal {
    bool negative = false;
    QByteArray digits; // no leading zeros; empty for zero
    qint64 exponent = 0;
};

bool parseDecimal(const QByteArray& text, Decimal& out)
{
    const qsizetype n = text.size();
    qsizetype i = 0;
    if (i < n && (text[i] == '+' || text[i] == '-'))
        out.negative = text[i++] == '-';
    QByteArray digits;
    qint64 fractionDigits = 0;
    bool anyDigit = false;
    while (i < n && text[i] >= '0' && text[i] <= '9') {
        digits += text[i++];
        anyDigit = true;
    }
    if (i < n && text[i] == '.') {
        ++i;
        while (i < n && text[i] >= '0' && text[i] <= '9') {
            digits += text[i++];
            ++fractionDigits;
            anyDigit = true;
        }
    }
    if (!anyDigit)
        return false;
    qint64 exp = 0;
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        bool expNegative = false;
        if (i < n && (text[i] == '+' || text[i] == '-'))
            expNegative = text[i++] == '-';
        bool expDigit = false;
        while (i < n && text[i] >= '0' && text[i] <= '9') {
            if (exp < 100000)
                exp = exp * 10 + (text[i] - '0');
            ++i;
            expDigit = true;
        }
        if (!expDigit)
            return false;
        if (expNegative)
            exp = -exp;
    }
    if (i != n)
        return false;
    qsizetype lead = 0;
    while (lead < digits.size() && digits[lead] == '0')
        ++lead;
    out.digits = digits.mid(lead);
    out.exponent = exp - fractionDigits;
    return true;
}

} // namespace

QList<QByteArray> TakeLines(QByteArray& buffer)
{
    QList<QByteArray> lines;
    qsizetype from = 0;
    for (;;) {
        const qsizetype lf = buffer.indexOf('\n', from);
        if (lf < 0)
            break;
        lines.append(buffer.mid(from, lf + 1 - from));
        from = lf + 1;
    }
    if (from > 0)
        buffer.remove(0, from);
    return lines;
}

QByteArray FieldText(const QByteArray& line, const QByteArray& startMarker, const QByteArray& endMarker)
{
    const QByteArray lower = line.toLower();
    const qsizetype s = lower.indexOf(startMarker.toLower());
    if (s < 0)
        return QByteArray();
    const qsizetype from = s + startMarker.size();
    const qsizetype e = lower.indexOf(endMarker.toLower(), from);
    return e < 0 ? line.mid(from) : line.mid(from, e - from);
}

int ValueFromText(const QByteArray& text, int scale)
{
    Decimal d;
    if (!parseDecimal(foldZeros(text).trimmed(), d))
        return NoValue;
    const int scaleDigits = scale >= 1000 ? 3 : scale >= 100 ? 2 : scale >= 10 ? 1 : 0;
    if (d.digits.isEmpty())
        return 0;
    const qint64 e = d.exponent + scaleDigits; // value * scale = digits * 10^e
    const qint64 len = d.digits.size();
    if (e > 12 || len + e > 12)
        return NoValue; // far beyond 16 bits
    qint64 magnitude = 0;
    if (e >= 0) {
        for (char c : d.digits)
            magnitude = magnitude * 10 + (c - '0');
        for (qint64 k = 0; k < e; ++k)
            magnitude *= 10;
    } else {
        const qint64 keep = len + e; // digits left of the point after scaling
        for (qint64 k = 0; k < keep; ++k)
            magnitude = magnitude * 10 + (d.digits[k] - '0');
        // Rounding half to even on the dropped digits.
        const qint64 firstDropped = std::max<qint64>(keep, 0);
        int cmp = 0; // dropped part against one half
        if (keep < 0) {
            cmp = -1; // at least one zero before the digits: below a half
        } else {
            const int lead = d.digits[firstDropped] - '0';
            if (lead > 5) {
                cmp = 1;
            } else if (lead < 5) {
                cmp = -1;
            } else {
                cmp = 0;
                for (qint64 k = firstDropped + 1; k < len; ++k)
                    if (d.digits[k] != '0') {
                        cmp = 1;
                        break;
                    }
            }
        }
        if (cmp > 0 || (cmp == 0 && (magnitude % 2) == 1))
            ++magnitude;
    }
    const qint64 value = d.negative ? -magnitude : magnitude;
    // The rounded value 20000 itself is the missing-value mark and is not scaled.
    if (value == qint64(NoValue) * scale)
        return NoValue;
    // A value that does not fit in 16 bits would wrap into a plausible wrong one.
    if (value < -32768 || value > 32767)
        return NoValue;
    return int(value);
}

QList<TOnReadPacketData> LineToRecords(const QByteArray& rawLine)
{
    QList<TOnReadPacketData> records;
    QByteArray line = rawLine;
    const qsizetype star = line.lastIndexOf('*');
    if (star > 0)
        line = line.mid(star);
    if (line.size() <= 2)
        return records;

    auto makeRecord = [&line](quint32 address, std::initializer_list<int> values) {
        TOnReadPacketData r;
        r.Address = address;
        r.ShortAddress = quint8(address);
        r.Addressee = vbt::PcAddress;
        r.Raw = line;
        r.Info = nem_kerek_nyugtat;
        r.Data = QByteArrayLiteral("AITGD");
        for (int v : values)
            appendInt16(r.Data, v);
        return r;
    };

    if (line.contains("H=")) {
        const int t = ValueFromText(FieldText(line, "T=", "C"), 100);
        const int h = ValueFromText(FieldText(line, "H=", "%"), 10);
        records.append(makeRecord(1, {t, h}));
        return records;
    }
    for (int n = 0;; ++n) {
        const QByteArray tag = "T" + QByteArray::number(n);
        if (!line.contains(tag))
            break;
        const int t = ValueFromText(FieldText(line, tag + "=", "C"), 100);
        records.append(makeRecord(quint32(n + 1), {t}));
    }
    return records;
}

} // namespace cvx::dov
