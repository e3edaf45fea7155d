#pragma once
// The shell-owned lists of interfaces and sensors, in load order, and the look-ups
// every layer uses. Look-ups are linear; the first match wins.

#include "probe.h"

#include <memory>
#include <vector>

namespace cvx {

class ProbeLists {
public:
    std::vector<std::unique_ptr<TProbe>> Interfaces;
    std::vector<std::unique_ptr<TProbe>> Sensors;

    TProbe* FindInterface(int id) const;
    TProbe* FindSensor(int id) const;   // none for a negative id
    // The sensor of that interface whose link has that device address.
    TProbe* FindSensorByAddress(const TProbe* iface, quint32 address) const;
    // Destroys every sensor, then every interface, each list from its last element.
    void Clear();
};

} // namespace cvx
