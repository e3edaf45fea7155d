#include "probe.h"

#include "link/vbt_comms.h"
#include "platform/time_service.h"
#include "shell/catalogue.h"
#include "shell/logs.h"
#include "shell/shell_state.h"

#include <QStringList>

namespace cvx {

TProbe::TProbe() { InvalidateValues(); }

TProbe::~TProbe()
{
    if (OnDestroy) {
        auto onDestroy = std::move(OnDestroy);
        onDestroy(*this);
    }
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

bool TProbe::IsActive() const { return shellState().MasterMode ? IsUsed : RemoteActive; }

bool TProbe::IsOnline() const
{
    if (!shellState().MasterMode)
        return RemoteOnline;
    const TProbe* iface = OwningInterface();
    if (!iface)
        return false;
    // SNMP interfaces have no connection of their own: a sensor that answers is reachable.
    if (iface->ProtocolType == ptSNMP)
        return !isInterface() && !Inactive && LastMeasureTime.isValid();
    return iface->Link && iface->Link->Connected();
}

QDateTime TProbe::ValueTime() const { return shellState().MasterMode ? LastMeasureTime : RemoteTime; }

TFlashManager* TProbe::OwningFlashManager() const
{
    const TProbe* iface = OwningInterface();
    return iface ? iface->FlashManager.get() : nullptr;
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
