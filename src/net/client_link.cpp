#include "net/client_link.h"

#include "acquisition/code_tables.h"
#include "acquisition/probe_lists.h"
#include "devproto/devproto_error.h"
#include "net/net_sockets.h"
#include "platform/tcp_client.h"
#include "platform/time_service.h"
#include "shell/catalogue.h"
#include "shell/logs.h"
#include "shell/shell_state.h"
#include "shell/warnings.h"

namespace cvx {

TClientLink::TClientLink(TimeService& time, ProbeLists& probes, NetSockets& sockets, NetAcquisitionHooks acquisition,
                         Hooks hooks)
    : time_(time), probes_(probes), sockets_(sockets), acq_(std::move(acquisition)), hooks_(std::move(hooks))
{
    socket_ = sockets_.createClient();
    socket_->setEvents(TcpClient::Events{[this] { onConnected(); }, [this] { onDisconnected(); },
                                         [this](int code, const QString& message) { onError(code, message); },
                                         [this](const QByteArray& bytes) { onReceived(bytes); }});
    timKapcsolodas_ = time_.createTimer(ReconnectIntervalMs, false, [this] { Reconnect(); });
}

TClientLink::~TClientLink()
{
    timKapcsolodas_->stop();
    socket_->close();
}

// ------------------------------------------------------------------ connection

void TClientLink::Open(const QString& host, quint16 port)
{
    host_ = host;
    port_ = port;
    connectNow();
}

void TClientLink::Close()
{
    timKapcsolodas_->stop();
    active_ = false;
    socket_->close();
}

bool TClientLink::Connected() const { return active_ && socket_->isConnected(); }
bool TClientLink::ReconnectPending() const { return timKapcsolodas_->isActive(); }

void TClientLink::connectNow()
{
    socket_->close();
    rx_.ClearReceived();
    if (host_.isEmpty()) {
        // No master registered yet: look again at every reconnect tick, so that a
        // recording instance started later is found.
        active_ = false;
        timKapcsolodas_->setEnabled(true);
        return;
    }
    active_ = true;
    socket_->connectToHost(host_, port_);
}

void TClientLink::Reconnect()
{
    const QString host = hooks_.readMasterHost ? hooks_.readMasterHost() : shellState().RegisteredMasterHost;
    shellState().RegisteredMasterHost = host;
    host_ = host;
    connectNow();
}

void TClientLink::ReconnectClicked()
{
    LogLine(Msg("msgReconnecting"), true);
    Reconnect();
}

void TClientLink::onConnected()
{
    firstValuesLogged_ = false;
    LogLine(Fmt("msgConnectedToSrv", host_, int(port_)), true);
    if (warningPanel().menuAlertsDisappear())
        warningPanel().Close();
    timKapcsolodas_->stop();
}

void TClientLink::onError(int, const QString&)
{
    active_ = false;
    socket_->close();
    if (shellState().Stopping)
        return;
    timKapcsolodas_->setEnabled(true);
    ShowWarning(Msg("errConnectingToSrv"));
}

void TClientLink::onDisconnected()
{
    active_ = false;
    socket_->close();
    if (shellState().Stopping)
        return;
    timKapcsolodas_->setEnabled(true);
    LogLine(Msg("msgConnClosed"), true);
    ShowWarning(Msg("msgSrvClosedConn"));
}

// ------------------------------------------------------------------ receiving

void TClientLink::onReceived(const QByteArray& bytes)
{
    const qsizetype discarded = rx_.AppendReceived(bytes);
    if (discarded > 0) {
        stats_.discardedBytes += discarded;
        LogLine(Fmt("msgPeerDataDiscarded", host_, int(port_), qint64(discarded)), true);
    }
    for (;;) {
        const QString text = rx_.ExtractReceived();
        if (text.isEmpty())
            break;
        ++stats_.messagesReceived;
        rx_.Decode(text);
        try {
            handleMessage();
        } catch (const DevProtoError& e) {
            LogLine(Fmt("msgBadInstanceMessage", host_, int(port_), e.text(), PrintableText(text.toUtf8())), true);
        }
        if (!active_)
            break;
    }
}

void TClientLink::handleMessage()
{
    switch (rx_.PckType) {
    case instance_msg::Values:
        applyValues();
        break;
    case instance_msg::Restart:
        LogLine(Msg("msgSrvSentRestartCmd"), true);
        shellState().Stopping = true;
        if (hooks_.restartOrdered)
            hooks_.restartOrdered();
        break;
    default:
        break;
    }
}

void TClientLink::applyValues()
{
    using namespace instance_msg;
    if (hooks_.answerArrived)
        hooks_.answerArrived();
    stats_.lastValuesTick = time_.tickMs();

    const bool current = rx_.HasField(fId);
    int id = 0, measureType = 0;
    double value = NoValue;
    bool recorded = false, active = false, online = false;
    QByteArray answer;
    QDateTime t;
    if (current) {
        id = int(rx_.FieldByName(fId).GetAsInt());
        value = rx_.FieldByName(fValue).GetAsFloat();
        t = rx_.FieldByName(fTime).GetAsDateTime();
        measureType = int(rx_.FieldByName(fMeasureType).GetAsInt());
        recorded = rx_.FieldByName(fRecorded).GetAsBool();
        active = rx_.FieldByName(fActive).GetAsBool();
        online = rx_.FieldByName(fOnline).GetAsBool();
    } else {
        id = int(rx_.FieldByName(fPrid).GetAsInt());
        answer = rx_.FieldByName(fAnswer).GetAsBytes();
        t = rx_.FieldByName(fAnswerTime).GetAsDateTime();
    }

    TProbe* s = probes_.FindSensor(id);
    // A sensor accepts only the measure types its type carries.
    if (!s || (current && (!isValidMeasureType(measureType) || !sensorCarries(s->SensorType, measureType)))) {
        ++stats_.valuesDropped;
        return;
    }
    if (t.isValid() && (!s->RemoteTime.isValid() || t > s->RemoteTime)) {
        s->MeasureGap = s->RemoteTime.isValid() ? s->RemoteTime.msecsTo(t)
            : s->ParentInterface                ? s->ParentInterface->PollInterval
                                                : s->PollInterval;
        s->RemoteTime = t;
    }
    ++stats_.valuesApplied;
    if (!firstValuesLogged_) {
        // Once per connection: the link carries values, not only a connection.
        firstValuesLogged_ = true;
        LogLine(Msg("msgFirstValuesFromSrv"), true);
    }
    if (current) {
        if (onValue)
            onValue(id, measureType, t, value);
        if (acq_.setRemoteValue)
            acq_.setRemoteValue(*s, measureType, t, value, active, online, recorded);
    } else if (acq_.handleAnswer) {
        acq_.handleAnswer(*s, answer, 0);
    }
}

// ------------------------------------------------------------------ requests

bool TClientLink::send(int messageType)
{
    if (!Connected())
        return false;
    return socket_->write(tx_.EncodeWire(messageType), nullptr);
}

bool TClientLink::SendPollRequest()
{
    tx_.Clear();
    const bool sent = send(instance_msg::PollRequest);
    if (hooks_.answerAwaited)
        hooks_.answerAwaited();
    return sent;
}

bool TClientLink::SendPollAllNow()
{
    tx_.Clear();
    const bool sent = send(instance_msg::PollAllNow);
    if (hooks_.answerAwaited)
        hooks_.answerAwaited();
    return sent;
}

bool TClientLink::SendRelaySwitch(int sensorId, bool on)
{
    tx_.Clear();
    tx_.FieldByName(instance_msg::fPrid).SetAsInt(sensorId);
    tx_.FieldByName(instance_msg::fRelayOn).SetAsBool(on);
    return send(instance_msg::SwitchRelay);
}

bool TClientLink::SendEcho()
{
    tx_.Clear();
    return send(instance_msg::Echo);
}

} // namespace cvx
