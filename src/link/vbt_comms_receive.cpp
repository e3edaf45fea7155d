// Link engine: receive processing, classification of frames and their outcomes, and
// the answer and queue time-outs.
#include "link/vbt_comms.h"

#include "link/comm_log.h"

namespace cvx {

using commlog::None;

void TVBTComms::processTick()
{
    processTick_->stop();
    if (processing_) {
        // A callback runs an event loop of its own (a modal window): bytes that arrive
        // meanwhile are taken once the processing in progress has returned.
        reprocess_ = true;
        return;
    }
    processing_ = true;
    auto alive = alive_;
    do {
        reprocess_ = false;
        if (DOV_to_VBT)
            processDovLines();
        else
            processFrames();
        if (!*alive)
            return;
    } while (reprocess_ && active_);
    processing_ = false;
}

void TVBTComms::processFrames()
{
    auto alive = alive_;
    for (;;) {
        const QByteArray frame = rxFramer_.ExtractFrame(rxBuffer_);
        if (!rxFramer_.SkippedBytes().isEmpty())
            LogPacket(QStringLiteral("CHUNK:"), commlog::RawBytes, rxFramer_.SkippedBytes(), None, None, None, None, 0,
                      None, true);
        if (frame.isEmpty())
            return;
        handleFrame(frame);
        if (!*alive || !active_)
            return;
    }
}

bool TVBTComms::handleFrame(const QByteArray& frame)
{
    auto alive = alive_;
    const QByteArray payload = rxFramer_.DecodeFrame(frame);
    const int err = rxFramer_.ErrorCode();
    TKuldendo* F = head();
    // While polling, no queued packet takes part in the exchange: the head has not
    // been sent yet and must not be completed, repeated or failed by the poll's answer.
    TKuldendo* FX = state_ == TState::Polling ? nullptr : F;

    FrameFacts facts;
    facts.decodeError = err;
    facts.state = state_;
    facts.waiting = answerTimer_->isActive()
        && ((state_ == TState::AwaitingAnswer && F) || state_ == TState::Polling);

    quint32 addressee = 0, sender = 0;
    quint8 shortSender = 0, serial = 0;
    TInfo info = nem_kerek_nyugtat;
    bool wide = false;
    if (err == 0) {
        addressee = rxFramer_.Cimzett;
        sender = rxFramer_.Felado;
        shortSender = rxFramer_.Felado_rovid_cim;
        serial = rxFramer_.CsomagSorszam;
        info = rxFramer_.Info;
        wide = rxFramer_.LastWasWide();
        lastRxSerial_ = serial;

        facts.forUs = addressee == vbt::PcAddress || addressee == vbt::BroadcastAddress || addressee == 0;
        facts.fromExpected = expectedAddress_ == vbt::BroadcastAddress
            || (expectedAddress_ < 255 && expectedAddress_ == shortSender)
            || (expectedAddress_ > 255 && expectedAddress_ == sender);
        facts.info = info;
        facts.event = payload.startsWith('E');
        facts.haveF = FX != nullptr;
        if (FX) {
            facts.fForceWait = FX->has(psoForceWait);
            facts.fWaitAfterAck = FX->has(psoWaitAfterAck);
            facts.fExpectsAnswer = FX->ExpectsAnswer();
            facts.answerMatches = AnswerMatches(FX->ExpectedAnswer, payload);
            facts.tailDiffers = TailDiffers(FX->ExpectedAnswer, payload);
        }
        const bool hasExpectedAnswer = FX && FX->ExpectsAnswer();
        facts.serialRight = (hasExpectedAnswer && state_ != TState::Polling) ? serial == quint8(FX->Serial)
                                                                             : serial == lastTxSerial_;

        // A device that asks for an acknowledgement always gets one, in its own form.
        if (facts.forUs && info == kerek_nyugtat) {
            LogPacket(QStringLiteral("NYUGTAKULDES"), commlog::Sent, QByteArray(), None, sender, shortSender, serial, 0,
                      lastSendTime_, true);
            SendFrame(QByteArray(), pozitiv_nyugta, sender, serial, false,
                      wide ? PMDecodeBothEncodeVBTW : PMDecodeBothEncodeVBT);
        }
    }

    const int outcome = ClassifyFrame(facts);
    const bool ack = IsAck(info);
    const bool nack = IsNack(info);
    const qint64 sentAt = FX ? FX->SentAt : 0;

    auto logLine = [&](const QString& text, int level, const QByteArray& data, bool logIt) {
        if (err == 0)
            LogPacket(text, level, data, sender, addressee, shortSender, serial, sentAt, lastSendTime_, logIt);
        else
            LogPacket(text, level, data, None, None, None, None, sentAt, lastSendTime_, logIt);
    };
    // A line about the packet in exchange is kept out of the log when the packet says so.
    auto fLog = [&](const TKuldendo* p) { return !(p && p->has(psoDontLog)); };
    auto deliver = [&]() -> bool {
        TOnReadPacketData r;
        r.Address = sender;
        r.ShortAddress = shortSender;
        r.Addressee = addressee;
        r.Data = payload;
        r.Raw = frame;
        r.Info = info;
        r.Serial = serial;
        Deliver(r);
        return *alive;
    };
    auto restart = [&] { answerTimer_->start(); };

    switch (outcome) {
    case 0:
        if (!FX) {
            logLine(QStringLiteral("NACK - TOROLT CS"), commlog::Received, payload, true);
            break;
        }
        // A device that refuses every try must not hold the queue for ever: NACK resends
        // count as tries, and the packet fails as a wrong answer when they run out.
        if (tries_ >= std::max(FX->MaxTries, Max_tries_cmd)) {
            logLine(QStringLiteral("NACK - FELADVA"), commlog::Received, payload, fLog(FX));
            answerTimer_->stop();
            if (finish(FX, Finish{vbt::rcWrongAnswer, payload, false, false}))
                goIdle();
            break;
        }
        ++tries_;
        logLine(QStringLiteral("NACK - UJRAKULD"), commlog::Received, payload, fLog(FX));
        FX->Serial = nextSerial(quint8(FX->Serial));
        {
            const int r = SendFrame(FX->Data, kerek_nyugtat, sender, FX->Serial, FX->has(psoNoASYER));
            FX->SentAt = now();
            if (r != 0) {
                answerTimer_->stop();
                if (finish(FX, Finish{quint16(r), {}, false, false}))
                    goIdle();
                break;
            }
        }
        armAnswerTimer(*FX);
        break;
    case 1:
        logLine(QStringLiteral("KOSZA NACK,VARUNK"), commlog::Received, payload, true);
        restart();
        break;
    case 2:
        logLine(QStringLiteral("KOSZA ACK,VARUNK"), commlog::Received, payload, true);
        restart();
        break;
    case 3:
        logLine(facts.event ? QStringLiteral("ESEMENY,VARUNK") : QStringLiteral("KOSZA CS,VARUNK"), commlog::Received,
                payload, true);
        restart();
        if (facts.event && !deliver())
            return false;
        break;
    case 4:
        answerTimer_->stop();
        if (FX) {
            logLine(QStringLiteral("NYUGTA - OK"), commlog::Received, payload, fLog(FX));
            if (!finish(FX, Finish{vbt::rcOk, payload, info == pozitiv_nyugta, false}))
                return false;
        } else {
            logLine(QStringLiteral("NYUGTA"), commlog::Received, payload, true);
        }
        goIdle();
        break;
    case 5:
        answerTimer_->stop();
        if (F) {
            logLine(QStringLiteral("VALASZ - OK"), commlog::Received, payload, fLog(F));
            if (!finish(F, Finish{vbt::rcOk, payload, false, false}))
                return false;
        } else {
            logLine(QStringLiteral("NEM VART CS"), commlog::Received, payload, true);
        }
        goIdle();
        break;
    case 6:
        logLine(QStringLiteral("VALASZ,MEG VARUNK"), commlog::Received, payload, fLog(F));
        state_ = TState::Waiting;
        if (F)
            F->Answer = payload;
        break;
    case 7:
        answerTimer_->stop();
        if (F) {
            logLine(QStringLiteral("NEM JO VALASZ"), commlog::Received, payload, fLog(F));
            if (!finish(F, Finish{vbt::rcWrongAnswer, payload, false, false}))
                return false;
        } else {
            logLine(QStringLiteral("NEM VART VCS"), commlog::Received, payload, true);
        }
        goIdle();
        break;
    case 8:
        logLine(facts.event ? QStringLiteral("ESEMENY,VARUNK") : QStringLiteral("NEM JO VALASZ,VARUNK"),
                commlog::Received, payload, true);
        if (!ack && !nack && !deliver())
            return false;
        break;
    case 9:
    case 10:
        logLine(outcome == 9 ? QStringLiteral("PNY - VAR INDUL") : QStringLiteral("PNY - VAR FOLYT"), commlog::Received,
                payload, fLog(FX));
        state_ = FX->ExpectsAnswer() ? TState::AwaitingAnswer : TState::Waiting;
        FX->Options |= psoNoRepeat;
        if (outcome == 9) {
            tries_ = 1;
            armAnswerTimer(*FX);
        }
        break;
    case 11:
        logLine(QStringLiteral("POLLVAL - CS OK"), commlog::Received, payload, Poll_Log);
        answerTimer_->stop();
        if (!deliver())
            return false;
        goIdle();
        break;
    case 12:
        logLine(QStringLiteral("NEM CIMZETT,VARUNK"), commlog::Received, payload, true);
        if (!ack && !nack && !deliver())
            return false;
        break;
    case 13:
        logLine(QStringLiteral("NEM PCNEK"), commlog::Received, payload, false);
        break;
    case 14:
        if (err == TVBTProtocol::errAddress) {
            logLine(QStringLiteral("ROSSZ CIM"), commlog::Received, frame, fLog(FX));
            answerTimer_->stop();
            if (FX && !finish(FX, Finish{vbt::rcBadAddress, payload, false, false}))
                return false;
            goIdle();
        } else {
            logLine(QStringLiteral("HIBAS:%1 %2,VARUNK").arg(err).arg(TVBTProtocol::ErrorText(err)),
                    commlog::Undecodable, frame, true);
        }
        break;
    case 15:
        logLine(QStringLiteral("HIBAS:%1 %2").arg(err).arg(TVBTProtocol::ErrorText(err)), commlog::Undecodable, frame,
                true);
        break;
    case 16:
        logLine(state_ == TState::Waiting ? QStringLiteral("CS VAR. KOZBEN")
                    : facts.event         ? QStringLiteral("ESEMENYCS")
                                          : QStringLiteral("NEM VART CS"),
                commlog::Received, payload, true);
        if (!ack && !nack && !deliver())
            return false;
        break;
    case 17:
        if (!F) {
            logLine(QStringLiteral("HIBAKOD - TOROLT CS"), commlog::Received, payload, true);
            break;
        }
        logLine(QStringLiteral("HIBAKOD - UJRAKULD"), commlog::Received, payload, fLog(F));
        F->WaitTime = 300;
        F->MaxTries = 10;
        state_ = TState::AwaitingAnswer;
        F->Options |= psoMultiplyWait;
        F->Serial = nextSerial(quint8(F->Serial));
        armAnswerTimer(*F);
        break;
    default:
        break;
    }
    return *alive;
}

void TVBTComms::answerTimeout()
{
    auto alive = alive_;
    TKuldendo* F = head();
    switch (state_) {
    case TState::Waiting:
        answerTimer_->stop();
        if (F) {
            if (F->ExpectsAnswer()) {
                LogPacket(QStringLiteral("VAR VEGE, VALASZ OK"), commlog::Decision, F->Answer, None, F->Address, None,
                          F->Serial, F->SentAt, lastSendTime_, !F->has(psoDontLog));
                if (!finish(F, Finish{vbt::rcOk, F->Answer, F->Answer.isEmpty(), false}))
                    return;
            } else {
                LogPacket(QStringLiteral("URES VAR. VEGE"), commlog::Decision, F->Data, None, F->Address, None,
                          F->Serial, F->SentAt, lastSendTime_, !F->has(psoDontLog));
                if (!finish(F, Finish{vbt::rcOk, {}, true, false}))
                    return;
            }
        }
        goIdle();
        return;
    case TState::AwaitingAnswer:
        if (live() && F && !F->has(psoNoRepeat) && tries_ < std::max(F->MaxTries, Max_tries_cmd)) {
            ++tries_;
            F->Serial = nextSerial(quint8(F->Serial));
            LogPacket(QStringLiteral("PAR. UJRA %1X").arg(tries_), commlog::Decision, F->Data, None, F->Address, None,
                      F->Serial, F->SentAt, lastSendTime_, !F->has(psoDontLog));
            const int r = SendFrame(F->Data, infoOf(*F), F->Address, F->Serial, F->has(psoNoASYER));
            F->SentAt = now();
            if (r != 0) {
                answerTimer_->stop();
                if (finish(F, Finish{quint16(r), {}, false, false}))
                    goIdle();
                return;
            }
            armAnswerTimer(*F);
            return;
        }
        answerTimer_->stop();
        if (F) {
            LogPacket(QStringLiteral("PAR. SIKERTELEN"), commlog::Decision, F->Data, None, F->Address, None, F->Serial,
                      F->SentAt, lastSendTime_, !F->has(psoDontLog));
            const quint16 code = live() ? vbt::rcNoAnswer : !active_ ? vbt::rcNotActive : vbt::rcNoConnection;
            if (!finish(F, Finish{code, {}, false, false}))
                return;
        }
        goIdle();
        return;
    case TState::Polling:
        if (live() && tries_ < Max_tries_poll && polledClient_) {
            ++tries_;
            LogPacket(QStringLiteral("POLL. UJRA %1X").arg(tries_), commlog::Decision, pollCommand_, None, pollAddress_,
                      None, automaticSerial(), 0, lastSendTime_, Poll_Log);
            SendFrame(pollCommand_, nem_kerek_nyugtat, pollAddress_, AutoSerial, false);
            armPollTimer();
            return;
        }
        LogPacket(QStringLiteral("POLL. SIKERTELEN"), commlog::Decision, pollCommand_, None, pollAddress_, None,
                  lastTxSerial_, 0, lastSendTime_, Poll_Log);
        answerTimer_->stop();
        goIdle();
        return;
    case TState::Idle:
        answerTimer_->stop();
        return;
    }
}

void TVBTComms::queueTimeout()
{
    queueTimer_->stop();
    TKuldendo* F = head();
    if (!connected_ && F) {
        LogPacket(QStringLiteral("NINCS KAPCSOLAT"), commlog::Decision, F->Data, None, F->Address, None, None, F->SentAt,
                  lastSendTime_, !F->has(psoDontLog));
        const quint16 code = connectionState_ == TConnectionState::portBusy     ? vbt::rcPortBusy
            : connectionState_ == TConnectionState::noSuchPort ? vbt::rcNoSuchPort
                                                               : vbt::rcNoConnection;
        if (!finish(F, Finish{code, {}, false, false}))
            return;
    }
    // Only while not connected; once connected the send cycle takes the queue over.
    if (active_ && !connected_ && !queue_.empty() && !queueTimer_->isActive()) {
        queueTimer_->start(std::max(1, std::max(queue_.front()->WaitTime, Timeout_3)));
        lastSendTime_ = now();
    }
}

} // namespace cvx
