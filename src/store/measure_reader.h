#pragma once
// Reading stored measurements for graphs, exports and the temperature window: one
// sensor's measure type over a time range, in time order, through the index on
// (Measure_type_code, Probe_id, Measure_datetime). Usable from a worker thread on a
// connection opened in that thread (a clone of the main connection).

#include <QDateTime>
#include <QString>

#include <functional>

namespace cvx {

class TpSQLConnection;

struct MeasurePoint {
    qint64 id = 0;
    // Local time, with the UTC offset the local zone had in that hour.
    QDateTime time;
    qint64 raw = 0; // stored integer: physical value x precision
};

// The statement the range read runs (parameters :mtc, :pid, :dt1, :dt2; both ends included).
QString MeasureRangeSql();

// Calls sink for every row whose value is (after deciphering with dbPassword, when
// given) an integer; other rows are skipped and counted in skipped. The sink returns
// false to stop early. False on a database error (text in error).
bool ReadMeasureRange(TpSQLConnection& connection, int probeId, int measureTypeCode, const QDateTime& from,
                      const QDateTime& to, const QString& dbPassword,
                      const std::function<bool(const MeasurePoint&)>& sink, QString* error = nullptr,
                      qint64* skipped = nullptr);

// Parses the stored date-time text ("yyyy-MM-dd HH:mm:ss[.zzz]", also with "T").
QDateTime ParseStoredDateTime(const QVariant& value);

} // namespace cvx
