#include "probe_lists.h"

namespace cvx {

TProbe* ProbeLists::FindInterface(int id) const
{
    for (const auto& p : Interfaces)
        if (p->Id == id)
            return p.get();
    return nullptr;
}

TProbe* ProbeLists::FindSensor(int id) const
{
    if (id < 0)
        return nullptr;
    for (const auto& p : Sensors)
        if (p->Id == id)
            return p.get();
    return nullptr;
}

TProbe* ProbeLists::FindSensorByAddress(const TProbe* iface, quint32 address) const
{
    for (const auto& p : Sensors)
        if (p->ParentInterface == iface && quint32(p->Address) == address)
            return p.get();
    return nullptr;
}

void ProbeLists::Clear()
{
    while (!Sensors.empty())
        Sensors.pop_back();
    while (!Interfaces.empty())
        Interfaces.pop_back();
}

} // namespace cvx
