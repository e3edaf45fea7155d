#include "store/measure_reader.h"

#include "store/measure_cipher.h"
#include "store/sql_connection.h"
#include "store/sql_query.h"

namespace cvx {

QString MeasureRangeSql()
{
    return QStringLiteral("SELECT Measure_id, Measure_value, Measure_datetime FROM Measure WHERE "
                          "Measure_type_code=:mtc AND Probe_id=:pid AND Measure_datetime>=:dt1 AND "
                          "Measure_datetime<=:dt2 ORDER BY Measure_datetime");
}

namespace {

inline int digits(const QChar* p, int n, bool* ok)
{
    int v = 0;
    for (int i = 0; i < n; ++i) {
        const char16_t c = p[i].unicode();
        if (c < u'0' || c > u'9') {
            *ok = false;
            return 0;
        }
        v = v * 10 + (c - u'0');
    }
    return v;
}

} // namespace

QDateTime ParseStoredDateTime(const QVariant& value)
{
    if (value.typeId() == QMetaType::QDateTime)
        return value.toDateTime();
    const QString s = value.toString();
    // The fixed form every engine stores: parsed by hand, it is read a million times a graph.
    if (s.size() >= 19 && s[4] == u'-' && s[7] == u'-' && (s[10] == u' ' || s[10] == u'T') && s[13] == u':'
        && s[16] == u':') {
        bool ok = true;
        const QChar* p = s.constData();
        const int y = digits(p, 4, &ok), mo = digits(p + 5, 2, &ok), d = digits(p + 8, 2, &ok);
        const int h = digits(p + 11, 2, &ok), mi = digits(p + 14, 2, &ok), sec = digits(p + 17, 2, &ok);
        int ms = 0;
        if (s.size() >= 23 && s[19] == u'.')
            ms = digits(p + 20, 3, &ok);
        if (ok) {
            // The local time zone's offset is looked up once per hour of data: each
            // look-up costs the C library a file-system call.
            thread_local QDate cachedDate;
            thread_local int cachedHour = -1;
            thread_local int cachedOffset = 0;
            const QDate date(y, mo, d);
            if (date != cachedDate || h != cachedHour) {
                const QDateTime probe(date, QTime(h, 0));
                if (!probe.isValid())
                    return QDateTime(date, QTime(h, mi, sec, ms));
                cachedOffset = probe.offsetFromUtc();
                cachedDate = date;
                cachedHour = h;
            }
            return QDateTime(date, QTime(h, mi, sec, ms), Qt::OffsetFromUTC, cachedOffset);
        }
    }
    QDateTime dt = QDateTime::fromString(s, Qt::ISODateWithMs);
    return dt.isValid() ? dt : QDateTime::fromString(s, Qt::ISODate);
}

bool ReadMeasureRange(TpSQLConnection& connection, int probeId, int measureTypeCode, const QDateTime& from,
                      const QDateTime& to, const QString& dbPassword,
                      const std::function<bool(const MeasurePoint&)>& sink, QString* error, qint64* skipped)
{
    TpSQLQuery q(&connection, MeasureRangeSql());
    q.ForwardOnly = true;
    q.SetParam(QStringLiteral("mtc"), measureTypeCode);
    q.SetParam(QStringLiteral("pid"), probeId);
    q.SetParam(QStringLiteral("dt1"), from);
    q.SetParam(QStringLiteral("dt2"), to);
    if (!q.Open(error))
        return false;
    qint64 skip = 0;
    for (; !q.Eof(); q.Next()) {
        MeasurePoint p;
        p.id = q.Value(0).toLongLong();
        QString text = q.Value(1).toString();
        bool ok = true;
        if (!dbPassword.isEmpty())
            text = DecipherMeasureValue(dbPassword, p.id, text, &ok);
        if (ok)
            p.raw = text.trimmed().toLongLong(&ok);
        if (!ok) {
            ++skip;
            continue;
        }
        p.time = ParseStoredDateTime(q.Value(2));
        if (!sink(p))
            break;
    }
    if (skipped)
        *skipped = skip;
    return true;
}

} // namespace cvx
