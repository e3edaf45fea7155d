#pragma once
// Whether a link is waiting on a real device, for pumps that keep the link's timers on
// virtual time (pumpVirtualTime).

#include "link/vbt_comms.h"

namespace cvx::test {

inline bool waitingOnDevice(const TVBTComms* link)
{
    if (!link)
        return false;
    if (link->Connecting())
        return true;
    // Waiting: the device has said all it will (or is to say nothing); the line is only
    // held for a set time, which is a timer, not I/O.
    return link->AnswerTimerRunning() && link->State() != TVBTComms::TState::Waiting;
}

} // namespace cvx::test
