#include "weather_device.h"

#include "json_reader.h"
#include "measures.h"

#include <QJsonObject>

#include <cmath>

namespace cvx::vbtsim {

namespace {

// Nibble addresses of the live values.
struct LiveValue {
    int measure;
    int address;
};
constexpr LiveValue kLive[] = {
    {1, 0x0346},  {2, 0x03FB},  {3, 0x05E2},  {8, 0x0373},  {9, 0x0419},  {10, 0x0529},
    {11, 0x052C}, {12, 0x03A0}, {13, 0x03CE}, {14, 0x04B4}, {15, 0x0497}, {16, 0x04D2},
};

double defaultValue(int measure)
{
    switch (measure) {
    case 1: return 22.3;
    case 2: return 41;
    case 3: return 1013.2;
    case 8: return 8.4;
    case 9: return 72;
    case 10: return 3.4;
    case 11: return 6;
    case 12: return 6.1;
    case 13: return 3.6;
    case 14: return 0.3;
    case 15: return 2.7;
    case 16: return 417.5;
    default: return 0;
    }
}

qint64 clampRound(double v, qint64 lo, qint64 hi) { return qBound(lo, qint64(std::llround(v)), hi); }

// What the station keeps of each value, as integers in its own resolution.
qint64 stationTemperature(double t) { return clampRound((t + 30) * 100, 0, 9999); } // BCD, 0.01 °C + 30
qint64 stationHumidity(double h) { return clampRound(h, 0, 99); }                 // BCD, whole %
qint64 stationPressure(double p) { return clampRound(p * 10, 0, 99999); }         // BCD, 0.1 hPa
qint64 stationWind(double v) { return clampRound(v * 10, 0, 4095); }              // binary, 0.1 m/s
qint64 stationDirection(double d) { return clampRound(d, 0, 15); }               // 22.5° steps
qint64 stationRain(double mm) { return clampRound(mm * 100, 0, 999999); }         // BCD, 0.01 mm

int le16(const QByteArray& a, int pos) { return quint8(a.at(pos)) | (quint8(a.at(pos + 1)) << 8); }

int bcd(int v) { return ((v / 10) % 10) << 4 | (v % 10); }

} // namespace

WeatherDevice::WeatherDevice(SimContext& ctx, JsonReader& cfg)
    : Device(ctx, cfg, 12), nibbles_(MemoryNibbles, 0)
{
    for (const LiveValue& l : kLive)
        curves_[l.measure] = Curve::constant(defaultValue(l.measure));
    const QJsonObject values = cfg.object("values");
    for (auto it = values.begin(); it != values.end(); ++it) {
        const MeasureType* m = measureTypeByName(it.key());
        if (!m || !curves_.contains(m->code))
            cfg.fail("values", QStringLiteral("a weather station has no \"%1\"").arg(it.key()));
        try {
            curves_[m->code] = Curve::fromJson(it.value());
        } catch (const std::runtime_error& e) {
            cfg.fail("values", QStringLiteral("\"%1\": %2").arg(it.key(), QString::fromStdString(e.what())));
        }
    }
    JsonReader h = cfg.child("history");
    intervalMinutes_ = h.integer("interval", 30, 1, 4096);
    const int records = h.integer("records", 48, 0, HistoryRecords);
    h.finish();

    // The records already stored: the newest at the present minute, the others one
    // interval apart before it.
    const QDateTime now = clock();
    const QDateTime minute(now.date(), QTime(now.time().hour(), now.time().minute()));
    for (int k = 0; k < records; ++k) {
        const qint64 back = qint64(records - 1 - k) * intervalMinutes_ * 60;
        writeRecord(k, ctx_.seconds() - double(back) - double(minute.secsTo(now)));
    }
    historyCount_ = records;
    newestIndex_ = records - 1;
    newestTime_ = records > 0 ? minute : QDateTime();
    writeSettings();
    historyTimer_ = ctx_.time.createTimer(intervalMinutes_ * 60'000, false, [this] { addHistoryRecord(); });
}

WeatherDevice::~WeatherDevice() = default;

void WeatherDevice::start() { historyTimer_->start(); }

std::optional<double> WeatherDevice::value(int measure, double seconds) const
{
    return curves_.value(measure).valueAt(seconds);
}

void WeatherDevice::putDigits(int address, qint64 value, int digits)
{
    for (int i = 0; i < digits; ++i) {
        nibbles_[address + i] = quint8(value % 10);
        value /= 10;
    }
}

void WeatherDevice::putBinary(int address, quint32 value, int nibbles)
{
    for (int i = 0; i < nibbles; ++i)
        nibbles_[address + i] = quint8((value >> (4 * i)) & 0x0F);
}

void WeatherDevice::writeLive(double seconds)
{
    for (const LiveValue& l : kLive) {
        const std::optional<double> v = value(l.measure, seconds);
        const int a = l.address;
        // A value the station has not got (a lost outdoor sensor) reads as 0xA nibbles.
        auto none = [&](int count) {
            for (int i = 0; i < count; ++i)
                nibbles_[a + i] = 0x0A;
        };
        switch (l.measure) {
        case 1:
        case 8:
        case 12:
        case 13: v ? putDigits(a, stationTemperature(*v), 4) : none(4); break;
        case 2:
        case 9: v ? putDigits(a, stationHumidity(*v), 2) : none(2); break;
        case 3:
            v ? putDigits(a, stationPressure(*v), 5) : none(5);
            nibbles_[a + 5] = 0;
            break;
        case 10:
            v ? putBinary(a, quint32(stationWind(*v)), 3) : none(3);
            break;
        case 11:
            nibbles_[a] = 0;
            nibbles_[a + 1] = v ? quint8(stationDirection(*v)) : 0x0A;
            break;
        default: v ? putDigits(a, stationRain(*v), 6) : none(6); break;
        }
    }
}

void WeatherDevice::writeRecord(int index, double seconds)
{
    auto get = [&](int measure) { return value(measure, seconds).value_or(defaultValue(measure)); };
    const int base = HistoryStart + RecordNibbles * index;
    const quint32 indoor = quint32(clampRound((get(1) + 30) * 10, 0, 999));
    const quint32 outdoor = quint32(clampRound((get(8) + 30) * 10, 0, 999));
    putBinary(base, outdoor * 1000 + indoor, 5);
    const double p = get(3);
    const quint32 px = quint32(clampRound(p >= 1000 ? (p - 1000) * 10 : p * 10, 0, 9999));
    putBinary(base + 5, quint32(stationHumidity(get(2))) * 10000 + px, 5);
    putDigits(base + 10, stationHumidity(get(9)), 2);
    putBinary(base + 12, quint32(clampRound(get(16), 0, 4095)), 3);
    putBinary(base + 15, quint32(stationWind(get(10))), 3);
    nibbles_[base + 18] = quint8(stationDirection(get(11)));
}

void WeatherDevice::writeSettings()
{
    auto putByte = [this](int i, int b) {
        nibbles_[HistorySettings + 2 * i] = quint8(b & 0x0F);
        nibbles_[HistorySettings + 2 * i + 1] = quint8((b >> 4) & 0x0F);
    };
    const int interval = intervalMinutes_ - 1;
    putByte(0, interval & 0xFF);
    putByte(1, (interval >> 8) & 0x0F);
    putByte(2, 0);
    const QDateTime t = newestTime_;
    putByte(3, t.isValid() ? bcd(t.time().minute()) : 0);
    putByte(4, t.isValid() ? bcd(t.time().hour()) : 0);
    putByte(5, t.isValid() ? bcd(t.date().day()) : 0);
    putByte(6, t.isValid() ? bcd(t.date().month()) : 0);
    putByte(7, t.isValid() ? bcd(t.date().year() - 2000) : 0);
    putByte(8, qMax(newestIndex_, 0));
    putByte(9, historyCount_);
}

void WeatherDevice::addHistoryRecord()
{
    const QDateTime now = clock();
    newestIndex_ = (newestIndex_ + 1) % HistoryRecords;
    historyCount_ = qMin(historyCount_ + 1, HistoryRecords);
    newestTime_ = QDateTime(now.date(), QTime(now.time().hour(), now.time().minute()));
    writeRecord(newestIndex_, ctx_.seconds());
    writeSettings();
}

QByteArray WeatherDevice::readMemory(int address, int count)
{
    writeLive(ctx_.seconds());
    QByteArray out(count, '\0');
    for (int i = 0; i < count; ++i)
        out[i] = char(nibbles_[address + 2 * i] | (nibbles_[address + 2 * i + 1] << 4));
    return out;
}

std::optional<Outcome> WeatherDevice::executeOwn(const QByteArray& payload, const QByteArray& mnemonic,
                                                 const ReplyRoute&)
{
    if (mnemonic != "CWSRM")
        return std::nullopt;
    if (payload.size() < 9)
        return Outcome::reject(StatusBadLength);
    const int address = le16(payload, 5);
    const int count = le16(payload, 7);
    QByteArray answer = QByteArrayLiteral("AWSRM");
    if (faults()[Fault::Broken].consume()) {
        answer += char(1); // the station does not answer the module
        return Outcome::answer(answer + payload.mid(5, 2));
    }
    if (count > 1000 || address + 2 * count > MemoryNibbles) {
        answer += char(2); // outside the station's memory
        return Outcome::answer(answer + payload.mid(5, 2));
    }
    answer += char(0);
    answer += payload.mid(5, 2);
    answer += readMemory(address, count);
    return Outcome::answer(answer);
}

std::optional<QByteArray> WeatherDevice::dataAt(double seconds) const
{
    // The values as the computer assembles them from the memory reads, laid out like
    // the measurement data of sensor type 12.
    QByteArray data;
    for (const LayoutSlot& s : sensorLayout(12)) {
        const MeasureType& m = *measureType(s.measure);
        const std::optional<double> v = value(s.measure, seconds);
        qint64 raw = NoValueRaw;
        if (v) {
            switch (s.measure) {
            case 1:
            case 8:
            case 12:
            case 13: raw = stationTemperature(*v) - 3000; break;
            case 2:
            case 9: raw = stationHumidity(*v) * 10; break;
            case 3: raw = stationPressure(*v) * 100; break;
            case 10: raw = qint64(std::nearbyint(double(stationWind(*v)) * 3.6)); break;
            case 11: raw = stationDirection(*v); break;
            default: raw = stationRain(*v); break;
            }
        }
        putRaw(data, s.position, m.bytes, raw);
    }
    return data;
}

QString WeatherDevice::setValue(const QString& key, const QString& text)
{
    const MeasureType* m = measureTypeByName(key);
    if (!m || !curves_.contains(m->code))
        return QStringLiteral("%1 (weather station) has no \"%2\"").arg(name(), key);
    try {
        curves_[m->code] = Curve::fromText(text);
    } catch (const std::runtime_error& e) {
        return QString::fromStdString(e.what());
    }
    logInfo(QStringLiteral("%1 := %2").arg(QLatin1String(m->shortName), curves_[m->code].describe()));
    return {};
}

QString WeatherDevice::runCommand(const QString& verb, const QStringList& args, QStringList* out)
{
    if (verb == QLatin1String("measure")) {
        addHistoryRecord();
        out->append(QStringLiteral("history record %1 of %2").arg(newestIndex_).arg(historyCount_));
        return {};
    }
    return Device::runCommand(verb, args, out);
}

QStringList WeatherDevice::statusLines() const
{
    QStringList out = Device::statusLines();
    const double t = ctx_.seconds();
    QStringList values;
    for (const LiveValue& l : kLive) {
        const auto v = value(l.measure, t);
        values << QStringLiteral("%1=%2").arg(QLatin1String(measureType(l.measure)->shortName),
                                              v ? QString::number(*v) : QStringLiteral("none"));
    }
    out << QStringLiteral("    values: %1").arg(values.join(QStringLiteral(", ")));
    out << QStringLiteral("    history: %1 record(s) every %2 min, newest #%3 at %4")
               .arg(historyCount_)
               .arg(intervalMinutes_)
               .arg(newestIndex_)
               .arg(newestTime_.isValid() ? newestTime_.toString(QStringLiteral("yyyy-MM-dd hh:mm")) : QStringLiteral("-"));
    return out;
}

} // namespace cvx::vbtsim
