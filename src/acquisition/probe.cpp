#include "probe.h"

#include "platform/time_service.h"
#include "shell/catalogue.h"
#include "shell/logs.h"

#include <QStringList>

// The owned link and downloader types are complete where they are built; TProbe's
// destructor lives with the loader that knows them (probe_loader.cpp).

namespace cvx {

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
