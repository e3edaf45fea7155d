#include "field_list.h"

#include "shell/conventions.h"

#include <QByteArray>

#include <algorithm>
#include <cmath>

namespace cvx {

const QString TNewDravoField::NoTimeText = QStringLiteral("1899-12-30 00:00:00.000");

EscapeCodeSet DefaultEscapeSet()
{
    EscapeCodeSet set;
    for (int c = 0; c < 32; ++c)
        set.set(size_t(c));
    set.set('"');
    set.set(',');
    set.set('@');
    return set;
}

QString EscapeText(const QString& text, QChar escapeChar, const EscapeCodeSet& set)
{
    QString out;
    out.reserve(text.size() + 8);
    for (QChar c : text) {
        const char16_t code = c.unicode();
        if (code < 256 && set.test(code)) {
            out += escapeChar;
            out += QChar(u'0' + code / 100);
            out += QChar(u'0' + code / 10 % 10);
            out += QChar(u'0' + code % 10);
        } else {
            out += c;
        }
    }
    return out;
}

QString UnescapeText(const QString& stored, QChar escapeChar)
{
    auto digit = [](QChar c) { return c >= u'0' && c <= u'9'; };
    QString out;
    out.reserve(stored.size());
    const qsizetype n = stored.size();
    for (qsizetype i = 0; i < n;) {
        const QChar c = stored[i];
        if (c == escapeChar && i + 3 < n && digit(stored[i + 1]) && digit(stored[i + 2]) && digit(stored[i + 3])) {
            const int code = (stored[i + 1].unicode() - u'0') * 100 + (stored[i + 2].unicode() - u'0') * 10
                             + (stored[i + 3].unicode() - u'0');
            out += QChar(char16_t(code & 0xFF));
            i += 4;
        } else {
            out += c;
            ++i;
        }
    }
    return out;
}

QString FormatGeneralFloat(double value)
{
    if (std::isnan(value))
        return QStringLiteral("NAN");
    if (std::isinf(value))
        return value > 0 ? QStringLiteral("INF") : QStringLiteral("-INF");
    if (value == 0)
        return QStringLiteral("0");
    // 15 significant digits, correctly rounded: "d.dddddddddddddde+XX".
    const QString e = QString::number(std::fabs(value), 'e', 14);
    const qsizetype ePos = e.indexOf(u'e');
    QString digits = e.left(1) + e.mid(2, ePos - 2);
    const int exponent = e.mid(ePos + 1).toInt();
    while (digits.size() > 1 && digits.endsWith(u'0'))
        digits.chop(1);

    QString out = value < 0 ? QStringLiteral("-") : QString();
    if (exponent >= 15 || exponent < -5) {
        out += digits.left(1);
        if (digits.size() > 1)
            out += DecimalSeparator + digits.mid(1);
        out += u'E';
        out += QString::number(exponent);
        return out;
    }
    if (exponent >= 0) {
        QString whole = digits.left(exponent + 1);
        while (whole.size() < exponent + 1)
            whole += u'0';
        out += whole;
        const QString frac = digits.mid(exponent + 1);
        if (!frac.isEmpty())
            out += DecimalSeparator + frac;
    } else {
        out += QStringLiteral("0") + DecimalSeparator + QString(-exponent - 1, u'0') + digits;
    }
    return out;
}

// --- TNewDravoField ---------------------------------------------------------------

TNewDravoField::TNewDravoField(const QString& name, QChar escapeChar, const EscapeCodeSet& escapeSet)
    : EscapeChar(escapeChar), EscapeSet(escapeSet), name_(name)
{
}

void TNewDravoField::changed()
{
    if (OnChange)
        OnChange(*this);
}

void TNewDravoField::fail(const char* accessor) const
{
    throw FieldConversionError(QString::fromLatin1(accessor) + QStringLiteral(" failed: ") + value_);
}

QString TNewDravoField::GetAsString() const { return UnescapeText(value_, EscapeChar); }

qint64 TNewDravoField::GetAsInt() const
{
    bool ok = false;
    const qint64 v = value_.toLongLong(&ok, 10);
    if (!ok)
        fail("GetAsInt");
    return v;
}

double TNewDravoField::GetAsFloat() const
{
    QString t = value_;
    t.replace(u',', u'.');
    bool ok = false;
    const double v = t.toDouble(&ok);
    if (!ok || !std::isfinite(v))
        fail("GetAsFloat");
    return v;
}

bool TNewDravoField::GetAsBool() const { return value_.toUpper() == QLatin1String("TRUE"); }

QDateTime TNewDravoField::GetAsDateTime() const
{
    const QString& s = value_;
    auto number = [&](int pos, int len) {
        int v = 0;
        for (int i = pos; i < pos + len; ++i) {
            const QChar c = s[i];
            if (c < u'0' || c > u'9')
                return -1;
            v = v * 10 + (c.unicode() - u'0');
        }
        return v;
    };
    if (s.size() < 23)
        fail("GetAsDateTime");
    const int year = number(0, 4), month = number(5, 2), day = number(8, 2);
    const int hour = number(11, 2), minute = number(14, 2), second = number(17, 2), msec = number(20, 3);
    if (!QDate::isValid(year, month, day) || !QTime::isValid(hour, minute, second, msec))
        fail("GetAsDateTime");
    const QDate date(year, month, day);
    const QTime time(hour, minute, second, msec);
    static const QDate dayZero(1899, 12, 30);
    if (date < dayZero)
        fail("GetAsDateTime");
    if (date == dayZero && time == QTime(0, 0))
        return {};
    QDateTime dt(date, time);
    if (!dt.isValid())
        fail("GetAsDateTime");
    return dt;
}

QByteArray TNewDravoField::GetAsBinary() const
{
    for (QChar c : value_)
        if (c.unicode() > 127)
            fail("GetAsBinary");
    auto decoded = QByteArray::fromBase64Encoding(value_.toLatin1(),
                                                  QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        fail("GetAsBinary");
    return *decoded;
}

QByteArray TNewDravoField::GetAsBytes() const
{
    const QString text = GetAsString();
    QByteArray out(text.size(), '\0');
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t code = text[i].unicode();
        if (code > 255)
            fail("GetAsBytes");
        out[i] = char(code);
    }
    return out;
}

void TNewDravoField::SetAsString(const QString& text)
{
    value_ = EscapeText(text, EscapeChar, EscapeSet);
    changed();
}

void TNewDravoField::SetAsInt(qint64 value)
{
    value_ = QString::number(value);
    changed();
}

void TNewDravoField::SetAsFloat(double value)
{
    value_ = FormatGeneralFloat(value);
    changed();
}

void TNewDravoField::SetAsBool(bool value)
{
    value_ = value ? QStringLiteral("TRUE") : QStringLiteral("FALSE");
    changed();
}

void TNewDravoField::SetAsDateTime(const QDateTime& value)
{
    if (!value.isValid()) {
        value_ = NoTimeText;
    } else {
        const QDateTime local = value.toLocalTime();
        const QDate d = local.date();
        const QTime t = local.time();
        value_ = QString::asprintf("%04d-%02d-%02d %02d:%02d:%02d.%03d", d.year(), d.month(), d.day(), t.hour(),
                                   t.minute(), t.second(), t.msec());
    }
    changed();
}

void TNewDravoField::SetAsBinary(const QByteArray& bytes)
{
    value_ = QString::fromLatin1(bytes.toBase64());
    changed();
}

void TNewDravoField::SetAsBytes(const QByteArray& bytes) { SetAsString(QString::fromLatin1(bytes)); }

void TNewDravoField::SetRawValue(const QString& stored)
{
    value_ = stored;
    changed();
}

// --- TNewDravoFieldList -----------------------------------------------------------

TNewDravoFieldList::TNewDravoFieldList() = default;
TNewDravoFieldList::~TNewDravoFieldList() = default;

void TNewDravoFieldList::Clear() { fields_.clear(); }

std::vector<std::unique_ptr<TNewDravoField>>::const_iterator TNewDravoFieldList::find(const QString& name,
                                                                                         bool* found) const
{
    auto it = std::lower_bound(fields_.begin(), fields_.end(), name, [](const auto& field, const QString& key) {
        return QString::compare(field->Name(), key, Qt::CaseInsensitive) < 0;
    });
    *found = it != fields_.end() && QString::compare((*it)->Name(), name, Qt::CaseInsensitive) == 0;
    return it;
}

bool TNewDravoFieldList::HasField(const QString& name) const
{
    bool found = false;
    find(name, &found);
    return found;
}

TNewDravoField& TNewDravoFieldList::FieldByName(const QString& name)
{
    bool found = false;
    auto it = find(name, &found);
    if (found)
        return **it;
    auto inserted = fields_.insert(it, std::make_unique<TNewDravoField>(name, EscapeChar, EscapeSet));
    return **inserted;
}

void TNewDravoFieldList::ParseFields(const QString& text)
{
    Clear();
    auto blank = [](QChar c) { return c.unicode() <= 32; };
    auto add = [this](const QString& item) {
        const qsizetype eq = item.indexOf(u'=');
        if (eq < 0)
            FieldByName(QString()).SetRawValue(item);
        else
            FieldByName(item.left(eq)).SetRawValue(item.mid(eq + 1));
    };
    const qsizetype n = text.size();
    qsizetype i = 0;
    while (i < n && blank(text[i]))
        ++i;
    while (i < n) {
        QString item;
        if (text[i] == u'"') {
            ++i;
            while (i < n) {
                if (text[i] == u'"') {
                    if (i + 1 < n && text[i + 1] == u'"') {
                        item += u'"';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                item += text[i++];
            }
        } else {
            const qsizetype start = i;
            while (i < n && !blank(text[i]) && text[i] != u',')
                ++i;
            item = text.mid(start, i - start);
        }
        add(item);
        while (i < n && blank(text[i]))
            ++i;
        if (i < n && text[i] == u',') {
            if (i + 1 == n)
                add(QString());
            ++i;
            while (i < n && blank(text[i]))
                ++i;
        }
    }
}

QString TNewDravoFieldList::guarded(const QString& text, QChar escapeChar) const
{
    // A raw value (or a received name) may hold a framing character; escaping it keeps
    // the frame intact and reads back as the same text.
    if (std::none_of(text.begin(), text.end(), [this](QChar c) { return isReserved(c); }))
        return text;
    EscapeCodeSet reserved;
    for (int code = 0; code < 256; ++code)
        reserved.set(size_t(code), isReserved(QChar(char16_t(code))));
    return EscapeText(text, escapeChar, reserved);
}

QString TNewDravoFieldList::BuildFields() const
{
    QString out;
    for (const auto& field : fields_) {
        if (!out.isEmpty())
            out += u',';
        QString item = guarded(field->Name(), EscapeChar) + u'=' + guarded(field->Value(), field->EscapeChar);
        item.replace(u'"', QStringLiteral("\"\""));
        out += u'"' + item + u'"';
    }
    return out;
}

} // namespace cvx
