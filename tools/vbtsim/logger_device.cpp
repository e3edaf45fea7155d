#include "logger_device.h"

#include "json_reader.h"
#include "packed_time.h"
#include "sim_interface.h"

namespace cvx::vbtsim {

namespace {

// Offsets inside the parameter block.
constexpr int ModeOffset = 0;
constexpr int IntervalOffset = 122;
constexpr int AddressesOffset = 123;
constexpr int WatchdogIntervalOffset = 2419;
constexpr int WatchdogFailuresOffset = 2420;
constexpr int WatchdogPauseOffset = 2421;
constexpr int EventsOffset = 187;
constexpr int EventSize = 17;
constexpr int TasksOffset = 459;
constexpr int TaskSize = 245;
constexpr int AlarmPhoneOffset = TasksOffset + 5;
constexpr int AlarmTextOffset = TasksOffset + 85;
constexpr int SensorTypesOffset = 2452;
constexpr int DefaultInterval = 60;

QByteArray le32(quint32 v)
{
    QByteArray b(4, '\0');
    for (int i = 0; i < 4; ++i)
        b[i] = char((v >> (8 * i)) & 0xFF);
    return b;
}

quint32 readLe32(const QByteArray& a, int pos)
{
    quint32 v = 0;
    for (int i = 0; i < 4; ++i)
        v |= quint32(quint8(a.at(pos + i))) << (8 * i);
    return v;
}

} // namespace

LoggerDevice::LoggerDevice(SimContext& ctx, JsonReader& cfg) : Device(ctx, cfg, 0), configPath_(cfg.path())
{
    const QString family = cfg.string("family", QStringLiteral("corvalux")).toLower();
    if (family == QLatin1String("talvo"))
        family_ = Family::Talvo;
    else if (family != QLatin1String("corvalux"))
        cfg.fail("family", QStringLiteral("must be \"corvalux\" or \"talvo\" (the older family)"));
    capacity_ = cfg.integer("capacity", 4096, 1, 10'000'000);
    eraseSeconds_ = cfg.integer("eraseSeconds", 2, 0, 600);
    events_ = cfg.boolean("events", true);
    prefill_ = cfg.integer("prefill", 0, 0, 10'000'000);
    nextId_ = quint32(cfg.integer64("firstRecId", 1, 1, 0xFFFFFFF0LL));
    if (params().size() < BlockAddress + BlockSize)
        cfg.fail("memorySize", QStringLiteral("a data logger needs at least %1 bytes").arg(BlockAddress + BlockSize));
    const QJsonArray sensors = cfg.array("sensors");
    if (sensors.size() > MaxSensors)
        cfg.fail("sensors", QStringLiteral("a logger polls at most %1 sensors").arg(MaxSensors));
    for (const QJsonValue& v : sensors) {
        if (v.isString())
            sensorNames_ << v.toString();
        else if (v.isDouble() && v.toDouble() >= 1 && v.toDouble() <= 4294967295.0)
            sensorNames_ << QString::number(quint32(v.toDouble()));
        else
            cfg.fail("sensors", QStringLiteral("list device names or addresses"));
    }
    buildBlock(cfg);
    const QString file = cfg.string("smsFile", QString());
    sms_ = std::make_unique<SmsCapture>(ctx_, name(), file.isEmpty() ? QString() : ctx_.resolvePath(file));
    watchdog_ = std::make_unique<WatchdogFunction>(ctx_, *this, *sms_, [this] { return watchdogSettings_; }, nullptr);
    roundTimer_ = ctx_.time.createTimer(DefaultInterval * 1000, false, [this] { measureRound(); });
}

LoggerDevice::~LoggerDevice() = default;

quint8& LoggerDevice::block(int offset) { return reinterpret_cast<quint8&>(params()[BlockAddress + offset]); }

void LoggerDevice::buildBlock(JsonReader& cfg)
{
    block(ModeOffset) = quint8(cfg.integer("mode", 0, 0, 255));
    block(IntervalOffset) = quint8(cfg.integer("interval", DefaultInterval, 1, 254));
    JsonReader wd = cfg.child("watchdog");
    block(WatchdogIntervalOffset) = quint8(wd.integer("checkInterval", 5, 1, 255));
    block(WatchdogFailuresOffset) = quint8(wd.integer("failures", 3, 1, 255));
    block(WatchdogPauseOffset) = quint8(wd.integer("pauseMinutes", 60, 0, 255));
    if (wd.boolean("enabled", false)) {
        // Event 0 is the watchdog alarm and task 0 its SMS, as the computer writes them.
        block(EventsOffset + 4) = 3;
        block(EventsOffset + 12) = 0;
        block(EventsOffset + 13) = 255;
        block(EventsOffset + 16) = 1;
        block(TasksOffset) = 0;
    }
    auto text = [this](int offset, int size, const QString& t) {
        QByteArray b = toDeviceText(t).left(size - 1) + '\0';
        params().replace(BlockAddress + offset, b.size(), b);
    };
    if (wd.has("phone"))
        text(AlarmPhoneOffset, 20, wd.string("phone", QString()));
    if (wd.has("text"))
        text(AlarmTextOffset, 160, wd.string("text", QString()));
    wd.finish();
}

void LoggerDevice::neighboursReady()
{
    for (int i = 0; i < sensorNames_.size(); ++i) {
        const QString& n = sensorNames_.at(i);
        bool isNumber = false;
        const quint32 number = n.toUInt(&isNumber);
        Device* d = isNumber ? bus_->deviceByAddress(number) : bus_->deviceByName(n);
        if (!isNumber && !d)
            throw ScenarioError(QStringLiteral("%1.sensors: no device \"%2\" on this interface").arg(configPath_, n));
        if (d == this)
            throw ScenarioError(QStringLiteral("%1.sensors: a logger does not poll itself").arg(configPath_));
        const quint32 address = d ? d->address() : number;
        params().replace(BlockAddress + AddressesOffset + 4 * i, 4, le32(address));
        // The device kind of a sensor is its sensor type.
        block(SensorTypesOffset + i) = d ? quint8(d->kindCode()) : 0xFF;
    }
    loadBlock();
    // Records measured before the simulator started, one round per interval.
    const double now = ctx_.seconds();
    const QDateTime clockNow = clock();
    for (int k = prefill_; k >= 1; --k) {
        const double back = double(k) * intervalSeconds_;
        for (quint32 address : sensors_) {
            const Device* d = bus_->deviceByAddress(address);
            auto data = d ? d->dataAt(now - back) : std::nullopt;
            QByteArray bytes = data ? data->left(8).leftJustified(8, '\0') : QByteArray(8, char(0xFF));
            store(address, bytes, clockNow.addMSecs(-qint64(back * 1000)), false);
        }
    }
}

void LoggerDevice::loadBlock()
{
    const int interval = block(IntervalOffset);
    intervalSeconds_ = (interval == 0 || interval == 0xFF) ? DefaultInterval : interval;
    sensors_.clear();
    for (int i = 0; i < MaxSensors; ++i) {
        const quint32 a = readLe32(params(), BlockAddress + AddressesOffset + 4 * i);
        if (a != 0 && a != 0xFFFFFFFFu)
            sensors_.append(a);
    }
    if (roundTimer_ && roundTimer_->isActive())
        roundTimer_->start(intervalSeconds_ * 1000);
    WatchdogFunction::Settings& w = watchdogSettings_;
    w.enabled = blockAt(EventsOffset + 4) == 3 && blockAt(EventsOffset + 16) == 1;
    w.checkSeconds = qMax(1, int(blockAt(WatchdogIntervalOffset)));
    w.failuresBeforeAlarm = blockAt(WatchdogFailuresOffset);
    w.pauseMinutes = blockAt(WatchdogPauseOffset);
    w.phone = memoryText(params().mid(BlockAddress + AlarmPhoneOffset, 20));
    w.text = memoryText(params().mid(BlockAddress + AlarmTextOffset, 160));
}

void LoggerDevice::start()
{
    roundTimer_->start(intervalSeconds_ * 1000);
    watchdog_->start();
}

void LoggerDevice::heardComputer() {}

void LoggerDevice::restarted() { loadBlock(); }

QByteArray LoggerDevice::measure(quint32 address) const
{
    Device* d = bus_ ? bus_->deviceByAddress(address) : nullptr;
    if (!d || d->offline() || d->faults()[Fault::Silence].consume())
        return QByteArray(8, char(0xFF));
    const auto data = d->measurementData();
    if (!data)
        return QByteArray(8, char(0xFF));
    return data->left(8).leftJustified(8, '\0');
}

void LoggerDevice::measureRound()
{
    if (offline())
        return;
    const QDateTime when = clock();
    for (quint32 address : sensors_)
        store(address, measure(address), when, true);
}

void LoggerDevice::store(quint32 address, const QByteArray& data, const QDateTime& when, bool report)
{
    QByteArray r = le32(nextId_);
    r += encodePackedTime(when);
    r += 'g';
    r += char(address & 0xFF);
    r += '\0';
    r += data;
    ++nextId_;
    store_.push_back(r);
    while (int(store_.size()) > capacity_)
        store_.pop_front();
    if (report && events_)
        sendToComputer(QByteArrayLiteral("EELDL") + r, true);
}

quint32 LoggerDevice::firstRecId() const { return store_.empty() ? 0 : nextId_ - quint32(store_.size()); }

QByteArray LoggerDevice::record(quint32 id) const
{
    if (store_.empty() || id < firstRecId() || id > lastRecId())
        return {};
    return store_.at(size_t(id - firstRecId()));
}

void LoggerDevice::erase()
{
    store_.clear();
    nextId_ = 1;
    logInfo(QStringLiteral("record store erased"));
}

Outcome LoggerDevice::download(quint32 from, int count) const
{
    count = qBound(1, count, 5);
    const quint64 to = quint64(from) + quint64(count) - 1;
    const quint64 lo = qMax<quint64>(from, firstRecId());
    const quint64 hi = qMin<quint64>(to, lastRecId());
    if (store_.empty() || lo > hi)
        return Outcome::answer(QByteArrayLiteral("AERCM"));
    QByteArray out = QByteArrayLiteral("AELDL");
    for (quint64 id = lo; id <= hi; ++id)
        out += record(quint32(id));
    return Outcome::answer(out);
}

Outcome LoggerDevice::olderFamilyDownload(const QByteArray& payload) const
{
    if (payload.size() < 11)
        return Outcome::reject(StatusBadLength);
    const quint8 type = quint8(payload.at(5));
    if (type > 1)
        return Outcome::reject(StatusUnknown);
    const quint32 from = readLe32(payload, 6);
    const int count = qBound(1, int(quint8(payload.at(10))), 5);
    const quint64 lo = qMax<quint64>(from, firstRecId());
    const quint64 hi = qMin<quint64>(quint64(from) + quint64(count) - 1, lastRecId());
    QByteArray records;
    int n = 0;
    for (quint64 id = lo; !store_.empty() && id <= hi; ++id, ++n) {
        const QByteArray r = record(quint32(id));
        // Type 0: the record without its last two data bytes (19 bytes); type 1: the
        // identifier and the first value (6 bytes).
        records += type == 0 ? r.left(19) : r.left(4) + r.mid(13, 2);
    }
    QByteArray out = QByteArrayLiteral("AFLGR");
    out += char(type);
    out += le32(n > 0 ? quint32(lo) : from);
    out += char(n);
    out += records;
    return Outcome::answer(out);
}

std::optional<Outcome> LoggerDevice::executeOwn(const QByteArray& payload, const QByteArray& mnemonic,
                                                const ReplyRoute& route)
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
    if (mnemonic == "CELST")
        return Outcome::answer(QByteArrayLiteral("AELST") + le32(firstRecId()) + le32(lastRecId()));
    if (mnemonic == "CELDL") {
        if (payload.size() < 10)
            return Outcome::reject(StatusBadLength);
        return download(readLe32(payload, 5), quint8(payload.at(9)));
    }
    if (mnemonic == "CFLGS") {
        if (payload.size() < 6)
            return Outcome::reject(StatusBadLength);
        return Outcome::answer(QByteArrayLiteral("AFLGS") + le32(firstRecId()) + le32(lastRecId()));
    }
    if (mnemonic == "CFLGR")
        return olderFamilyDownload(payload);
    if (mnemonic == "CELFE") {
        const QByteArray answer = family_ == Family::Talvo ? QByteArrayLiteral("AFLER") : QByteArrayLiteral("AELFE");
        logInfo(QStringLiteral("erasing the record store (%1 s without contact)").arg(eraseSeconds_));
        goOffline(eraseSeconds_ * 1000, [this, route, answer] {
            erase();
            if (bus_)
                bus_->sendReply(*this, route, answer, InfoNoAck);
        });
        return Outcome::nothing();
    }
    return std::nullopt;
}

