#include "devices.h"

#include "dov_device.h"
#include "json_reader.h"
#include "logger_device.h"
#include "sensor_device.h"
#include "sim_interface.h"
#include "watchdog.h"
#include "weather_device.h"

namespace cvx::vbtsim {

std::unique_ptr<Device> createDevice(SimContext& ctx, JsonReader& cfg, Protocol protocol)
{
    QString kind = cfg.string("kind", QString()).toLower();
    const int type = cfg.integer("type", 0, 0, 15);
    if (protocol == Protocol::Dov) {
        if (!kind.isEmpty() && kind != QLatin1String("dov"))
            cfg.fail("kind", QStringLiteral("a DOV interface serves only DOV devices"));
        auto d = std::make_unique<DovDevice>(ctx, cfg);
        cfg.finish();
        return d;
    }
    if (kind.isEmpty()) {
        if (type == 0)
            cfg.fail(QStringLiteral("give the sensor \"type\" (1..14) or a \"kind\""));
        kind = (type == 8 || type == 9) ? QStringLiteral("panel")
               : type == 12           ? QStringLiteral("weather")
                                      : QStringLiteral("sensor");
    }
    std::unique_ptr<Device> d;
    if (kind == QLatin1String("sensor") || kind == QLatin1String("panel")) {
        if (type == 13)
            cfg.fail("type", QStringLiteral("13 (serial relay controller) is switched by the serial port's own lines, not a device"));
        if (type == 15)
            cfg.fail("type", QStringLiteral("15 (SNMP climate sensor) is read over SNMP, not served here"));
        if (type == 12)
            cfg.fail("type", QStringLiteral("12 (weather-station module) is of the weather kind"));
        if (type < 1)
            cfg.fail("type", QStringLiteral("is required (1..14)"));
        if (type == 8 || type == 9)
            d = std::make_unique<PanelDevice>(ctx, cfg, type);
        else if (kind == QLatin1String("panel"))
            cfg.fail("type", QStringLiteral("a panel is of type 8 (relays) or 9 (inputs)"));
        else
            d = std::make_unique<SensorDevice>(ctx, cfg, type);
    } else if (kind == QLatin1String("weather")) {
        if (type != 0 && type != 12)
            cfg.fail("type", QStringLiteral("a weather-station module is of type 12"));
        d = std::make_unique<WeatherDevice>(ctx, cfg);
    } else if (kind == QLatin1String("logger")) {
        if (cfg.has("type") || type != 0)
            cfg.fail("type", QStringLiteral("a logger has no sensor type"));
        d = std::make_unique<LoggerDevice>(ctx, cfg);
    } else if (kind == QLatin1String("watchdog")) {
        if (type != 0)
            cfg.fail("type", QStringLiteral("a watchdog device has no sensor type"));
        d = std::make_unique<WatchdogDevice>(ctx, cfg);
    } else if (kind == QLatin1String("dov")) {
        cfg.fail("kind", QStringLiteral("DOV devices belong on an interface of protocol DOV"));
    } else {
        cfg.fail("kind", QStringLiteral("unknown kind \"%1\" (sensor, panel, weather, logger, watchdog, dov)").arg(kind));
    }
    cfg.finish();
    return d;
}

} // namespace cvx::vbtsim
