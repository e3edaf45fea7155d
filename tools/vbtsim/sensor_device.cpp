#include "sensor_device.h"

#include "json_reader.h"

#include <QJsonObject>

namespace cvx::vbtsim {

namespace {

double defaultValue(int measure)
{
    switch (measure) {
    case 1: return 21.5;
    case 2: return 45.0;
    case 3: return 1013.25;
    case 4: return 0.5;
    case 7: return 230;
    case 8: return 10.0;
    case 9: return 60.0;
    case 10: return 3.0;
    case 11: return 4;
    case 12: return 8.0;
    case 13: return 5.0;
    case 15: return 1.2;
    case 16: return 250.0;
    default: return 0;
    }
}

qint16 le16(const QByteArray& a, int pos) { return qint16(quint8(a.at(pos)) | (quint8(a.at(pos + 1)) << 8)); }

// "R3", "relay3" or "input3" -> 3; 0 when the key names no relay.
int relayNumber(const QString& key)
{
    for (const char* prefix : {"relay", "input", "r"}) {
        if (!key.startsWith(QLatin1String(prefix), Qt::CaseInsensitive))
            continue;
        bool ok = false;
        const int n = key.mid(int(qstrlen(prefix))).toInt(&ok);
        return ok ? n : 0;
    }
    return 0;
}

} // namespace

int calibrationAddress(int measureType)
{
    switch (measureType) {
    case 1: return 10;
    case 2: return 12;
    case 3: return 8;
    case 4: return 14;
    default: return -1;
    }
}

SensorDevice::SensorDevice(SimContext& ctx, JsonReader& cfg, int sensorType)
    : Device(ctx, cfg, sensorType), type_(sensorType)
{
    // Calibration offsets start at zero unless the scenario preset them.
    for (int m = 1; m <= 4; ++m) {
        const int at = calibrationAddress(m);
        if (quint8(params().at(at)) == 0xFF && quint8(params().at(at + 1)) == 0xFF) {
            params()[at] = 0;
            params()[at + 1] = 0;
        }
    }
    const QJsonObject values = cfg.object("values");
    const bool withHumidity = (type_ == 2 || type_ == 3) && values.contains(QLatin1String("H"));
    layout_ = sensorLayout(type_, withHumidity);
    for (const LayoutSlot& s : layout_)
        curves_[s.measure] = Curve::constant(defaultValue(s.measure));
    for (auto it = values.begin(); it != values.end(); ++it) {
        const MeasureType* m = measureTypeByName(it.key());
        bool carried = false;
        for (const LayoutSlot& s : layout_)
            carried = carried || (m && s.measure == m->code);
        if (!carried)
            cfg.fail("values", QStringLiteral("sensor type %1 sends no \"%2\"").arg(type_).arg(it.key()));
        try {
            curves_[m->code] = Curve::fromJson(it.value());
        } catch (const std::runtime_error& e) {
            cfg.fail("values", QStringLiteral("\"%1\": %2").arg(it.key(), QString::fromStdString(e.what())));
        }
    }
    loadCalibration();
}

void SensorDevice::loadCalibration()
{
    calibration_.clear();
    for (const LayoutSlot& s : layout_) {
        const int at = calibrationAddress(s.measure);
        if (at >= 0)
            calibration_[s.measure] = le16(params(), at);
    }
}

void SensorDevice::restarted() { loadCalibration(); }

std::optional<QByteArray> SensorDevice::dataAt(double t) const
{
    QByteArray data;
    for (const LayoutSlot& s : layout_) {
        const MeasureType& m = *measureType(s.measure);
        const std::optional<double> v = curves_.value(s.measure).valueAt(t);
        qint64 raw = rawFromValue(m, v);
        if (v)
            raw += calibration_.value(s.measure, 0);
        putRaw(data, s.position, m.bytes, raw);
    }
    return data;
}

QString SensorDevice::setValue(const QString& key, const QString& text)
{
    const MeasureType* m = measureTypeByName(key);
    if (!m || !curves_.contains(m->code))
        return QStringLiteral("%1 (sensor type %2) sends no \"%3\"").arg(name()).arg(type_).arg(key);
    try {
        curves_[m->code] = Curve::fromText(text);
    } catch (const std::runtime_error& e) {
        return QString::fromStdString(e.what());
    }
    logInfo(QStringLiteral("%1 := %2").arg(QLatin1String(m->shortName), curves_[m->code].describe()));
    return {};
}

QStringList SensorDevice::statusLines() const
{
    QStringList out = Device::statusLines();
    const double t = ctx_.seconds();
    QStringList values;
    for (const LayoutSlot& s : layout_) {
        const auto v = curves_.value(s.measure).valueAt(t);
        values << QStringLiteral("%1=%2 (%3)")
                      .arg(QLatin1String(measureType(s.measure)->shortName))
                      .arg(v ? QString::number(*v) : QStringLiteral("none"))
                      .arg(curves_.value(s.measure).describe());
    }
    out << QStringLiteral("    values: %1").arg(values.isEmpty() ? QStringLiteral("-") : values.join(QStringLiteral(", ")));
    return out;
}

PanelDevice::PanelDevice(SimContext& ctx, JsonReader& cfg, int sensorType)
    : Device(ctx, cfg, sensorType), type_(sensorType)
{
    const int count = cfg.integer("relays", 8, 1, 32);
    powerOn_ = QVector<bool>(count, false);
    const QJsonArray powerOn = cfg.array("powerOn");
    const QJsonArray states = cfg.array("states");
    if (powerOn.size() > count || states.size() > count)
        cfg.fail(QStringLiteral("\"powerOn\" and \"states\" may list at most %1 relays").arg(count));
    for (int i = 0; i < powerOn.size(); ++i)
        powerOn_[i] = powerOn.at(i).toInt() != 0 || powerOn.at(i).toBool();
    states_ = powerOn_;
    for (int i = 0; i < states.size(); ++i)
        states_[i] = states.at(i).toInt() != 0 || states.at(i).toBool();
}

QString PanelDevice::kindName() const
{
    return type_ == 9 ? QStringLiteral("input panel") : QStringLiteral("relay panel");
}

void PanelDevice::restarted() { states_ = powerOn_; }

std::optional<QByteArray> PanelDevice::dataAt(double) const
{
    quint8 mask = 0;
    for (int i = 0; i < qMin(8, int(states_.size())); ++i)
        if (states_[i])
            mask |= quint8(1u << i);
    return QByteArray(1, char(mask));
}

std::optional<Outcome> PanelDevice::executeOwn(const QByteArray& payload, const QByteArray& mnemonic,
                                               const ReplyRoute&)
{
    const bool known = mnemonic == "CRLGS" || mnemonic == "CRLSO" || mnemonic == "CRLSC" || mnemonic == "CRLGD"
                       || mnemonic == "CRLSD";
    if (!known)
        return std::nullopt;
    if (payload.size() < 6 || (mnemonic == "CRLSD" && payload.size() < 7))
        return Outcome::reject(StatusBadLength);
    const int relay = quint8(payload.at(5));
    if (relay >= states_.size())
        return Outcome::reject(StatusUnknown);
    if (mnemonic == "CRLGS")
        return Outcome::answer(QByteArrayLiteral("ARLGS") + char(states_[relay] ? 1 : 0));
    if (mnemonic == "CRLGD")
        return Outcome::answer(QByteArrayLiteral("ARLGD") + char(powerOn_[relay] ? 1 : 0));
    if (mnemonic == "CRLSD") {
        const int state = quint8(payload.at(6));
        if (state > 1)
            return Outcome::reject(StatusUnknown);
        powerOn_[relay] = state == 1;
        logInfo(QStringLiteral("relay %1 power-on state %2").arg(relay + 1).arg(state ? "on" : "off"));
        return Outcome::nothing();
    }
    if (type_ == 9)
        return Outcome::reject(StatusUnknown); // inputs cannot be switched
    const bool on = mnemonic == "CRLSO";
    if (states_[relay] != on)
        logInfo(QStringLiteral("relay %1 switched %2").arg(relay + 1).arg(on ? "on" : "off"));
    states_[relay] = on;
    return Outcome::nothing();
}

QString PanelDevice::setValue(const QString& key, const QString& text)
{
    const int n = relayNumber(key);
    if (n < 1 || n > states_.size())
        return QStringLiteral("%1 has relays R1..R%2").arg(name()).arg(states_.size());
    bool ok = false;
    const int v = text.toInt(&ok);
    if (!ok || v < 0 || v > 1)
        return QStringLiteral("a relay state is 0 or 1");
    states_[n - 1] = v == 1;
    logInfo(QStringLiteral("relay %1 set %2").arg(n).arg(v ? "on" : "off"));
    return {};
}

QStringList PanelDevice::statusLines() const
{
    QStringList out = Device::statusLines();
    QString states, defaults;
    for (int i = 0; i < states_.size(); ++i) {
        states += states_[i] ? QLatin1Char('1') : QLatin1Char('0');
        defaults += powerOn_[i] ? QLatin1Char('1') : QLatin1Char('0');
    }
    out << QStringLiteral("    relays %1 power-on %2").arg(states, defaults);
    return out;
}

} // namespace cvx::vbtsim
