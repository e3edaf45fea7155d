#include "net/master_link.h"

#include "acquisition/code_tables.h"
#include "acquisition/probe_lists.h"
#include "devproto/devproto_error.h"
#include "link/kuldendo.h"
#include "link/vbt_comms.h"
#include "net/net_sockets.h"
#include "platform/tcp_server.h"
#include "platform/time_service.h"
#include "shell/catalogue.h"
#include "shell/logs.h"

#include <algorithm>

namespace cvx {

struct TMasterLink::Connection {
    std::unique_ptr<TcpConnection> socket;
    TCorvaluxProtocol rx;
    QString address;
    quint16 port = 0;
    bool dead = false;
};

namespace {

// A sensor's measurement counts as stored when it is the newest stored one.
bool measurementRecorded(const TProbe& s)
{
    return s.LastRecordTime.isValid() && s.LastMeasureTime.isValid() && s.LastRecordTime == s.LastMeasureTime;
}

bool interfaceOnline(const TProbe& s)
{
    const TProbe* i = s.ParentInterface;
    return i && i->Link && i->Link->Connected();
}

} // namespace

TMasterLink::TMasterLink(TimeService& time, ProbeLists& probes, NetSockets& sockets, NetAcquisitionHooks hooks)
    : time_(time), probes_(probes), sockets_(sockets), hooks_(std::move(hooks))
{
    timReplyPollingReady_ = time_.createTimer(PushDelayMs, true, [this] { Push(); });
    reaper_ = time_.createTimer(0, true, [this] { reap(); });
}

TMasterLink::~TMasterLink()
{
    Close();
    reap();
}

// ------------------------------------------------------------------ servers

bool TMasterLink::Open(quint16 port)
{
    Close();
    server_ = sockets_.createServer();
    server_->setAcceptHandler([this](std::unique_ptr<TcpConnection> c) { accept(std::move(c)); });
    keepAliveServer_ = sockets_.createServer();
    keepAliveServer_->setAcceptHandler([this](std::unique_ptr<TcpConnection> c) { acceptKeepAlive(std::move(c)); });

    bool ok = true;
    QString error;
    if (!server_->listen(ListenAddress, port, &error)) {
        LogLine(Fmt("errOpeningServerSocketIs", error), true);
        ok = false;
    }
    if (!keepAliveServer_->listen(ListenAddress, quint16(port + 1), &error)) {
        LogLine(Fmt("errOpeningServerSocketIs", error), true);
        ok = false;
    }
    return ok;
}

void TMasterLink::Close()
{
    timReplyPollingReady_->stop();
    if (server_)
        server_->close();
    if (keepAliveServer_)
        keepAliveServer_->close();
    for (auto* list : {&clients_, &keepAliveClients_})
        for (auto& c : *list)
            drop(*c);
    // The servers go with the connections, never inside one of their own callbacks.
    if (server_)
        retiredServers_.push_back(std::move(server_));
    if (keepAliveServer_)
        retiredServers_.push_back(std::move(keepAliveServer_));
    reaper_->setEnabled(true);
}

bool TMasterLink::Listening() const { return server_ && server_->isListening(); }
quint16 TMasterLink::Port() const { return server_ ? server_->serverPort() : 0; }

int TMasterLink::ClientCount() const
{
    int n = 0;
    for (const auto& c : clients_)
        n += c->dead ? 0 : 1;
    return n;
}

int TMasterLink::KeepAliveClientCount() const
{
    int n = 0;
    for (const auto& c : keepAliveClients_)
        n += c->dead ? 0 : 1;
    return n;
}

// ------------------------------------------------------------------ client connections

void TMasterLink::accept(std::unique_ptr<TcpConnection> socket)
{
    auto c = std::make_unique<Connection>();
    Connection* conn = c.get();
    conn->address = socket->peerAddress();
    conn->port = socket->peerPort();
    conn->socket = std::move(socket);
    conn->socket->setEvents(TcpConnection::Events{
        [this, conn](const QByteArray& bytes) { clientRead(*conn, bytes); },
        [this, conn](int code, const QString&) {
            if (conn->dead)
                return;
            LogLine(Fmt("msgClientNetworkError", conn->address, int(conn->port), code), true);
            drop(*conn);
        },
        [this, conn] {
            if (conn->dead)
                return;
            LogLine(Fmt("msgClientClosedConn", conn->address, int(conn->port)), true);
            drop(*conn);
        }});
    clients_.push_back(std::move(c));
    LogLine(Fmt("msgClientConnected", conn->address, int(conn->port), ClientCount()), true);
}

void TMasterLink::clientRead(Connection& c, const QByteArray& bytes)
{
    if (c.dead)
        return;
    // Framing by "*" and "#" needs no trimming; a blank that ends a chunk may belong to
    // a value.
    const qsizetype discarded = c.rx.AppendReceived(bytes);
    if (discarded > 0) {
        stats_.discardedBytes += discarded;
        LogLine(Fmt("msgPeerDataDiscarded", c.address, int(c.port), qint64(discarded)), true);
    }
    for (;;) {
        const QString text = c.rx.ExtractReceived();
        if (text.isEmpty() || c.dead)
            break;
        ++stats_.messagesReceived;
        c.rx.Decode(text);
        try {
            handleMessage(c);
        } catch (const DevProtoError& e) {
            LogLine(Fmt("msgBadInstanceMessage", c.address, int(c.port), e.text(), PrintableText(text.toUtf8())),
                    true);
        }
    }
}

void TMasterLink::handleMessage(Connection& c)
{
    switch (c.rx.PckType) {
    case instance_msg::PollRequest:
        ArmPush();
        break;
    case instance_msg::PollAllNow:
        pollAllNow();
        break;
    case instance_msg::Echo:
        sendToClients(instance_msg::KeepAliveReply);
        break;
    case instance_msg::SwitchRelay:
        switchRelay(c);
        break;
    default:
        break;
    }
}

void TMasterLink::pollAllNow()
{
    // Sensors may be reloaded by what a handler does: walk by index.
    for (size_t i = 0; i < probes_.Sensors.size(); ++i) {
        TProbe& s = *probes_.Sensors[i];
        TProbe* iface = s.ParentInterface;
        if (!iface || (iface->ProtocolType != ptVBT && iface->ProtocolType != ptVBTW) || !s.Link)
            continue;
        TOnIncoming_tagged onRead = s.Link->OnRead;
        if (!onRead && hooks_.handleAnswer) {
            TProbe* sp = &s;
            auto handle = hooks_.handleAnswer;
            onRead = TOnIncoming_tagged::keyed(sp, "HandleAnswer", [sp, handle](const QByteArray& a, quint16 code, int) {
                handle(*sp, a, code);
            });
        }
        if (s.SensorType != stRelayPanel && s.SensorType != stInputPanel) {
            if (s.Link->Active())
                SendPollCommand(s.Link.get(), s.Link->PollCmd, s.Link->VBTAddress, onRead, s.Link->PollAns);
        } else if (iface->IsUsed && s.IsUsed && iface->Link) {
            SendPollCommand(iface->Link.get(), s.Link->PollCmd, s.Link->VBTAddress, onRead, s.Link->PollAns);
        }
    }
}

void TMasterLink::switchRelay(Connection& c)
{
    TProbe* s = probes_.FindSensor(int(c.rx.FieldByName(instance_msg::fPrid).GetAsInt()));
    if (!s || !isRelaySensorType(s->SensorType))
        return;
    const bool on = c.rx.FieldByName(instance_msg::fRelayOn).GetAsBool();
    TProbe* iface = s->ParentInterface;
    if (!iface || !iface->Link)
        return;
    if (s->SensorType == stSerialRelay) {
        iface->Link->SetLine(s->RelayIndex + 1, on);
        return;
    }
    QByteArray command = on ? QByteArrayLiteral("CRLSO") : QByteArrayLiteral("CRLSC");
    command.append(char(quint8(s->RelayIndex)));
    const quint32 address = s->Link ? s->Link->VBTAddress : quint32(s->Address);
    SendTagged(iface->Link.get(), command, address, 0, 0, nullptr, nullptr, QByteArray());
}

// ------------------------------------------------------------------ keep-alive port

void TMasterLink::acceptKeepAlive(std::unique_ptr<TcpConnection> socket)
{
    auto c = std::make_unique<Connection>();
    Connection* conn = c.get();
    conn->address = socket->peerAddress();
    conn->port = socket->peerPort();
    conn->socket = std::move(socket);
    conn->socket->setEvents(TcpConnection::Events{[this, conn](const QByteArray& bytes) {
                                                      if (!conn->dead)
                                                          keepAliveRead(bytes);
                                                  },
                                                  [this, conn](int, const QString&) { drop(*conn); },
                                                  [this, conn] { drop(*conn); }});
    keepAliveClients_.push_back(std::move(c));
}

void TMasterLink::keepAliveRead(const QByteArray& bytes)
{
    if (!bytes.isEmpty())
        sendToKeepAliveClients(instance_msg::KeepAliveReply);
}

// ------------------------------------------------------------------ push and broadcast

void TMasterLink::ArmPush()
{
    if (!timReplyPollingReady_->isActive())
        armedAt_ = time_.tickMs();
    timReplyPollingReady_->setEnabled(true);
}
bool TMasterLink::PushArmed() const { return timReplyPollingReady_->isActive(); }

void TMasterLink::Push()
{
    timReplyPollingReady_->stop();
    const qint64 start = time_.tickMs();
    if (armedAt_ >= 0)
        stats_.maxPushDelayMs = std::max(stats_.maxPushDelayMs, start - armedAt_);
    armedAt_ = -1;
    using namespace instance_msg;
    // One message per sensor and measure type; a client reads them one by one, so the
    // whole push can leave in one write per client.
    QByteArray batch;
    qint64 count = 0;
    for (const auto& sp : probes_.Sensors) {
        const TProbe& s = *sp;
        if (s.Inactive)
            continue;
        for (int l = 1; l <= MeasureTypeCount; ++l) {
            if (!sensorCarries(s.SensorType, l) || s.Values[l] == NoValue)
                continue;
            tx_.FieldByName(fId).SetAsInt(s.Id);
            tx_.FieldByName(fValue).SetAsFloat(s.Values[l]);
            tx_.FieldByName(fTime).SetAsDateTime(s.LastMeasureTime);
            tx_.FieldByName(fMeasureType).SetAsInt(l);
            tx_.FieldByName(fRecorded).SetAsBool(measurementRecorded(s));
            tx_.FieldByName(fActive).SetAsBool(s.IsUsed);
            tx_.FieldByName(fOnline).SetAsBool(interfaceOnline(s));
            batch += tx_.EncodeWire(Values);
            ++count;
        }
    }
    if (!batch.isEmpty())
        sendToClients(batch);
    ++stats_.pushes;
    stats_.messagesPushed += count;
    stats_.lastPushTick = time_.tickMs();
    stats_.maxPushDurationMs = std::max(stats_.maxPushDurationMs, stats_.lastPushTick - start);
}

void TMasterLink::SendRestartToClients()
{
    tx_.Clear();
    sendToClients(tx_.EncodeWire(instance_msg::Restart));
}

void TMasterLink::sendToClients(const QByteArray& bytes)
{
    for (size_t i = 0; i < clients_.size(); ++i)
        if (!clients_[i]->dead)
            send(*clients_[i], bytes);
}

void TMasterLink::sendToKeepAliveClients(const QByteArray& bytes)
{
    for (size_t i = 0; i < keepAliveClients_.size(); ++i) {
        Connection& c = *keepAliveClients_[i];
        if (!c.dead && !c.socket->write(bytes, nullptr))
            drop(c);
    }
}

bool TMasterLink::send(Connection& c, const QByteArray& bytes)
{
    const qint64 pending = c.socket->pendingWriteBytes();
    if (pending > MaxPendingWriteBytes) {
        ++stats_.droppedSlowClients;
        LogLine(Fmt("msgClientNotReading", c.address, int(c.port), pending), true);
        drop(c);
        return false;
    }
    // A failed write shows up as the connection's error or disconnection.
    return c.socket->write(bytes, nullptr);
}

// ------------------------------------------------------------------ connection lifetime

void TMasterLink::drop(Connection& c)
{
    if (c.dead)
        return;
    c.dead = true;
    c.socket->close();
    // Never destroyed inside its own callback: the reaper runs from the event loop.
    reaper_->setEnabled(true);
}

void TMasterLink::reap()
{
    for (auto* list : {&clients_, &keepAliveClients_})
        std::erase_if(*list, [](const std::unique_ptr<Connection>& c) { return c->dead; });
    retiredServers_.clear();
}

} // namespace cvx
