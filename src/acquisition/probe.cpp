#include "probe.h"

#include "link/vbt_comms.h"
#include "platform/time_service.h"
#include "shell/catalogue.h"
#include "shell/logs.h"

#include <QStringList>

namespace cvx {

TProbe::TProbe() { InvalidateValues(); }

TProbe::~TProbe()
{
    // Timers first: their handlers reach into the links.
    SnmpTimer.reset();
    PanelTimer.reset();
    RestartTimer.reset();
    ClockTimer.reset();
    // The downloader before the links: a dying logger link reports its queued requests,
    // and those reports must not reach a half-destroyed probe.
    FlashManager.reset();
    LoggerLink.reset();
    Link.reset();
}

void TProbe::InvalidateValues()
{
    RawValues.fill(NoValueMarker);
    Values.fill(NoValue);
}

void TProbe::SetInvalid(int measureType)
{
    RawValues[measureType] = NoValueMarker;
    Values[measureType] = NoValue;
}

QString TProbe::RelayLockNames() const
{
    QStringList names;
    for (auto it = RelayLocks.constEnd(); it != RelayLocks.constBegin();) {
        --it;
        names << it->eventName;
    }
    return names.join(u',');
}

QString TProbe::RelayStateText() const
{
    if (RelayLocks.isEmpty())
        return Msg("labRelayStateFree");
    return Fmt("labRelayStateLockedBy", RelayLockNames());
}

} // namespace cvx
