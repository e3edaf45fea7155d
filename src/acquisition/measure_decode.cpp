#include "measure_decode.h"

#include "code_tables.h"
#include "probe.h"

#include <algorithm>
#include <cmath>

namespace cvx {

namespace {

constexpr qsizetype MaxDataBytes = 254;

} // namespace

bool IsBrokenMeasurementData(const QByteArray& data)
{
    if (data.size() != 8)
        return false;
    for (char c : data)
        if (quint8(c) != 0xFF)
            return false;
    return true;
}

bool DecodeValue(const TProbe& sensor, const QByteArray& data, int l, qint64* raw, double* value)
{
    *raw = NoValueMarker;
    *value = NoValue;
    if (IsBrokenMeasurementData(data))
        return false;
    const int p = dataStartPosition(sensor.SensorType, l);
    if (p <= 0)
        return false;
    const MeasureTypeInfo& m = measureType(l);
    const qsizetype available = std::min(data.size(), MaxDataBytes);
    if (available - (p - 1) < m.bytes)
        return false;
    const auto* b = reinterpret_cast<const quint8*>(data.constData()) + (p - 1);
    qint64 r = 0;
    switch (m.bytes) {
    case 1:
        r = qint8(b[0]);
        break;
    case 2:
        r = qint16(quint16(b[0] | (b[1] << 8)));
        break;
    default:
        r = qint32(quint32(b[0]) | (quint32(b[1]) << 8) | (quint32(b[2]) << 16) | (quint32(b[3]) << 24));
        break;
    }
    if (isRelaySensorType(sensor.SensorType)) {
        const bool on = r != 0;
        r = (on != sensor.InvertRelay) ? 1 : 0;
        *raw = r;
        *value = double(r);
        return true;
    }
    *raw = r;
    *value = double(r) / double(m.factor);
    return true;
}

double EquilibriumMoisture(double t, double humidity)
{
    const double h = humidity / 100.0;
    const double w = 349 + 1.29 * t + 0.0134 * t * t;
    const double k = 0.805 + 0.000736 * t - 0.00000273 * t * t;
    const double k1 = 6.27 - 0.00938 * t - 0.000303 * t * t;
    const double k2 = 1.91 + 0.0407 * t - 0.000293 * t * t;
    const double kh = k * h;
    return 1800 / w * (kh / (1 - kh) + (k1 * kh + 2 * k1 * k2 * kh * kh) / (1 + k1 * kh + k1 * k2 * kh * kh));
}

qint64 RoundHalfEven(double value)
{
    const double r = std::nearbyint(value); // the default rounding mode: to nearest, ties to even
    if (!std::isfinite(r))
        return NoValueMarker;
    constexpr double limit = 9.0e15; // far beyond any plausible raw value, inside qint64
    return qint64(std::clamp(r, -limit, limit));
}

} // namespace cvx
