#include "link/frame_classifier.h"

namespace cvx {

int ClassifyFrame(const FrameFacts& f)
{
    if (f.decodeError != 0)
        return f.waiting ? 14 : 15;
    if (!f.forUs)
        return 13;
    if (!f.waiting)
        return 16;
    if (!f.fromExpected)
        return 12;
    const bool ack = IsAck(f.info);
    const bool nack = IsNack(f.info);
    if (!f.serialRight)
        return nack ? 1 : ack ? 2 : 3;
    if (nack)
        return 0;
    if (ack && f.haveF && (f.fForceWait || f.fExpectsAnswer))
        return f.fWaitAfterAck ? 9 : 10;
    if (ack)
        return 4;
    if (f.state == LinkState::AwaitingAnswer) {
        if (f.haveF && f.fForceWait)
            return f.answerMatches ? 6 : 8;
        if (f.answerMatches)
            return f.tailDiffers ? 17 : 5;
        return f.event ? 3 : 7;
    }
    if (f.state == LinkState::Polling)
        return f.event ? 3 : 11;
    return 16;
}

bool AnswerMatches(const QByteArray& expected, const QByteArray& payload)
{
    if (expected == "*")
        return true;
    if (expected.isEmpty())
        return false;
    return payload.left(5).startsWith(expected.left(5));
}

bool TailDiffers(const QByteArray& expected, const QByteArray& payload)
{
    if (expected.size() <= 5 || payload.size() <= 5)
        return false;
    const QByteArray expectedTail = expected.mid(5);
    const QByteArray tail = payload.mid(5, expectedTail.size());
    return !expectedTail.startsWith(tail);
}

} // namespace cvx
