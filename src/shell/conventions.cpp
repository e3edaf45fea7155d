#include "conventions.h"

namespace cvx {

QString FormatShortDate(const QDate& d) { return d.toString(QStringLiteral("yyyy.MM.dd.")); }

QString FormatLongTime(const QTime& t) { return t.toString(QStringLiteral("hh:mm:ss")); }

QString FormatDateTimeText(const QDateTime& dt)
{
    return FormatShortDate(dt.date()) + u' ' + FormatLongTime(dt.time());
}

QString FormatDecimal(double value, int decimals)
{
    QString s = QString::number(value, 'f', decimals);
    if (s.startsWith(u'-')) {
        // "-0,00" reads as a sign error to users.
        bool allZero = true;
        for (QChar c : s.mid(1))
            if (c != u'0' && c != u'.')
                allZero = false;
        if (allZero)
            s.remove(0, 1);
    }
    s.replace(u'.', DecimalSeparator);
    return s;
}

bool ParseDecimal(const QString& text, double* out)
{
    QString t = text.trimmed();
    t.replace(u',', u'.');
    bool ok = false;
    const double v = t.toDouble(&ok);
    if (ok && out)
        *out = v;
    return ok;
}

} // namespace cvx