QString LoggerDevice::runCommand(const QString& verb, const QStringList& args, QStringList* out)
{
    if (verb == QLatin1String("measure")) {
        if (offline())
            return QStringLiteral("%1 is restarting or erasing").arg(name());
        measureRound();
        out->append(QStringLiteral("records %1..%2").arg(firstRecId()).arg(lastRecId()));
        return {};
    }
    if (verb == QLatin1String("erase")) {
        erase();
        return {};
    }
    if (verb == QLatin1String("check")) {
        watchdog_->check();
        out->append(watchdog_->status());
        return {};
    }
    return Device::runCommand(verb, args, out);
}

QStringList LoggerDevice::statusLines() const
{
    QStringList out = Device::statusLines();
    QStringList sensors;
    for (quint32 a : sensors_)
        sensors << QString::number(a);
    out << QStringLiteral("    records %1..%2 (%3 of %4) every %5 s from sensors %6")
               .arg(firstRecId())
               .arg(lastRecId())
               .arg(store_.size())
               .arg(capacity_)
               .arg(intervalSeconds_)
               .arg(sensors.isEmpty() ? QStringLiteral("-") : sensors.join(QLatin1Char(',')));
    out << QStringLiteral("    %1; %2 SMS written").arg(watchdog_->status()).arg(sms_->count());
    return out;
}

} // namespace cvx::vbtsim
