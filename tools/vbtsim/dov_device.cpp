#include "dov_device.h"

#include "json_reader.h"
#include "sim_interface.h"

#include <QJsonObject>

namespace cvx::vbtsim {

DovDevice::DovDevice(SimContext& ctx, JsonReader& cfg) : Device(ctx, cfg, 0, 1u)
{
    const QString format = cfg.string("format", QStringLiteral("multi"));
    if (format == QLatin1String("th"))
        humidityFormat_ = true;
    else if (format != QLatin1String("multi"))
        cfg.fail("format", QStringLiteral("must be \"multi\" (T0=.. T1=..) or \"th\" (T=.. H=..)"));
    prefix_ = cfg.string("prefix", QString());
    periodMs_ = int(cfg.number("period", 2.0) * 1000);
    if (periodMs_ < 50)
        cfg.fail("period", QStringLiteral("must be at least 0.05 seconds"));
    auto curve = [&](const QJsonValue& v, const QString& what) {
        try {
            return Curve::fromJson(v);
        } catch (const std::runtime_error& e) {
            cfg.fail(humidityFormat_ ? "values" : "channels", QStringLiteral("%1: %2").arg(what, QString::fromStdString(e.what())));
        }
    };
    if (humidityFormat_) {
        const QJsonObject values = cfg.object("values");
        channels_[QStringLiteral("T")] = Curve::constant(21.5);
        channels_[QStringLiteral("H")] = Curve::constant(45.0);
        for (auto it = values.begin(); it != values.end(); ++it) {
            if (it.key() != QLatin1String("T") && it.key() != QLatin1String("H"))
                cfg.fail("values", QStringLiteral("the th format carries only T and H"));
            channels_[it.key()] = curve(it.value(), it.key());
        }
    } else {
        const QJsonArray list = cfg.array("channels");
        if (list.isEmpty())
            channels_[QStringLiteral("T0")] = Curve::constant(21.5);
        for (int i = 0; i < list.size(); ++i)
            channels_[QStringLiteral("T%1").arg(i)] = curve(list.at(i), QStringLiteral("T%1").arg(i));
    }
    timer_ = ctx_.time.createTimer(periodMs_, false, [this] { sendLine(); });
}

void DovDevice::start() { timer_->start(); }

QByteArray DovDevice::lineAt(bool broken) const
{
    const double t = ctx_.seconds();
    QString line = prefix_ + QLatin1Char('*');
    if (humidityFormat_) {
        const auto temp = broken ? std::nullopt : channels_.value(QStringLiteral("T")).valueAt(t);
        const auto hum = broken ? std::nullopt : channels_.value(QStringLiteral("H")).valueAt(t);
        line += QStringLiteral("T=%1C H=%2%")
                    .arg(temp ? QString::asprintf("%.1f", *temp) : QStringLiteral("----"))
                    .arg(hum ? QString::asprintf("%.1f", *hum) : QStringLiteral("----"));
    } else {
        QStringList parts;
        for (int i = 0; i < channels_.size(); ++i) {
            const auto v = broken ? std::nullopt : channels_.value(QStringLiteral("T%1").arg(i)).valueAt(t);
            parts << QStringLiteral("T%1=%2C").arg(i).arg(v ? QString::asprintf("%+07.2f", *v) : QStringLiteral("----"));
        }
        line += parts.join(QLatin1Char(' '));
    }
    return line.toLatin1() + "\r\n";
}

void DovDevice::sendLine()
{
    if (!bus_ || bus_->connectionCount() == 0)
        return;
    FaultSet& fs = faults();
    if (fs[Fault::Silence].consume())
        return;
    QByteArray bytes = lineAt(fs[Fault::Broken].consume());
    if (fs[Fault::Garbage].consume())
        bytes.prepend(fs[Fault::Garbage].bytes);
    bus_->sendLine(*this, bytes, fs[Fault::Delay].consume() ? fs[Fault::Delay].number : 0);
}

QString DovDevice::setValue(const QString& key, const QString& text)
{
    if (!channels_.contains(key))
        return QStringLiteral("%1 has the values %2").arg(name(), channels_.keys().join(QLatin1Char(' ')));
    try {
        channels_[key] = Curve::fromText(text);
    } catch (const std::runtime_error& e) {
        return QString::fromStdString(e.what());
    }
    logInfo(QStringLiteral("%1 := %2").arg(key, channels_[key].describe()));
    return {};
}

QString DovDevice::runCommand(const QString& verb, const QStringList& args, QStringList* out)
{
    if (verb == QLatin1String("measure")) {
        sendLine();
        return {};
    }
    return Device::runCommand(verb, args, out);
}

QStringList DovDevice::statusLines() const
{
    QStringList out = Device::statusLines();
    out << QStringLiteral("    line every %1 ms: %2").arg(periodMs_).arg(QString::fromLatin1(currentLine()).trimmed());
    return out;
}

} // namespace cvx::vbtsim
