#pragma once
// Decoding of measurement data and the derived values computed from it.

#include <QByteArray>

namespace cvx {

class TProbe;

// The data is eight bytes 0xFF: a device whose measuring element is broken.
bool IsBrokenMeasurementData(const QByteArray& data);

// One measure type (1..16) out of measurement data, at its position for the sensor
// type and with its width: one byte signed, two bytes signed little-endian, four bytes
// 32-bit little-endian; value = raw / factor. Relay states (sensor types 8, 9, 13)
// become 0 or 1, inverted with InvertRelay. False (raw 20000, value 20000.0) when the
// data is eight bytes 0xFF, the type has no such value or the data is too short.
bool DecodeValue(const TProbe& sensor, const QByteArray& data, int measureType, qint64* raw, double* value);

// Equilibrium moisture of wood, in percent, from temperature (°C) and relative
// humidity (%).
double EquilibriumMoisture(double temperature, double humidity);

// Rounds to the nearest integer, ties to even (the rule for every computed raw value).
qint64 RoundHalfEven(double value);

} // namespace cvx
