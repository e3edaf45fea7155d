#include "device.h"

#include "json_reader.h"
#include "packed_time.h"
#include "sim_interface.h"

#include <QJsonObject>
#include <QtEndian>

#include <cstring>

namespace cvx::vbtsim {

namespace {

void putLe(QByteArray& r, int pos, quint64 v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        r[pos + i] = char((v >> (8 * i)) & 0xFF);
}

int getLe16(const QByteArray& a, int pos) { return quint8(a.at(pos)) | (quint8(a.at(pos + 1)) << 8); }

constexpr qint64 RepeatWindowMs = 2000;

} // namespace

Device::Device(SimContext& ctx, JsonReader& cfg, int kindCode, std::optional<quint32> defaultAddress) : ctx_(ctx)
{
    address_ = cfg.address("address", defaultAddress, 1, 249);
    name_ = cfg.string("name", QString());
    if (name_.isEmpty() || name_.contains(QLatin1Char(' ')) || name_.contains(QLatin1Char('/')))
        cfg.fail("name", QStringLiteral("is required: one word that names the device"));
    wideAddress_ = cfg.address("wideAddress", 0x00010000u | address_, 0, 0xFFFFFFFFu);
    const int memorySize = cfg.integer("memorySize", 4096, 64, 65536);
    params_ = QByteArray(memorySize, char(0xFF));
    params_[1] = char(cfg.integer("restartSeconds", 2, 0, 255));
    const QJsonObject preset = cfg.object("params");
    for (auto it = preset.begin(); it != preset.end(); ++it) {
        bool ok = false;
        const int at = it.key().toInt(&ok, 0);
        const auto bytes = parseHexBytes(it.value().toString());
        if (!ok || at < 0 || !bytes || at + bytes->size() > params_.size())
            cfg.fail("params", QStringLiteral("\"%1\": needs an address inside the memory and hexadecimal bytes").arg(it.key()));
        params_.replace(at, bytes->size(), *bytes);
    }
    ackTimeoutMs_ = cfg.integer("ackTimeoutMs", 300, 10, 60000);
    frameTries_ = cfg.integer("frameTries", 3, 1, 100);
    readSysInfo(cfg, kindCode);
    JsonReader faults = cfg.child("faults");
    for (int i = 0; i < FaultCount; ++i) {
        const Fault f = Fault(i);
        const QByteArray key = FaultSet::name(f).toLatin1();
        if (!faults.has(key.constData()))
            continue;
        if (FaultSet::isInterfaceFault(f))
            faults.fail(key.constData(), QStringLiteral("is a fault of the interface"));
        try {
            faults_.setFromJson(f, faults.value(key.constData()));
        } catch (const std::runtime_error& e) {
            faults.fail(key.constData(), QString::fromStdString(e.what()));
        }
    }
    faults.finish();
    upSinceTick_ = ctx_.time.tickMs();
    ackTimer_ = ctx_.time.createTimer(ackTimeoutMs_, true, [this] { frameTimedOut(); });
    offlineTimer_ = ctx_.time.createTimer(0, true, [this] {
        offlineUntilTick_ = 0;
        auto then = std::move(afterOffline_);
        afterOffline_ = nullptr;
        if (then)
            then();
    });
}

Device::~Device() = default;

void Device::readSysInfo(JsonReader& cfg, int kindCode)
{
    JsonReader i = cfg.child("info");
    SysInfo& s = info_;
    const auto id = parseHexBytes(i.string("id", QStringLiteral("000000000000")));
    if (!id)
        i.fail("id", QStringLiteral("must be hexadecimal bytes"));
    s.id = *id;
    s.version = i.string("version", QStringLiteral("V1.00"));
    s.model = i.string("model", QStringLiteral("VBTSIM"));
    s.built = QDateTime::fromString(i.string("built", QStringLiteral("2024-01-15T10:30:00")), Qt::ISODate);
    if (!s.built.isValid())
        i.fail("built", QStringLiteral("must be a date-time such as 2024-01-15T10:30:00"));
    s.project = i.integer("project", 100, 0, 65535);
    s.kind = i.integer("kind", kindCode, 0, 255);
    s.rxBuffer = i.integer("rxBuffer", 256, 0, 65535);
    s.txBuffer = i.integer("txBuffer", 256, 0, 65535);
    s.name = i.string("name", name_);
    s.bootRevision = i.integer("bootRevision", 1, 0, 65535);
    s.bootLoaderRunning = i.boolean("bootLoaderRunning", false);
    s.cpu = i.integer("cpu", 1, 0, 255);
    s.voltage = i.integer("voltage", 120, 0, 65535);
    const auto extra = parseHexBytes(i.string("extra", QString()));
    if (!extra)
        i.fail("extra", QStringLiteral("must be hexadecimal bytes"));
    s.extra = *extra;
    s.length = i.integer("length", 66 + int(s.extra.size()), 0, 1000);
    i.finish();
}

QByteArray Device::sysInfoRecord() const
{
    const SysInfo& s = info_;
    QByteArray r(66, '\0');
    r.replace(0, 6, s.id.left(6).leftJustified(6, '\0'));
    r.replace(6, 5, toDeviceText(s.version).left(5).leftJustified(5, ' '));
    r.replace(11, 6, toDeviceText(s.model).left(6).leftJustified(6, ' '));
    const QDateTime epoch(QDate(1899, 12, 30), QTime(0, 0));
    const double days = double(epoch.msecsTo(s.built)) / 86400000.0;
    quint64 bits = 0;
    std::memcpy(&bits, &days, sizeof bits);
    putLe(r, 17, bits, 8);
    putLe(r, 25, quint64(s.project), 2);
    r[27] = char(s.kind);
    putLe(r, 28, quint64(s.rxBuffer), 2);
    putLe(r, 30, quint64(s.txBuffer), 2);
    r.replace(32, 24, toDeviceText(s.name).left(24).leftJustified(24, ' '));
    putLe(r, 56, quint64(s.bootRevision), 2);
    putLe(r, 58, quint64(uptimeSeconds()), 4);
    r[62] = char(s.bootLoaderRunning ? 1 : 0);
    r[63] = char(s.cpu);
    putLe(r, 64, quint64(s.voltage), 2);
    r.append(s.extra);
    return r.left(s.length);
}

qint64 Device::uptimeSeconds() const { return (ctx_.time.tickMs() - upSinceTick_) / 1000; }

bool Device::offline() const { return offlineUntilTick_ != 0; }

void Device::goOffline(int ms, std::function<void()> then)
{
    offlineUntilTick_ = ctx_.time.tickMs() + ms;
    afterOffline_ = std::move(then);
    offlineTimer_->start(ms);
}

void Device::beginRestart()
{
    const int seconds = restartSeconds();
    logInfo(QStringLiteral("restarting (%1 s without contact)").arg(seconds));
    goOffline(seconds * 1000, [this] {
        upSinceTick_ = ctx_.time.tickMs();
        restarted();
        logInfo(QStringLiteral("running again after restart"));
    });
}

QDateTime Device::clock() const { return ctx_.time.localNow().addMSecs(clockOffsetMs_); }

void Device::setClock(const QDateTime& t) { clockOffsetMs_ = ctx_.time.localNow().msecsTo(t); }

void Device::logInfo(const QString& text) const
{
    ctx_.log.info(QStringLiteral("%1: %2").arg(name_, text));
}

quint8 Device::nextSerial()
{
    serial_ = serial_ >= 250 ? 1 : quint8(serial_ + 1);
    return serial_;
}

bool Device::isRepeat(const Frame& request)
{
    if (request.info != InfoWantAck)
        return false;
    const qint64 now = ctx_.time.tickMs();
    const bool repeat = lastAcked_.valid && lastAcked_.serial == request.serial
                        && lastAcked_.payload == request.payload && now - lastAcked_.tick <= RepeatWindowMs;
    lastAcked_.serial = request.serial;
    lastAcked_.payload = request.payload;
    lastAcked_.tick = now;
    lastAcked_.valid = true;
    return repeat;
}

Outcome Device::execute(const QByteArray& payload, const ReplyRoute& route)
{
    if (payload.isEmpty())
        return Outcome::nothing();
    const QByteArray mnemonic = payload.left(5);
    if (auto own = executeOwn(payload, mnemonic, route))
        return *own;
    if (payload == "c") {
        const auto data = measurementData();
        if (!data)
            return Outcome::reject(StatusUnknown);
        return Outcome::answer(QByteArrayLiteral("AITGD") + *data);
    }
    if (mnemonic == "CSYSI")
        return Outcome::answer(QByteArrayLiteral("ASYSI") + sysInfoRecord());
    if (mnemonic == "CSYRE") {
        if (payload.size() < 8)
            return Outcome::reject(StatusBadLength);
        const int at = getLe16(payload, 5);
        const int count = quint8(payload.at(7));
        if (at + count > params_.size())
            return Outcome::reject(StatusBadLength);
        return Outcome::answer(QByteArrayLiteral("ASYRE") + params_.mid(at, count));
    }
    if (mnemonic == "CSYWE") {
        if (payload.size() < 8)
            return Outcome::reject(StatusBadLength);
        const int at = getLe16(payload, 5);
        const int count = quint8(payload.at(7));
        if (payload.size() - 8 < count || at + count > params_.size())
            return Outcome::reject(StatusBadLength);
        params_.replace(at, count, payload.mid(8, count));
        paramsWritten(at, count);
        return Outcome::answer(QByteArrayLiteral("ASYWE"));
    }
    if (mnemonic == "CSYEE") {
        paramsCommitted();
        return Outcome::nothing();
    }
    if (mnemonic == "CSYRS") {
        beginRestart();
        return Outcome::nothing();
    }
    if (mnemonic == "CRTSC") {
        const QDateTime t = decodePackedTime(payload, 5);
        if (!t.isValid())
            return Outcome::reject(StatusBadLength);
        setClock(t);
        logInfo(QStringLiteral("clock set to %1").arg(t.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"))));
        return Outcome::nothing();
    }
    if (mnemonic == "CRTGC")
        return Outcome::answer(QByteArrayLiteral("ARTGC") + encodePackedTime(clock()));
    if (payload.startsWith('C'))
        return Outcome::reject(StatusUnknown);
    return Outcome::nothing();
}

void Device::executeBroadcast(const QByteArray& payload)
{
    ReplyRoute nowhere;
    execute(payload, nowhere);
}

std::optional<QByteArray> Device::measurementData()
{
    auto data = dataAt(ctx_.seconds());
    if (data && faults_[Fault::Broken].consume())
        return QByteArray(8, char(0xFF));
    return data;
}

std::optional<Outcome> Device::executeOwn(const QByteArray&, const QByteArray&, const ReplyRoute&)
{
    return std::nullopt;
}

bool Device::sendToComputer(const QByteArray& payload, bool wantAck)
{
    if (!bus_ || bus_->connectionCount() == 0 || faults_[Fault::Silence].remaining < 0)
        return false;
    if (!wantAck)
        return bus_->sendUnsolicited(*this, payload, InfoNoAck, nextSerial()) > 0;
    pending_.push_back({payload, 0, 0});
    if (pending_.size() == 1)
        sendHeadFrame();
    return true;
}

void Device::sendHeadFrame()
{
    while (!pending_.empty()) {
        PendingFrame& head = pending_.front();
        head.serial = nextSerial();
        ++head.tries;
        if (bus_ && bus_->sendUnsolicited(*this, head.payload, InfoWantAck, head.serial) > 0) {
            ackTimer_->start(ackTimeoutMs_);
            return;
        }
        logInfo(QStringLiteral("connection lost; %1 frame(s) not sent").arg(pending_.size()));
        pending_.clear();
    }
    ackTimer_->stop();
}

void Device::frameTimedOut()
{
    if (pending_.empty())
        return;
    if (pending_.front().tries < frameTries_) {
        sendHeadFrame();
        return;
    }
    logInfo(QStringLiteral("no acknowledgement of %1 after %2 tries; given up")
                .arg(QString::fromLatin1(pending_.front().payload.left(5)))
                .arg(pending_.front().tries));
    pending_.pop_front();
    sendHeadFrame();
}

void Device::linkAcknowledged(quint8 serial, quint8 info)
{
    if (pending_.empty() || pending_.front().serial != serial)
        return;
    if (info == InfoNack) {
        if (pending_.front().tries < frameTries_) {
            sendHeadFrame();
        } else {
            pending_.pop_front();
            sendHeadFrame();
        }
        return;
    }
    ackTimer_->stop();
    pending_.pop_front();
    sendHeadFrame();
}

QString Device::setValue(const QString& key, const QString&)
{
    return QStringLiteral("%1 has no value \"%2\"").arg(name_, key);
}

QString Device::runCommand(const QString& verb, const QStringList&, QStringList*)
{
    return QStringLiteral("%1 (%2) does not know \"%3\"").arg(name_, kindName(), verb);
}

QStringList Device::statusLines() const
{
    QStringList out;
    out << QStringLiteral("device %1 %2 address %3 wide 0x%4 uptime %5 s%6 clock %7 faults: %8")
               .arg(name_, kindName())
               .arg(address_)
               .arg(wideAddress_, 8, 16, QLatin1Char('0'))
               .arg(uptimeSeconds())
               .arg(offline() ? QStringLiteral(" OFFLINE") : QString())
               .arg(clock().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")))
               .arg(faults_.describe());
    return out;
}

} // namespace cvx::vbtsim
