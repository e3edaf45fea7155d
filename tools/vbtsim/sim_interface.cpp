#include "sim_interface.h"

#include "devices.h"
#include "json_reader.h"

#include <QSet>

namespace cvx::vbtsim {

namespace {

constexpr int RxLimit = 16384;
constexpr int RxKeep = 4096;

QString printable(const QByteArray& bytes)
{
    QString s;
    s.reserve(bytes.size());
    for (char ch : bytes) {
        const auto u = quint8(ch);
        s += (u >= 0x20 && u < 0x7F) ? QChar(u) : QChar('.');
    }
    return s;
}

// The answer with its mnemonic kept and what follows it changed: replaced by the fault's
// bytes, or inverted when none are given.
QByteArray alterTail(const QByteArray& payload, const QByteArray& replacement)
{
    QByteArray out = payload.left(5);
    if (!replacement.isEmpty())
        return out + replacement;
    if (payload.size() <= 5)
        return out + char(0xFF);
    for (int i = 5; i < payload.size(); ++i)
        out.append(char(~quint8(payload.at(i))));
    return out;
}

} // namespace

QString describeFrame(const Frame& f)
{
    QString text = QStringLiteral("%1 %2->%3 info=%4 serial=%5")
                       .arg(f.form == FrameForm::Vbtw ? QStringLiteral("VBTW") : QStringLiteral("VBT"))
                       .arg(f.sender)
                       .arg(f.addressee)
                       .arg(f.info)
                       .arg(f.serial);
    if (f.form == FrameForm::Vbtw && f.enableAsyer)
        text += QStringLiteral(" asyer");
    if (!f.payload.isEmpty())
        text += QStringLiteral(" \"%1\" [%2]").arg(printable(f.payload), hexBytes(f.payload));
    return text;
}

SimInterface::SimInterface(SimContext& ctx, JsonReader& cfg) : ctx_(ctx)
{
    name_ = cfg.string("name", QString());
    if (name_.isEmpty() || name_.contains(QLatin1Char(' ')) || name_.contains(QLatin1Char('/')))
        cfg.fail("name", QStringLiteral("is required: one word that names the interface"));
    const QString protocol = cfg.string("protocol", QStringLiteral("VBT")).toUpper();
    if (protocol == QLatin1String("VBT"))
        protocol_ = Protocol::Vbt;
    else if (protocol == QLatin1String("VBTW"))
        protocol_ = Protocol::Vbtw;
    else if (protocol == QLatin1String("DOV"))
        protocol_ = Protocol::Dov;
    else
        cfg.fail("protocol", QStringLiteral("must be VBT, VBTW or DOV"));

    if (cfg.has("serial") && cfg.has("tcp"))
        cfg.fail(QStringLiteral("give either \"tcp\" or \"serial\", not both"));
    if (cfg.has("serial")) {
        JsonReader s = cfg.child("serial");
        endpoint_.serial = true;
        endpoint_.path = s.string("path", QString());
        if (endpoint_.path.isEmpty())
            s.fail("path", QStringLiteral("is required (a serial device such as /dev/pts/3)"));
        s.finish();
    } else {
        JsonReader t = cfg.child("tcp");
        endpoint_.host = t.string("host", QStringLiteral("127.0.0.1"));
        endpoint_.port = t.integer("port", 0, 0, 65535);
        t.finish();
    }
    const int baud = cfg.integer("baud", 0, 0, 4000000);
    if (baud > 0) {
        faults_[Fault::Slow].remaining = -1;
        faults_[Fault::Slow].number = baud;
    }
    JsonReader faults = cfg.child("faults");
    for (Fault f : {Fault::Refuse, Fault::Slow}) {
        const QByteArray key = FaultSet::name(f).toLatin1();
        if (!faults.has(key.constData()))
            continue;
        try {
            faults_.setFromJson(f, faults.value(key.constData()));
        } catch (const std::runtime_error& e) {
            faults.fail(key.constData(), QString::fromStdString(e.what()));
        }
    }
    faults.finish();

    const QJsonArray list = cfg.array("devices");
    QSet<quint32> addresses;
    for (int i = 0; i < list.size(); ++i) {
        JsonReader d = cfg.element(list, i, "devices");
        auto device = createDevice(ctx_, d, protocol_);
        if (protocol_ != Protocol::Dov && addresses.contains(device->address()))
            d.fail("address", QStringLiteral("%1 is used twice on this interface").arg(device->address()));
        addresses.insert(device->address());
        device->attach(this);
        devices_.push_back(std::move(device));
    }
    for (auto& d : devices_)
        d->neighboursReady();
    cfg.finish();
}

SimInterface::~SimInterface() = default;

QString SimInterface::protocolName() const
{
    switch (protocol_) {
    case Protocol::Vbt: return QStringLiteral("VBT");
    case Protocol::Vbtw: return QStringLiteral("VBTW");
    case Protocol::Dov: return QStringLiteral("DOV");
    }
    return {};
}

void SimInterface::start()
{
    for (auto& d : devices_)
        d->start();
}

void SimInterface::lineSpeedChanged()
{
    const int baud = faults_[Fault::Slow].active() ? faults_[Fault::Slow].number : 0;
    for (auto& [id, c] : connections_)
        c.writer->setBaud(baud);
}

SimInterface::Connection* SimInterface::connection(int id)
{
    auto it = connections_.find(id);
    return it == connections_.end() ? nullptr : &it->second;
}

QString SimInterface::label(int connection) const
{
    return QStringLiteral("%1#%2").arg(name_).arg(connection);
}

int SimInterface::attach(Port* port, const QString& peer)
{
    if (port->canClose() && faults_[Fault::Refuse].consume()) {
        ctx_.log.info(QStringLiteral("%1: connection from %2 dropped at once (refuse fault)").arg(name_, peer));
        port->close();
        return -1;
    }
    const int id = nextConnectionId_++;
    Connection& c = connections_[id];
    c.id = id;
    c.port = port;
    c.peer = peer;
    c.writer = std::make_unique<PacedWriter>(ctx_.time, [this, id](const QByteArray& bytes) {
        if (Connection* live = connection(id))
            live->port->write(bytes);
    });
    c.writer->setBaud(faults_[Fault::Slow].active() ? faults_[Fault::Slow].number : 0);
    ctx_.log.info(QStringLiteral("%1: connection from %2").arg(label(id), peer));
    return id;
}

void SimInterface::detach(int id)
{
    auto it = connections_.find(id);
    if (it == connections_.end())
        return;
    ctx_.log.info(QStringLiteral("%1: connection from %2 closed").arg(label(id), it->second.peer));
    connections_.erase(it);
}

void SimInterface::drop()
{
    std::vector<int> ids;
    for (auto& [id, c] : connections_)
        ids.push_back(id);
    for (int id : ids) {
        Connection* c = connection(id);
        if (!c)
            continue;
        c->writer->clear();
        c->rx.clear();
        if (!c->port->canClose()) {
            ctx_.log.info(QStringLiteral("%1: line cleared (drop)").arg(label(id)));
            continue;
        }
        Port* port = c->port;
        ctx_.log.info(QStringLiteral("%1: connection from %2 dropped").arg(label(id), c->peer));
        connections_.erase(id);
        port->close();
    }
}

void SimInterface::noise(const QByteArray& bytes)
{
    for (auto& [id, c] : connections_) {
        ctx_.log.traffic(QStringLiteral("%1 TX noise [%2]").arg(label(id), hexBytes(bytes)));
        c.writer->write(bytes);
    }
}

Device* SimInterface::deviceAt(quint32 shortAddress) const
{
    for (const auto& d : devices_)
        if (d->address() == shortAddress)
            return d.get();
    return nullptr;
}

Device* SimInterface::deviceByAddress(quint32 address) const
{
    for (const auto& d : devices_)
        if (d->address() == address || d->wideAddress() == address)
            return d.get();
    return nullptr;
}

Device* SimInterface::deviceByName(const QString& name) const
{
    for (const auto& d : devices_)
        if (d->name() == name)
            return d.get();
    return nullptr;
}

void SimInterface::receive(int id, const QByteArray& bytes)
{
    Connection* c = connection(id);
    if (!c)
        return;
    if (protocol_ == Protocol::Dov) {
        ctx_.log.traffic(QStringLiteral("%1 RX ignored by a DOV server [%2]").arg(label(id), hexBytes(bytes)));
        return;
    }
    c->writer->received(bytes.size());
    c->rx += bytes;
    const bool vbt = true;
    const bool vbtw = protocol_ == Protocol::Vbtw;
    while (true) {
        auto e = extractFrame(c->rx, vbt, vbtw);
        if (!e)
            break;
        if (!e->skipped.isEmpty())
            ctx_.log.traffic(QStringLiteral("%1 RX skipped %2 byte(s) [%3]")
                                 .arg(label(id))
                                 .arg(e->skipped.size())
                                 .arg(hexBytes(e->skipped)));
        handleFrame(*c, e->frame);
        c = connection(id);
        if (!c)
            return;
    }
    // Only what holds no complete frame is cut: a large read full of frames loses none.
    if (c->rx.size() > RxLimit) {
        c->rx = c->rx.right(RxKeep);
        ctx_.log.info(QStringLiteral("%1: receive buffer overflow, kept the last %2 bytes").arg(label(id)).arg(RxKeep));
    }
}

bool SimInterface::addressedTo(const Device& d, const Frame& f) const
{
    if (f.form == FrameForm::Vbt)
        return f.addressee == d.address();
    return f.addressee == d.wideAddress() || f.addressee == d.address();
}

void SimInterface::handleFrame(Connection& c, const QByteArray& raw)
{
    Frame f;
    const DecodeError err = decodeAnyFrame(raw, &f);
    if (err != DecodeOk) {
        ++badFrames_;
        ctx_.log.info(QStringLiteral("%1: undecodable frame (%2 %3) [%4]")
                          .arg(label(c.id))
                          .arg(int(err))
                          .arg(decodeErrorText(err), hexBytes(raw)));
        return;
    }
    ++framesIn_;
    ctx_.log.traffic(QStringLiteral("%1 RX %2").arg(label(c.id), describeFrame(f)));
    if (f.sender != ComputerAddress) {
        ctx_.log.traffic(QStringLiteral("%1 not from the computer; ignored").arg(label(c.id)));
        return;
    }
    const bool broadcast =
        f.addressee == BroadcastAddress || (f.form == FrameForm::Vbtw && f.addressee == 0xFFFFFFFFu);
    if (broadcast) {
        if (f.info == InfoAck || f.info == InfoNack || f.info == InfoRepeated)
            return;
        for (auto& d : devices_) {
            if (d->offline() || d->faults()[Fault::Silence].remaining < 0)
                continue;
            d->heardComputer();
            d->executeBroadcast(f.payload);
        }
        return;
    }
    for (auto& d : devices_) {
        if (addressedTo(*d, f)) {
            serveRequest(c, *d, f);
            return;
        }
    }
}

void SimInterface::serveRequest(Connection& c, Device& d, const Frame& f)
{
    const int id = c.id;
    if (d.offline()) {
        ctx_.log.traffic(QStringLiteral("%1 %2 is restarting or busy; nothing heard").arg(label(id), d.name()));
        return;
    }
    FaultSet& fs = d.faults();
    if (fs[Fault::Silence].consume()) {
        ctx_.log.traffic(QStringLiteral("%1 %2 stays silent (fault)").arg(label(id), d.name()));
        return;
    }
    d.heardComputer();
    if (f.info == InfoAck || f.info == InfoRepeated || f.info == InfoNack) {
        d.linkAcknowledged(f.serial, f.info);
        return;
    }
    Plan p;
    p.serial = f.serial;
    if (fs[Fault::WrongSerial].consume())
        p.serial = f.serial >= 250 ? 1 : quint8(f.serial + 1);
    if (fs[Fault::Garbage].consume())
        p.garbage = fs[Fault::Garbage].bytes;
    if (fs[Fault::Delay].consume())
        p.delayMs = fs[Fault::Delay].number;
    const ReplyRoute route{id, f.form, f.sender, p.serial, f.form == FrameForm::Vbt || f.enableAsyer};
    auto send = [&](const QByteArray& payload, quint8 info) {
        writeFrame(d, id, f.form, info, p.serial, payload, p.garbage, p.delayMs);
    };
    auto asyer = [&](int status) {
        if (route.asyerAllowed)
            send(QByteArrayLiteral("ASYER") + char(status), InfoNoAck);
        else
            ctx_.log.traffic(QStringLiteral("%1 %2 may not answer ASYER %3 to this request; silent")
                                 .arg(label(id), d.name())
                                 .arg(status));
    };
    if (fs[Fault::Nack].consume()) {
        send({}, InfoNack);
        return;
    }
    if (fs[Fault::Asyer].consume()) {
        asyer(fs[Fault::Asyer].number);
        return;
    }
    if (d.isRepeat(f)) {
        send({}, f.form == FrameForm::Vbtw ? InfoRepeated : InfoAck);
        return;
    }
    if (f.info == InfoWantAck)
        send({}, InfoAck);
    const Outcome o = d.execute(f.payload, route);
    switch (o.kind) {
    case Outcome::Answer: {
        QByteArray payload = o.payload;
        if (fs[Fault::Tail].consume())
            payload = alterTail(payload, fs[Fault::Tail].bytes);
        send(payload, InfoNoAck);
        break;
    }
    case Outcome::Reject: asyer(o.status); break;
    case Outcome::Nothing: break;
    }
}

void SimInterface::writeFrame(Device& from, int id, FrameForm form, quint8 info, quint8 serial,
                              const QByteArray& payload, const QByteArray& garbage, int delayMs)
{
    Connection* c = connection(id);
    if (!c)
        return;
    Frame out;
    out.form = form;
    out.addressee = ComputerAddress;
    out.sender = form == FrameForm::Vbtw ? from.wideAddress() : from.address();
    out.shortSender = quint8(from.address() & 0xFF);
    out.info = info;
    out.serial = serial;
    out.payload = payload;
    const QByteArray raw = encodeFrame(out);
    if (raw.isEmpty()) {
        ctx_.log.info(QStringLiteral("%1: %2 cannot frame %3 bytes; nothing sent").arg(label(id), from.name()).arg(payload.size()));
        return;
    }
    ++framesOut_;
    ctx_.log.traffic(QStringLiteral("%1 TX %2%3%4")
                         .arg(label(id), describeFrame(out))
                         .arg(garbage.isEmpty() ? QString() : QStringLiteral(" after garbage [%1]").arg(hexBytes(garbage)))
                         .arg(delayMs > 0 ? QStringLiteral(" delayed %1 ms").arg(delayMs) : QString()));
    c->writer->write(garbage + raw, delayMs);
}

void SimInterface::sendReply(Device& from, const ReplyRoute& route, const QByteArray& payload, quint8 info)
{
    if (route.connection < 0)
        return;
    writeFrame(from, route.connection, route.form, info, route.serial, payload, {}, 0);
}

int SimInterface::sendUnsolicited(Device& from, const QByteArray& payload, quint8 info, quint8 serial)
{
    const FrameForm form = protocol_ == Protocol::Vbtw ? FrameForm::Vbtw : FrameForm::Vbt;
    FaultSet& fs = from.faults();
    const QByteArray garbage = fs[Fault::Garbage].consume() ? fs[Fault::Garbage].bytes : QByteArray();
    const int delayMs = fs[Fault::Delay].consume() ? fs[Fault::Delay].number : 0;
    std::vector<int> ids;
    for (auto& [id, c] : connections_)
        ids.push_back(id);
    for (int id : ids)
        writeFrame(from, id, form, info, serial, payload, garbage, delayMs);
    return int(ids.size());
}

int SimInterface::sendLine(Device& from, const QByteArray& line, int delayMs)
{
    for (auto& [id, c] : connections_) {
        ctx_.log.traffic(QStringLiteral("%1 TX %2: %3").arg(label(id), from.name(), QString::fromLatin1(line).trimmed()));
        c.writer->write(line, delayMs);
    }
    return int(connections_.size());
}

QStringList SimInterface::statusLines() const
{
    QStringList out;
    const QString where = endpoint_.serial ? QStringLiteral("serial %1").arg(endpoint_.path)
                                           : QStringLiteral("tcp %1:%2").arg(endpoint_.host).arg(endpoint_.port);
    out << QStringLiteral("interface %1 %2 %3 connections %4 frames in %5 out %6 bad %7 faults: %8")
               .arg(name_, protocolName(), where)
               .arg(connections_.size())
               .arg(framesIn_)
               .arg(framesOut_)
               .arg(badFrames_)
               .arg(faults_.describe());
    for (const auto& d : devices_)
        for (const QString& line : d->statusLines())
            out << QStringLiteral("  ") + line;
    return out;
}

} // namespace cvx::vbtsim
