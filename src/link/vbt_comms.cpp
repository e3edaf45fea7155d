// Link engine: lifecycle, submission, the send cycle and reporting.
#include "link/vbt_comms.h"

#include "link/comm_log.h"
#include "shell/logs.h"
#include "shell/shell_state.h"

#include <QRandomGenerator>

namespace cvx {

using commlog::None;

TVBTComms::TVBTComms(TimeService& time, TransportFactory* transports)
    : time_(time),
      transports_(transports ? *transports : qtTransports()),
      alive_(std::make_shared<bool>(true)),
      random_(QRandomGenerator::global()->generate())
{
    // Process-wide settings are taken once, when the engine is created.
    const ShellState& s = shellState();
    Timeout_1 = s.VbtTimeOut1;
    Timeout_2 = s.VbtTimeOut2;
    Timeout_3 = s.VbtTimeOut3;
    Max_tries_cmd = s.VbtCommandAttempts;
    Max_tries_poll = s.VbtPollAttempts;
    Poll_Log = s.LOG_POLL;
    std::uniform_int_distribution<int> serial(1, 249);
    lastTxSerial_ = quint8(serial(random_));
    lastRxSerial_ = quint8(serial(random_));
    createTimers();
}

TVBTComms::~TVBTComms()
{
    destroying_ = true;
    // Clients first lose their owner, then stop.
    const QList<TVBTComms*> clients = clients_;
    clients_.clear();
    polledClient_ = nullptr;
    for (TVBTComms* c : clients) {
        c->attachedToOwner_ = false;
        c->PortOwner = nullptr;
        c->SetActive(false);
    }
    SetActive(false);
    if (PortOwner && attachedToOwner_)
        leaveOwner();
    *alive_ = false;
    queue_.clear();
    closePort();
}

void TVBTComms::SeedRandom(quint32 seed)
{
    random_.seed(seed);
    txFramer_.seedRandom(seed + 1);
}

void TVBTComms::SetVBTMode(TVBTMode mode)
{
    txFramer_.VBTMode = mode;
    rxFramer_.VBTMode = mode;
}

bool TVBTComms::Connected() const { return PortOwner ? PortOwner->Connected() : connected_; }

bool TVBTComms::AnswerTimerRunning() const { return answerTimer_->isActive(); }

const TKuldendo* TVBTComms::QueuedPacket(int index) const
{
    return index >= 0 && index < int(queue_.size()) ? queue_[size_t(index)].get() : nullptr;
}

void TVBTComms::createTimers()
{
    sendTick_ = time_.createTimer(1, false, [this] { sendCycle(false); });
    pollTimer_ = time_.createTimer(PollTimerInterval, false, [this] { sendCycle(true); });
    answerTimer_ = time_.createTimer(Timeout_1, false, [this] { answerTimeout(); });
    queueTimer_ = time_.createTimer(Timeout_3, false, [this] { queueTimeout(); });
    // Received bytes are processed at the next turn of the event loop.
    processTick_ = time_.createTimer(0, false, [this] { processTick(); });
    connectTimer_ = time_.createTimer(30000, false, [this] { connectTimerTick(); });
}

void TVBTComms::stopAllTimers()
{
    processTick_->stop();
    connectTimer_->stop();
    pollTimer_->stop();
    sendTick_->stop();
    answerTimer_->stop();
    queueTimer_->stop();
}

// ---- start and stop --------------------------------------------------------------------

void TVBTComms::SetActive(bool active)
{
    if (active == active_)
        return;
    lastLogType_ = -1;
    if (active) {
        stopAllTimers();
        rxBuffer_.clear();
        direct_ = !PortOwner && VBTAddress != 0;
        if (PortOwner || VBTAddress != 0)
            Pollingolo = false;
        pollTimer_->setInterval(std::max(1, PollTimerInterval));
        if (Pollingolo)
            pollTimer_->start();
        state_ = TState::Idle;
        tries_ = 0;
        pollsThisRound_ = 0;
        active_ = true;
        WriteLog(QStringLiteral("VBTPort active."), commlog::General);
        if (PortOwner) {
            PortOwner->AttachClient(this);
            return;
        }
        std::uniform_int_distribution<int> first(1000, 29999);
        connectTimer_->start(first(random_));
        if (!NoPortOpen)
            attemptConnection();
        if (!queue_.empty() && active_)
            sendTick_->setEnabled(true);
        return;
    }

    stopAllTimers();
    const bool wasConnected = connected_;
    connected_ = false;
    connecting_ = false;
    WriteLog(QStringLiteral("VBTPort inactive."), commlog::General);
    closePort();
    auto alive = alive_;
    // Packets submitted from these callbacks stay queued for the next start.
    std::deque<std::unique_ptr<TKuldendo>> pending;
    pending.swap(queue_);
    for (auto& p : pending) {
        if (!report(std::move(p), Finish{vbt::rcDropped, {}, false, false}))
            return;
    }
    if (PortOwner && attachedToOwner_)
        leaveOwner();
    if (!*alive)
        return;
    state_ = TState::Idle;
    if (!PortOwner && wasConnected) {
        active_ = false;
        onDisconnected();
        if (!*alive)
            return;
    }
    active_ = false;
}

// ---- submission -----------------------------------------------------------------------

void SendWith(std::unique_ptr<TKuldendo> packet, TVBTComms* link)
{
    if (!packet)
        return;
    if (!link)
        throw VBTError(QStringLiteral("Unassigned VBTPort in SendWith. Pck: %1").arg(PrintableText(packet->Data)));
    link->Submit(std::move(packet));
}

namespace {

void applyExpectedAnswer(TKuldendo& p, const QByteArray& expectedAnswer)
{
    if (expectedAnswer == "#") {
        p.ExpectedAnswer = "*";
        p.Options |= psoForceWait;
    } else {
        p.ExpectedAnswer = expectedAnswer;
    }
}

} // namespace

void SendTagged(TVBTComms* link, const QByteArray& data, quint32 address, int waitTime, int tag,
                TOnIncoming_tagged onError, TOnIncoming_tagged onRead, const QByteArray& expectedAnswer)
{
    auto p = std::make_unique<TKuldendo>(data, address);
    p->Options = psoTagged;
    p->WaitTime = waitTime < 0 ? -waitTime : waitTime;
    p->Tag = tag;
    p->OnError = std::move(onError);
    p->OnRead = std::move(onRead);
    applyExpectedAnswer(*p, expectedAnswer);
    if (waitTime > 0) {
        p->Options |= psoForceAck | psoWaitAfterAck;
        if (!p->ExpectsAnswer())
            p->Options |= psoForceWait;
    }
    SendWith(std::move(p), link);
}

void SendWithResult(TVBTComms* link, const QByteArray& data, quint32 address, int waitTime, const QString& tagStr,
                    void* tagObj, int tag, TOnVBTCmdResult onResult, const QByteArray& expectedAnswer)
{
    auto p = std::make_unique<TKuldendo>(data, address);
    p->WaitTime = waitTime;
    p->TagStr = tagStr;
    p->TagObj = tagObj;
    p->Tag = tag;
    p->OnResult = std::move(onResult);
    applyExpectedAnswer(*p, expectedAnswer);
    if (waitTime > 0)
        p->Options |= psoForceAck | psoWaitAfterAck;
    SendWith(std::move(p), link);
}

void SendPollCommand(TVBTComms* link, const QByteArray& data, quint32 address, TOnIncoming_tagged onRead,
                     const QByteArray& expectedAnswer)
{
    auto p = std::make_unique<TKuldendo>(data, address);
    p->Options = psoTagged | psoDontAck | psoNoRepeat | psoUsePollTimeout;
    p->OnRead = std::move(onRead);
    applyExpectedAnswer(*p, expectedAnswer);
    SendWith(std::move(p), link);
}

void TVBTComms::Submit(std::unique_ptr<TKuldendo> p)
{
    if (!p)
        return;
    if (p->Address == 0)
        p->Address = VBTAddress != 0 ? VBTAddress : 1;
    if (PortOwner) {
        if (attachedToOwner_ && active_ && PortOwner->active_) {
            p->Owner = this;
            PortOwner->submitToPort(std::move(p));
            return;
        }
        LogPacket(QStringLiteral("CSATNEMAKT"), commlog::Decision, p->Data, None, p->Address, None, None, 0,
                  lastSendTime_, !p->has(psoDontLog));
        report(std::move(p), Finish{vbt::rcNotActive, {}, false, true});
        return;
    }
    submitToPort(std::move(p));
}

void TVBTComms::refuse(std::unique_ptr<TKuldendo> p, quint16 code, const QString& text)
{
    LogPacket(text, commlog::Decision, p->Data, None, p->Address, None, None, 0, lastSendTime_, true);
    report(std::move(p), Finish{code, {}, false, true});
}

void TVBTComms::submitToPort(std::unique_ptr<TKuldendo> p)
{
    const bool dontQueue = p->has(psoDontQueue);
    if (!active_)
        return refuse(std::move(p), vbt::rcNotActive, QStringLiteral("NEM AKTIV"));
    if (dontQueue && !connected_)
        return refuse(std::move(p), vbt::rcNoConnection, QStringLiteral("NINCS KAPCS"));
    if (!dontQueue && int(queue_.size()) >= vbt::QueueLimit)
        return refuse(std::move(p), vbt::rcQueueFullOrWrite, QStringLiteral("PUFFER TELE"));

    if (p->TagObj && !p->OnResult)
        throw VBTError(QStringLiteral("Use of ObjTag without specifing OnResult: ") + PrintableText(p->Data));
    static const struct {
        TVBTSendOption a, b;
        const char* text;
    } forbidden[] = {
        {psoForceAck, psoDontAck, "psoForceAck, psoDontAck"},
        {psoDontAck, psoWaitAfterAck, "psoDontAck, psoWaitAfterAck"},
        {psoForceWait, psoDontQueue, "psoForceWait, psoDontQueue"},
        {psoWaitAfterAck, psoDontAck, "psoWaitAfterAck, psoDontAck"},
        {psoWaitAfterAck, psoDontQueue, "psoWaitAfterAck, psoDontQueue"},
        {psoDontQueue, psoUsePollTimeout, "psoDontQueue, psoUsePollTimeout"},
    };
    for (const auto& f : forbidden)
        if (p->has(f.a) && p->has(f.b))
            throw VBTError(QStringLiteral("Invalid options: %1 (%2)")
                               .arg(QString::fromLatin1(f.text), PrintableText(p->Data)));

    if (dontQueue)
        return quickSendPacket(std::move(p));
    queue_.push_back(std::move(p));
    if (!sendTick_->isActive())
        sendTick_->start();
}

void TVBTComms::quickSendPacket(std::unique_ptr<TKuldendo> p)
{
    auto farFrom = [](int a, int b) { return std::abs(a - b) > 10; };
    quint8 q = nextSerial(quickSerial_);
    for (int guard = 0; guard < 250 && !(farFrom(q, lastTxSerial_) && farFrom(q, lastRxSerial_)); ++guard)
        q = nextSerial(q);
    quickSerial_ = q;
    p->Serial = q;
    LogPacket(QStringLiteral("GYORSPARANCS"), commlog::Sent, p->Data, None, p->Address, None, q, 0, lastSendTime_,
              !p->has(psoDontLog));
    const int r = QuickSend(p->Data, infoOf(*p), p->Address, q, p->has(psoNoASYER));
    report(std::move(p), Finish{quint16(r), {}, false, true});
}

// ---- the send cycle ---------------------------------------------------------------------

TInfo TVBTComms::infoOf(const TKuldendo& p) const
{
    if (p.has(psoDontQueue))
        return p.has(psoForceAck) ? kerek_nyugtat : nem_kerek_nyugtat;
    if (p.has(psoForceAck))
        return kerek_nyugtat;
    if (p.ExpectsAnswer() || p.has(psoDontAck))
        return nem_kerek_nyugtat;
    return kerek_nyugtat;
}

quint8 TVBTComms::automaticSerial() const
{
    quint8 s = nextSerial(lastTxSerial_);
    if (s == lastAckSerial_)
        s = nextSerial(s);
    return s;
}

void TVBTComms::goIdle()
{
    state_ = TState::Idle;
    // The next packet or poll follows at the next turn of the event loop, not one
    // send-tick interval later: on a fast line that interval would cost more than the
    // exchange itself. The send cycle sets the interval back to 2 ms.
    if (active_)
        sendTick_->start(0);
}

void TVBTComms::armAnswerTimer(const TKuldendo& p)
{
    const int k = std::clamp(tries_, 1, 3);
    const int tk = k == 1 ? Timeout_1 : k == 2 ? Timeout_2 : Timeout_3;
    int t;
    if (p.has(psoUsePollTimeout))
        t = Timeout_Poll;
    else if (p.has(psoMultiplyWait))
        t = p.WaitTime * k;
    else
        t = std::max(tk, p.WaitTime > 0 ? p.WaitTime * k : 0);
    answerTimer_->start(std::max(1, t));
}

void TVBTComms::armPollTimer()
{
    const int t = tries_ <= 1 ? Timeout_Poll : tries_ == 2 ? Timeout_2 : Timeout_3;
    answerTimer_->start(std::max(1, t));
}

void TVBTComms::sendCycle(bool fromPollTimer)
{
    if (!active_) {
        pollTimer_->stop();
        sendTick_->stop();
        return;
    }
    if (fromPollTimer)
        pollsThisRound_ = 0;
    if (answerTimer_->isActive()) {
        sendTick_->stop();
        return;
    }
    if (!connected_) {
        sendTick_->stop();
        if (!queue_.empty() && !queueTimer_->isActive()) {
            queueTimer_->start(std::max(1, std::max(queue_.front()->WaitTime, Timeout_3)));
            lastSendTime_ = now();
        }
        return;
    }
    if (sendTick_->interval() != 2)
        sendTick_->setInterval(2);

    if (Pollingolo && pollsThisRound_ < clients_.size()) {
        pollIndex_ = (pollIndex_ + 1) % int(clients_.size());
        TVBTComms* client = clients_[pollIndex_];
        polledClient_ = client;
        pollAddress_ = client->VBTAddress;
        pollCommand_ = client->PollCmd;
        ++pollsThisRound_;
        LogPacket(QStringLiteral("POLLING"), commlog::Sent, pollCommand_, None, pollAddress_, None, automaticSerial(), 0,
                  lastSendTime_, Poll_Log);
        SendFrame(pollCommand_, nem_kerek_nyugtat, pollAddress_, AutoSerial, false);
        tries_ = 1;
        state_ = TState::Polling;
        armPollTimer();
        return;
    }

    if (queue_.empty()) {
        sendTick_->stop();
        return;
    }
    sendPacketNow(*queue_.front(), true);
}

// Sends the head packet as the send cycle does; false when it failed and was finished.
bool TVBTComms::sendPacketNow(TKuldendo& p, bool logSend)
{
    const TInfo info = infoOf(p);
    p.Serial = nextSerial(lastTxSerial_);
    if (logSend) {
        QString text = QStringLiteral("KIKULD");
        if (info == kerek_nyugtat)
            text += QStringLiteral("_ACK");
        else if (info == pozitiv_nyugta)
            text += QStringLiteral("_PACK");
        else if (info == negativ_nyugta)
            text += QStringLiteral("_NACK");
        if (p.WaitTime > 0)
            text += QStringLiteral("_TOUT");
        LogPacket(text, commlog::Sent, p.Data, None, p.Address, None, p.Serial, p.SentAt, lastSendTime_,
                  !p.has(psoDontLog));
    }
    const int r = SendFrame(p.Data, info, p.Address, p.Serial, p.has(psoNoASYER));
    p.SentAt = now();
    if (r != 0) {
        if (finish(&p, Finish{quint16(r), {}, false, false}))
            goIdle();
        return false;
    }
    tries_ = 1;
    state_ = (p.ExpectsAnswer() || info != nem_kerek_nyugtat) ? TState::AwaitingAnswer : TState::Waiting;
    armAnswerTimer(p);
    return true;
}

int TVBTComms::SendFrame(const QByteArray& payload, TInfo info, quint32 address, int serial, bool noAsyer,
                         int forcedMode)
{
    return doSendFrame(payload, info, address, serial, noAsyer, forcedMode, false);
}

int TVBTComms::QuickSend(const QByteArray& payload, TInfo info, quint32 address, int serial, bool noAsyer,
                         int forcedMode)
{
    return doSendFrame(payload, info, address, serial, noAsyer, forcedMode, true);
}

int TVBTComms::doSendFrame(const QByteArray& payload, TInfo info, quint32 address, int serial, bool noAsyer,
                           int forcedMode, bool quick)
{
    if (PortOwner)
        return vbt::rcNoConnection;
    if (!active_)
        return vbt::rcNotActive;
    if (!connected_)
        return vbt::rcNoConnection;
    const quint8 s = serial == AutoSerial ? automaticSerial() : quint8(serial);
    if (!quick) {
        if (info == pozitiv_nyugta)
            lastAckSerial_ = s;
        else
            lastTxSerial_ = s;
    }
    const TVBTMode saved = txFramer_.VBTMode;
    if (forcedMode == PMDecodeBothEncodeVBT || forcedMode == PMDecodeBothEncodeVBTW)
        txFramer_.VBTMode = TVBTMode(forcedMode);
    txFramer_.Cimzett = address;
    txFramer_.Felado = vbt::PcAddress;
    txFramer_.Enable_ASYER = !noAsyer;
    txFramer_.Info = info;
    txFramer_.CsomagSorszam = s;
    QByteArray frame;
    try {
        frame = txFramer_.EncodeFrame(payload);
    } catch (const VBTError&) {
        txFramer_.VBTMode = saved;
        return vbt::rcTooLarge;
    }
    txFramer_.VBTMode = saved;
    if (!quick && info != pozitiv_nyugta)
        expectedAddress_ = address;
    lastSendTime_ = now();
    return WriteBytes(frame);
}

// ---- reporting ---------------------------------------------------------------------------

std::unique_ptr<TKuldendo> TVBTComms::takeFromQueue(TKuldendo* p)
{
    for (auto it = queue_.begin(); it != queue_.end(); ++it) {
        if (it->get() == p) {
            std::unique_ptr<TKuldendo> owned = std::move(*it);
            queue_.erase(it);
            return owned;
        }
    }
    return nullptr;
}

bool TVBTComms::finish(TKuldendo* p, const Finish& how)
{
    std::unique_ptr<TKuldendo> owned = takeFromQueue(p);
    if (!owned)
        return true;
    return report(std::move(owned), how);
}

TVBTComms* TVBTComms::reportingLink(const TKuldendo& p) { return p.Owner ? p.Owner : this; }

bool TVBTComms::report(std::unique_ptr<TKuldendo> p, const Finish& how)
{
    if (!p)
        return true;
    QByteArray s = how.text;
    TVBTComms* link = reportingLink(*p);
    if (!how.plain) {
        if (how.code == 0 && !p->OnRead && !p->OnResult) {
            if (how.completedByAck && !link->Nyugtat_is_jelezze)
                return true;
            if (how.completedByAck)
                s = QByteArrayLiteral("CSYAC");
            if (destroying_ || !link->OnRead)
                return true;
            const TOnIncoming_tagged cb = link->OnRead;
            const int tag = p->Tag;
            p.reset();
            auto alive = alive_;
            cb(s, 0, tag);
            return *alive;
        }
        if (how.completedByAck && link->Nyugtat_is_jelezze)
            s = QByteArrayLiteral("CSYAC");
    }
    if (destroying_)
        return true;
    auto alive = alive_;
    const std::unique_ptr<TKuldendo> packet = std::move(p);
    if (!packet->has(psoTagged)) {
        if (packet->OnResult)
            packet->OnResult(link, s, how.code, packet->Tag, packet->TagObj, packet->TagStr);
    } else if (how.code == 0) {
        if (packet->OnRead)
            packet->OnRead(s, 0, packet->Tag);
    } else if (packet->OnError) {
        packet->OnError(s, how.code, packet->Tag);
    }
    return *alive;
}

// ---- withdrawing packets -------------------------------------------------------------------

void TVBTComms::abortExchangeIfHeadRemoved(const std::function<bool(const TKuldendo&)>& removed)
{
    // Only the exchange of a packet that goes away is abandoned; a packet of another
    // owner that is being answered right now must not be sent twice.
    if ((state_ == TState::Waiting || state_ == TState::AwaitingAnswer) && head() && removed(*head())) {
        answerTimer_->stop();
        goIdle();
    }
}

void TVBTComms::ClearQueueByHandler(const TOnIncoming_tagged& handler)
{
    if (PortOwner) {
        PortOwner->ClearQueueByHandler(handler);
        return;
    }
    WriteLog(QStringLiteral("KuldlistaTakaritas. Assigned(TOnIncoming_tagged) = %1 Kuldendok.Count = %2")
                 .arg(handler ? QStringLiteral("-1") : QStringLiteral("0"))
                 .arg(queue_.size()),
             commlog::General);
    auto matches = [&handler](const TKuldendo& p) {
        return !handler || p.OnRead.sameHandler(handler) || p.OnError.sameHandler(handler);
    };
    abortExchangeIfHeadRemoved(matches);
    std::erase_if(queue_, [&](const std::unique_ptr<TKuldendo>& p) { return matches(*p); });
}

void TVBTComms::ClearQueueByResultHandler(const TOnVBTCmdResult& handler)
{
    if (PortOwner) {
        PortOwner->ClearQueueByResultHandler(handler);
        return;
    }
    WriteLog(QStringLiteral("KuldlistaTakaritas. Assigned(TOnVBTCmdResult) = %1 Kuldendok.Count = %2")
                 .arg(handler ? QStringLiteral("-1") : QStringLiteral("0"))
                 .arg(queue_.size()),
             commlog::General);
    auto matches = [&handler](const TKuldendo& p) { return !handler || p.OnResult.sameHandler(handler); };
    abortExchangeIfHeadRemoved(matches);
    std::erase_if(queue_, [&](const std::unique_ptr<TKuldendo>& p) { return matches(*p); });
}

} // namespace cvx
