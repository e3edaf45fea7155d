#pragma once
// What a measuring device sends: measure types with their widths and factors, and the
// position of each value inside the measurement data, per sensor type.

#include <QByteArray>
#include <QString>
#include <QVector>

#include <optional>

namespace cvx::vbtsim {

struct MeasureType {
    int code;
    const char* shortName;
    int bytes;
    int factor;
};

// Measure types 1..20; nullptr outside.
const MeasureType* measureType(int code);
// By short name ("T", "H", "WndSp"...), ignoring case.
const MeasureType* measureTypeByName(const QString& name);

struct LayoutSlot {
    int measure;  // measure type code
    int position; // 1-based start in the measurement data
};

// The values a device of this sensor type sends, in position order. Types 2 and 3 carry
// a humidity slot only when withHumidity is set (some of those devices report one).
QVector<LayoutSlot> sensorLayout(int sensorType, bool withHumidity = false);
bool isKnownSensorType(int sensorType);
int layoutLength(const QVector<LayoutSlot>& layout);

// Raw value of a measure: value x factor rounded, or the no-value mark 20000.
qint64 rawFromValue(const MeasureType& m, std::optional<double> value);
// Writes raw little-endian into data at a 1-based position (data grows as needed).
void putRaw(QByteArray& data, int position, int bytes, qint64 raw);

constexpr qint64 NoValueRaw = 20000;

} // namespace cvx::vbtsim
