#include "measures.h"

#include <cmath>

namespace cvx::vbtsim {

namespace {

const MeasureType kMeasures[] = {
    {1, "T", 2, 100},      {2, "H", 2, 10},         {3, "P", 4, 1000},        {4, "AV", 2, 100},
    {5, "RState", 1, 1},   {6, "WState", 1, 1},     {7, "U", 2, 1},           {8, "TOutd", 2, 100},
    {9, "HOutd", 2, 10},   {10, "WndSp", 2, 10},    {11, "WndDir", 1, 1},     {12, "WndCh", 2, 100},
    {13, "Dewp", 2, 100},  {14, "Rain1h", 4, 100},  {15, "Rain24h", 4, 100},  {16, "RainTot", 4, 100},
    {17, "Ue", 2, 100},    {18, "TAv", 2, 100},     {19, "TMin", 2, 100},     {20, "TMax", 2, 100},
};

} // namespace

const MeasureType* measureType(int code)
{
    if (code < 1 || code > 20)
        return nullptr;
    return &kMeasures[code - 1];
}

const MeasureType* measureTypeByName(const QString& name)
{
    for (const MeasureType& m : kMeasures)
        if (name.compare(QLatin1String(m.shortName), Qt::CaseInsensitive) == 0)
            return &m;
    return nullptr;
}

bool isKnownSensorType(int t) { return t >= 1 && t <= 15; }

QVector<LayoutSlot> sensorLayout(int sensorType, bool withHumidity)
{
    switch (sensorType) {
    case 1: return {{1, 1}};
    case 2:
    case 3:
        if (withHumidity)
            return {{1, 1}, {2, 3}};
        return {{1, 1}};
    case 4:
    case 15: return {{1, 1}, {2, 3}};
    case 5: return {{1, 1}, {2, 3}, {3, 5}};
    case 7: return {{4, 1}};
    case 8:
    case 9:
    case 13: return {{5, 1}};
    case 10: return {{1, 1}, {6, 5}};
    case 11: return {{7, 1}};
    case 12:
        return {{1, 1},   {2, 3},   {3, 5},   {8, 9},   {9, 11},  {10, 13},
                {11, 15}, {12, 16}, {13, 18}, {14, 20}, {15, 24}, {16, 28}};
    default: return {};
    }
}

int layoutLength(const QVector<LayoutSlot>& layout)
{
    int n = 0;
    for (const LayoutSlot& s : layout)
        n = qMax(n, s.position - 1 + measureType(s.measure)->bytes);
    return n;
}

qint64 rawFromValue(const MeasureType& m, std::optional<double> value)
{
    if (!value)
        return NoValueRaw;
    return qint64(std::llround(*value * m.factor));
}

void putRaw(QByteArray& data, int position, int bytes, qint64 raw)
{
    const int at = position - 1;
    if (data.size() < at + bytes)
        data.resize(at + bytes, '\0');
    for (int i = 0; i < bytes; ++i)
        data[at + i] = char((quint64(raw) >> (8 * i)) & 0xFF);
}

} // namespace cvx::vbtsim
