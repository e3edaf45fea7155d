#pragma once
// Which of the 18 outcomes a received frame has, from the facts the engine gathers
// about the frame, the exchange in progress and the first queued packet.

#include "link/vbt_types.h"

#include <QByteArray>

namespace cvx {

enum class LinkState : int { Idle = 0, Waiting = 1, AwaitingAnswer = 2, Polling = 3 };

struct FrameFacts {
    int decodeError = 0;
    bool waiting = false;          // answer timer runs for a packet or a poll
    bool forUs = false;            // addressee 250, 255 or 0
    bool fromExpected = false;     // sender is the device the last frame went to
    bool serialRight = false;
    TInfo info = nem_kerek_nyugtat;
    bool event = false;            // payload begins with "E"
    LinkState state = LinkState::Idle;
    bool haveF = false;            // a queued packet takes part in the exchange
    bool fForceWait = false;
    bool fWaitAfterAck = false;
    bool fExpectsAnswer = false;
    bool answerMatches = false;
    bool tailDiffers = false;
};

int ClassifyFrame(const FrameFacts& f);

inline bool IsAck(TInfo i) { return i == pozitiv_nyugta || i == ismetelt_csomag; }
inline bool IsNack(TInfo i) { return i == negativ_nyugta; }

// "*" or the answer's first five characters begin with the expected answer's first five.
bool AnswerMatches(const QByteArray& expected, const QByteArray& payload);
// The answer's characters from the sixth on are not the beginning of the expected
// answer's part beyond its fifth (compared as far as the expected answer goes).
bool TailDiffers(const QByteArray& expected, const QByteArray& payload);

} // namespace cvx
