#include "watchdog.h"

#include "json_reader.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace cvx::vbtsim {

namespace {

QByteArray zeroEnded(const QString& text, int size)
{
    QByteArray b = toDeviceText(text).left(size - 1);
    b.append('\0');
    return b.leftJustified(size, '\0');
}

} // namespace

SmsCapture::SmsCapture(SimContext& ctx, const QString& deviceName, const QString& path)
    : ctx_(ctx), device_(deviceName), path_(path)
{
}

void SmsCapture::record(const QString& from, const QString& number, const QString& text)
{
    ++count_;
    ctx_.log.info(QStringLiteral("%1: SMS (%2) to %3: %4").arg(device_, from, number, text));
    if (path_.isEmpty())
        return;
    QJsonObject o;
    o.insert(QStringLiteral("time"), ctx_.time.localNow().toString(Qt::ISODateWithMs));
    o.insert(QStringLiteral("device"), device_);
    o.insert(QStringLiteral("from"), from);
    o.insert(QStringLiteral("number"), number);
    o.insert(QStringLiteral("text"), text);
    QFile f(path_);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Append)) {
        ctx_.log.info(QStringLiteral("%1: cannot write the SMS file %2: %3").arg(device_, path_, f.errorString()));
        return;
    }
    f.write(QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n');
}

QString memoryText(const QByteArray& bytes)
{
    int end = 0;
    while (end < bytes.size() && bytes.at(end) != '\0' && quint8(bytes.at(end)) != 0xFF)
        ++end;
    return fromDeviceText(bytes.left(end)).trimmed();
}

bool parseSms(const QByteArray& payload, QString* number, QString* text)
{
    if (payload.size() < 5 + 20)
        return false;
    *number = memoryText(payload.mid(5, 20));
    *text = memoryText(payload.mid(25, 120));
    return true;
}

WatchdogFunction::WatchdogFunction(SimContext& ctx, Device& owner, SmsCapture& sms,
                                   std::function<Settings()> settings, std::function<void()> heartbeat)
    : ctx_(ctx), owner_(owner), sms_(sms), settings_(std::move(settings)), heartbeat_(std::move(heartbeat))
{
    timer_ = ctx_.time.createTimer(1000, true, [this] {
        check();
        arm();
    });
}

WatchdogFunction::~WatchdogFunction() = default;

void WatchdogFunction::start() { arm(); }

void WatchdogFunction::arm() { timer_->start(qMax(1, settings_().checkSeconds) * 1000); }

bool WatchdogFunction::blocked() const { return blockedUntilTick_ > ctx_.time.tickMs(); }

void WatchdogFunction::check()
{
    if (owner_.offline())
        return;
    const Settings s = settings_();
    if (!s.enabled) {
        failures_ = 0;
    } else if (heard_) {
        failures_ = 0;
    } else if (!blocked()) {
        ++failures_;
        if (failures_ >= qMax(1, s.failuresBeforeAlarm)) {
            ++alarms_;
            ctx_.log.info(QStringLiteral("%1: ALARM: the computer missed %2 check(s) in a row; alarm SMS to %3")
                              .arg(owner_.name())
                              .arg(failures_)
                              .arg(s.phone));
            sms_.record(QStringLiteral("watchdog"), s.phone, s.text);
            failures_ = 0;
            blockedUntilTick_ = ctx_.time.tickMs() + qint64(s.pauseMinutes) * 60'000;
        }
    }
    heard_ = false;
    if (heartbeat_)
        heartbeat_();
}

QString WatchdogFunction::status() const
{
    const Settings s = settings_();
    return QStringLiteral("watchdog %1, check every %2 s, alarm after %3 missed, pause %4 min, to %5; "
                          "missed now %6, alarms %7%8")
        .arg(s.enabled ? QStringLiteral("on") : QStringLiteral("off"))
        .arg(s.checkSeconds)
        .arg(s.failuresBeforeAlarm)
        .arg(s.pauseMinutes)
        .arg(s.phone.isEmpty() ? QStringLiteral("-") : s.phone)
        .arg(failures_)
        .arg(alarms_)
        .arg(blocked() ? QStringLiteral(", blocked after an alarm") : QString());
}

