#pragma once
// The fixed tables that give meaning to the type codes stored in the database:
// measure types 1..20, sensor types 1..15 (and which measure types each carries),
// server types 1..7 and protocol types 1..4.

#include <QString>

#include <array>
#include <cstdint>

namespace cvx {

constexpr int MeasureTypeCount = 20;
// Raw 20000 and value 20000.0 mean "no valid value" everywhere.
constexpr int NoValueMarker = 20000;
constexpr double NoValue = 20000.0;

enum MeasureType : int {
    mtT = 1, mtH, mtP, mtAV, mtRState, mtWState, mtU, mtTOutd, mtHOutd, mtWndSp, mtWndDir, mtWndCh,
    mtDewp, mtRain1h, mtRain24h, mtRainTot, mtUe, mtTAv, mtTMin, mtTMax
};

struct MeasureTypeInfo {
    int code;
    const char* catalogueKey;   // display text
    const char* shortName;      // column heads of the measurement text log
    int bytes;                  // width inside measurement data
    int factor;                 // raw = value * factor
    int decimals;
    bool checked;               // false: any raw value is plausible
    int minRaw, maxRaw;         // inclusive plausible raw range when checked
    const char* unit;
};

// Index 1..20; entry 0 is unused.
const MeasureTypeInfo& measureType(int code);
bool isValidMeasureType(int code);
// Whether a raw value lies inside the plausible range of the measure type.
bool isPlausibleRaw(int code, qint64 raw);

enum SensorType : int {
    stCabledTemperature = 1, stTemperature, stPT100, stTempHumidity, stTempHumidityPressure, stUPS, stAirSpeed,
    stRelayPanel, stInputPanel, stMoisture, stVoltage, stWeatherStation, stSerialRelay, stDAC, stSNMPClimate
};
constexpr int SensorTypeCount = 15;
constexpr int InterfaceSensorType = -1;

bool isValidSensorType(int code);
// Whether sensor type st carries measure type mt (read or computed).
bool sensorCarries(int sensorType, int measureType);
// Relay panels, input panels and serial relay controllers.
inline bool isRelaySensorType(int st) { return st == stRelayPanel || st == stInputPanel || st == stSerialRelay; }
// 1-based start position of a measure type inside the measurement data of a sensor
// type; 0 when the type has no such value there.
int dataStartPosition(int sensorType, int measureType);
QString sensorTypeText(int code);

enum ServerType : int {
    svDeviceServer = 1, svOnlineBridge, svBridgeWithLogger, svSerialBridge, svEthernetBridge, svSerialBridgeWithLogger,
    svPT100DeviceServer
};
bool isValidServerType(int code);
bool serverUsesSerialPort(int serverType);   // 4 and 6
bool serverHasDataLogger(int serverType);    // 3 and 6
QString serverTypeText(int code);

enum ProtocolType : int { ptVBT = 1, ptDOV = 2, ptSNMP = 3, ptVBTW = 4 };
bool isValidProtocolType(int code);
QString protocolTypeText(int code);

QString measureTypeText(int code);

} // namespace cvx
