#pragma once
// One packet submitted to a link engine, and the ways to submit one.

#include "link/vbt_types.h"

#include <QByteArray>
#include <QString>

#include <memory>

namespace cvx {

class TVBTComms;

class TKuldendo {
public:
    TKuldendo() = default;
    TKuldendo(QByteArray data, quint32 address) : Data(std::move(data)), Address(address) {}

    QByteArray Data;            // payload
    quint32 Address = 0;        // 0: the link's VBTAddress, or 1
    // Empty: no answer expected; "*": any answer; otherwise the answer must begin with its
    // first five characters and agree with the rest as far as the answer goes.
    QByteArray ExpectedAnswer;
    int WaitTime = 0;           // own answer time-out; 0: the engine's
    TVBTSendOptions Options;
    int Tag = 0;
    QString TagStr;
    void* TagObj = nullptr;
    TOnVBTCmdResult OnResult;
    TOnIncoming_tagged OnRead;
    TOnIncoming_tagged OnError;
    int MaxTries = 0;           // set by the engine when a device reports an error

    // Kept by the engine.
    int Serial = 0;
    QByteArray Answer;
    TVBTComms* Owner = nullptr; // the client link through which it was submitted
    qint64 SentAt = 0;          // tick of the last send; 0 before the first

    bool ExpectsAnswer() const { return !ExpectedAnswer.isEmpty(); }
    bool has(TVBTSendOption o) const { return Options.testFlag(o); }
};

// Submits a packet to a link; the link owns it from then on. Every outcome arrives
// through the packet's callbacks, possibly before this returns. Throws VBTError for a
// missing link, TagObj without OnResult, and forbidden option pairs.
void SendWith(std::unique_ptr<TKuldendo> packet, TVBTComms* link);

// A tagged packet; waitTime > 0 also asks for an ACK and waits for the answer after it;
// expectedAnswer "#" means any answer, waiting the whole time-out.
void SendTagged(TVBTComms* link, const QByteArray& data, quint32 address, int waitTime, int tag,
                TOnIncoming_tagged onError, TOnIncoming_tagged onRead, const QByteArray& expectedAnswer);

// The same for an untagged packet reported through onResult.
void SendWithResult(TVBTComms* link, const QByteArray& data, quint32 address, int waitTime,
                    const QString& tagStr, void* tagObj, int tag, TOnVBTCmdResult onResult,
                    const QByteArray& expectedAnswer);

// A poll request: no ACK, no repeat, the poll answer time-out.
void SendPollCommand(TVBTComms* link, const QByteArray& data, quint32 address, TOnIncoming_tagged onRead,
                     const QByteArray& expectedAnswer);

} // namespace cvx