WatchdogDevice::WatchdogDevice(SimContext& ctx, JsonReader& cfg) : Device(ctx, cfg, 0)
{
    QByteArray& p = params();
    p[PauseHoursAddress] = char(cfg.integer("pauseHours", 2, 0, 255));
    const int check = cfg.integer("checkInterval", 10, 1, 65535);
    p[CheckIntervalAddress] = char(check & 0xFF);
    p[CheckIntervalAddress + 1] = char(check >> 8);
    p[FailuresAddress] = char(cfg.integer("failures", 2, 1, 255));
    p.replace(PhoneAddress, 20, zeroEnded(cfg.string("alarmPhone", QString()), 20));
    p.replace(TextAddress, 160, zeroEnded(cfg.string("alarmText", QStringLiteral("The monitoring computer does not answer.")), 160));
    enabled_ = cfg.boolean("enabled", true);
    heartbeats_ = cfg.boolean("heartbeats", true);
    const QString file = cfg.string("smsFile", QString());
    stored_ = p;
    sms_ = std::make_unique<SmsCapture>(ctx_, name(), file.isEmpty() ? QString() : ctx_.resolvePath(file));
    watchdog_ = std::make_unique<WatchdogFunction>(
        ctx_, *this, *sms_, [this] { return settings(); },
        [this] {
            if (heartbeats_)
                sendToComputer(QByteArrayLiteral("CGSWD"), false);
        });
}

WatchdogDevice::~WatchdogDevice() = default;

void WatchdogDevice::start() { watchdog_->start(); }

WatchdogFunction::Settings WatchdogDevice::settings() const
{
    const QByteArray& p = params();
    WatchdogFunction::Settings s;
    s.enabled = enabled_;
    s.checkSeconds = quint8(p.at(CheckIntervalAddress)) | (quint8(p.at(CheckIntervalAddress + 1)) << 8);
    s.failuresBeforeAlarm = quint8(p.at(FailuresAddress));
    s.pauseMinutes = quint8(p.at(PauseHoursAddress)) * 60;
    s.phone = memoryText(p.mid(PhoneAddress, 20));
    s.text = memoryText(p.mid(TextAddress, 160));
    return s;
}

std::optional<Outcome> WatchdogDevice::executeOwn(const QByteArray& payload, const QByteArray& mnemonic,
                                                  const ReplyRoute&)
{
    if (mnemonic == "AGSWD") {
        watchdog_->heard();
        return Outcome::nothing();
    }
    if (mnemonic == "CGSSM") {
        QString number, text;
        if (!parseSms(payload, &number, &text))
            return Outcome::reject(StatusBadLength);
        sms_->record(QStringLiteral("computer"), number, text);
        return Outcome::nothing();
    }
    if (mnemonic == "CGSAE" || mnemonic == "CGSAD") {
        enabled_ = mnemonic == "CGSAE";
        logInfo(QStringLiteral("watchdog function %1").arg(enabled_ ? "on" : "off"));
        return Outcome::nothing();
    }
    return std::nullopt;
}

void WatchdogDevice::paramsCommitted()
{
    stored_ = params();
    logInfo(QStringLiteral("parameters stored permanently"));
}

void WatchdogDevice::restarted()
{
    // What was written but not stored is lost with the restart.
    params() = stored_;
}

QString WatchdogDevice::runCommand(const QString& verb, const QStringList& args, QStringList* out)
{
    if (verb == QLatin1String("check")) {
        watchdog_->check();
        out->append(watchdog_->status());
        return {};
    }
    return Device::runCommand(verb, args, out);
}

QStringList WatchdogDevice::statusLines() const
{
    QStringList out = Device::statusLines();
    out << QStringLiteral("    %1; %2 SMS written%3")
               .arg(watchdog_->status())
               .arg(sms_->count())
               .arg(sms_->path().isEmpty() ? QString() : QStringLiteral(" to ") + sms_->path());
    return out;
}

} // namespace cvx::vbtsim
