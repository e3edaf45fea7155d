#include "safe_format.h"

#include "catalogue.h"
#include "logs.h"

#include <QLocale>

namespace cvx {

namespace {

bool isIntegral(const QVariant& v)
{
    switch (v.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
        return true;
    default:
        return false;
    }
}

bool isNumeric(const QVariant& v)
{
    return isIntegral(v) || v.typeId() == QMetaType::Double || v.typeId() == QMetaType::Float;
}

QString pad(const QString& s, int width, bool left)
{
    if (width <= s.size())
        return s;
    const QString fill(width - s.size(), u' ');
    return left ? s + fill : fill + s;
}

// Numbers follow the process conventions: decimal comma, thousands separated by blanks.
QString fixedText(double v, int prec)
{
    QString s = QString::number(v, 'f', prec);
    s.replace(u'.', u',');
    return s;
}

} // namespace

std::optional<QString> FormatChecked(const QString& format, const QVariantList& args)
{
    QString out;
    out.reserve(format.size() + 16);
    int argIndex = 0;
    const int n = format.size();
    for (int i = 0; i < n; ++i) {
        const QChar c = format[i];
        if (c != u'%') {
            out += c;
            continue;
        }
        if (++i >= n)
            return std::nullopt;
        if (format[i] == u'%') {
            out += u'%';
            continue;
        }
        // %[index:][-][width][.prec]type
        auto readNumber = [&](int& value) -> bool {
            if (i < n && format[i] == u'*') {
                if (argIndex >= args.size() || !isIntegral(args[argIndex]))
                    return false;
                value = args[argIndex++].toInt();
                ++i;
                return true;
            }
            int start = i;
            while (i < n && format[i].isDigit())
                ++i;
            if (i > start)
                value = format.mid(start, i - start).toInt();
            return true;
        };
        int number = -1;
        if (!readNumber(number))
            return std::nullopt;
        if (i < n && format[i] == u':') {
            if (number < 0)
                number = 0;
            argIndex = number;
            number = -1;
            ++i;
        }
        bool left = false;
        if (number < 0 && i < n && format[i] == u'-') {
            left = true;
            ++i;
        }
        int width = -1;
        if (number >= 0)
            width = number;
        else if (!readNumber(width))
            return std::nullopt;
        int prec = -1;
        if (i < n && format[i] == u'.') {
            ++i;
            prec = 0;
            if (!readNumber(prec))
                return std::nullopt;
        }
        if (i >= n)
            return std::nullopt;
        const QChar type = format[i].toLower();
        if (argIndex >= args.size())
            return std::nullopt;
        const QVariant& a = args[argIndex++];
        QString piece;
        switch (type.unicode()) {
        case 'd':
        case 'u': {
            if (!isIntegral(a))
                return std::nullopt;
            qint64 v = a.toLongLong();
            if (type == u'u' && v < 0)
                v = qint64(quint32(v));
            QString digits = QString::number(v < 0 ? -v : v);
            if (prec > digits.size())
                digits = QString(prec - digits.size(), u'0') + digits;
            piece = (v < 0 ? QStringLiteral("-") : QString()) + digits;
            break;
        }
        case 'x': {
            if (!isIntegral(a))
                return std::nullopt;
            QString digits = QString::number(a.toULongLong() & 0xFFFFFFFFFFFFFFFFull, 16).toUpper();
            if (prec > digits.size())
                digits = QString(prec - digits.size(), u'0') + digits;
            piece = digits;
            break;
        }
        case 'f':
        case 'n':
        case 'm': {
            if (!isNumeric(a))
                return std::nullopt;
            piece = fixedText(a.toDouble(), prec < 0 ? 2 : prec);
            if (type == u'n') {
                // thousands separated by blanks
                const int comma = piece.indexOf(u',');
                int intEnd = comma < 0 ? piece.size() : comma;
                const int intStart = piece.startsWith(u'-') ? 1 : 0;
                for (int k = intEnd - 3; k > intStart; k -= 3)
                    piece.insert(k, u' ');
            }
            break;
        }
        case 'e': {
            if (!isNumeric(a))
                return std::nullopt;
            piece = QString::number(a.toDouble(), 'E', prec < 0 ? 14 : qMax(0, prec - 1));
            piece.replace(u'.', u',');
            break;
        }
        case 'g': {
            if (!isNumeric(a))
                return std::nullopt;
            piece = QString::number(a.toDouble(), 'g', prec < 0 ? 15 : prec);
            piece.replace(u'.', u',');
            break;
        }
        case 's': {
            if (!a.canConvert<QString>())
                return std::nullopt;
            piece = a.toString();
            if (prec >= 0 && piece.size() > prec)
                piece.truncate(prec);
            break;
        }
        case 'p': {
            if (!isIntegral(a))
                return std::nullopt;
            piece = QStringLiteral("%1").arg(a.toULongLong(), 8, 16, QLatin1Char('0')).toUpper();
            break;
        }
        default:
            return std::nullopt;
        }
        out += pad(piece, width, left);
    }
    return out;
}

QString SafeFormatV(const QString& format, const QVariantList& args)
{
    if (auto r = FormatChecked(format, args))
        return *r;
    LogLine(Msg(QStringLiteral("msgBadTranslationString")) + QStringLiteral("\r\n") + format, true);
    return format;
}

} // namespace cvx
