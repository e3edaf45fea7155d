#include "code_tables.h"

#include "shell/catalogue.h"

namespace cvx {

namespace {

constexpr MeasureTypeInfo kMeasureTypes[MeasureTypeCount + 1] = {
    {0, "", "", 0, 1, 0, false, 0, 0, ""},
    {1, "labMeasureTypeCode1", "T", 2, 100, 2, true, -9900, 12400, "°C"},
    {2, "labMeasureTypeCode2", "H", 2, 10, 1, true, 0, 1000, "%"},
    {3, "labMeasureTypeCode3", "P", 4, 1000, 3, true, 14500, 1160000, "kpa"},
    {4, "labMeasureTypeCode4", "AV", 2, 100, 2, true, 0, 400, "m/s"},
    {5, "labMeasureTypeCode5", "RState", 1, 1, 0, true, 0, 255, "[0: ki]"},
    {6, "labMeasureTypeCode6", "WState", 1, 1, 0, false, 0, 0, "[0: nincs]"},
    {7, "labMeasureTypeCode7", "U", 2, 1, 0, false, 0, 0, "V"},
    {8, "labMeasureTypeCode8", "TOutd", 2, 100, 2, false, 0, 0, "°C"},
    {9, "labMeasureTypeCode9", "HOutd", 2, 10, 1, false, 0, 0, "%"},
    {10, "labMeasureTypeCode10", "WndSp", 2, 10, 1, false, 0, 0, "m/s"},
    {11, "labMeasureTypeCode11", "WndDir", 1, 1, 0, false, 0, 0, "[x 22.5°]"},
    {12, "labMeasureTypeCode12", "WndCh", 2, 100, 2, false, 0, 0, "°C"},
    {13, "labMeasureTypeCode13", "Dewp", 2, 100, 2, false, 0, 0, "°C"},
    {14, "labMeasureTypeCode14", "Rain1h", 4, 100, 2, false, 0, 0, "mm"},
    {15, "labMeasureTypeCode15", "Rain24h", 4, 100, 2, false, 0, 0, "mm"},
    {16, "labMeasureTypeCode16", "RainTot", 4, 100, 2, false, 0, 0, "mm"},
    {17, "labMeasureTypeCode17", "Ue", 2, 100, 2, true, 0, 10000, "%"},
    {18, "labMeasureTypeCode18", "TAv", 2, 100, 2, true, -9900, 12400, "°C"},
    {19, "labMeasureTypeCode19", "TMin", 2, 100, 2, true, -9900, 12400, "°C"},
    {20, "labMeasureTypeCode20", "TMax", 2, 100, 2, true, -9900, 12400, "°C"},
};

// Bit l set: the sensor type carries measure type l.
constexpr std::uint32_t bit(int l) { return 1u << l; }
constexpr std::uint32_t kTempDerived = bit(mtTAv) | bit(mtTMin) | bit(mtTMax);
constexpr std::uint32_t kCarries[SensorTypeCount + 1] = {
    0,
    bit(mtT) | kTempDerived,                                     // 1 cabled temperature
    bit(mtT) | kTempDerived,                                     // 2 temperature
    bit(mtT) | kTempDerived,                                     // 3 PT100
    bit(mtT) | bit(mtH) | bit(mtUe) | kTempDerived,              // 4 temperature + humidity
    bit(mtT) | bit(mtH) | bit(mtP) | bit(mtUe) | kTempDerived,   // 5 + pressure
    0,                                                           // 6 UPS
    bit(mtAV),                                                   // 7 air speed
    bit(mtRState),                                               // 8 relay panel
    bit(mtRState),                                               // 9 input panel
    bit(mtT) | bit(mtWState) | kTempDerived,                     // 10 moisture
    bit(mtU),                                                    // 11 voltage
    bit(mtT) | bit(mtH) | bit(mtP) | bit(mtTOutd) | bit(mtHOutd) | bit(mtWndSp) | bit(mtWndDir) | bit(mtWndCh)
        | bit(mtDewp) | bit(mtRain1h) | bit(mtRain24h) | bit(mtRainTot) | bit(mtUe) | kTempDerived, // 12 weather
    bit(mtRState),                                               // 13 serial relay controller
    0,                                                           // 14 DAC
    bit(mtT) | bit(mtH) | bit(mtUe) | kTempDerived,              // 15 SNMP climate
};

struct Position {
    int measureType;
    int start;
};

} // namespace

const MeasureTypeInfo& measureType(int code)
{
    return isValidMeasureType(code) ? kMeasureTypes[code] : kMeasureTypes[0];
}

bool isValidMeasureType(int code) { return code >= 1 && code <= MeasureTypeCount; }

bool isPlausibleRaw(int code, qint64 raw)
{
    const MeasureTypeInfo& m = measureType(code);
    return !m.checked || (raw >= m.minRaw && raw <= m.maxRaw);
}

bool isValidSensorType(int code) { return code >= 1 && code <= SensorTypeCount; }

bool sensorCarries(int sensorType, int measureType)
{
    return isValidSensorType(sensorType) && isValidMeasureType(measureType)
        && (kCarries[sensorType] & bit(measureType)) != 0;
}

int dataStartPosition(int sensorType, int mt)
{
    switch (sensorType) {
    case 1:
        return mt == mtT ? 1 : 0;
    case 2:
    case 3:
    case 15:
        return mt == mtT ? 1 : mt == mtH ? 3 : 0;
    case 4:
        return mt == mtT ? 1 : mt == mtH ? 3 : mt == mtUe ? 5 : 0;
    case 5:
        return mt == mtT ? 1 : mt == mtH ? 3 : mt == mtP ? 5 : mt == mtUe ? 9 : 0;
    case 7:
        return mt == mtAV ? 1 : 0;
    case 8:
    case 9:
    case 13:
        return mt == mtRState ? 1 : 0;
    case 10:
        return mt == mtT ? 1 : mt == mtWState ? 5 : 0;
    case 11:
        return mt == mtU ? 1 : 0;
    case 12: {
        static constexpr Position weather[] = {{mtT, 1},      {mtH, 3},       {mtP, 5},        {mtTOutd, 9},
                                               {mtHOutd, 11}, {mtWndSp, 13},  {mtWndDir, 15},  {mtWndCh, 16},
                                               {mtDewp, 18},  {mtRain1h, 20}, {mtRain24h, 24}, {mtRainTot, 28},
                                               {mtUe, 32}};
        for (const Position& p : weather)
            if (p.measureType == mt)
                return p.start;
        return 0;
    }
    default:
        return 0;
    }
}

bool isValidServerType(int code) { return code >= 1 && code <= 7; }
bool serverUsesSerialPort(int serverType) { return serverType == 4 || serverType == 6; }
bool serverHasDataLogger(int serverType) { return serverType == 3 || serverType == 6; }
bool isValidProtocolType(int code) { return code >= 1 && code <= 4; }

QString measureTypeText(int code)
{
    return isValidMeasureType(code) ? Msg(kMeasureTypes[code].catalogueKey) : QString();
}

QString sensorTypeText(int code)
{
    return isValidSensorType(code) ? Msg(QStringLiteral("labSensorTypeCode%1").arg(code)) : QString();
}

QString serverTypeText(int code)
{
    return isValidServerType(code) ? Msg(QStringLiteral("labServerTypeCode%1").arg(code)) : QString();
}

QString protocolTypeText(int code)
{
    return isValidProtocolType(code) ? Msg(QStringLiteral("labProtocolTypeCode%1").arg(code)) : QString();
}

} // namespace cvx
