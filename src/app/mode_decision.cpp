#include "mode_decision.h"

namespace cvx {

ModeDecision DecideMode(const ModeInputs& in)
{
    if (in.forcedClientMode)
        return {false, false, QStringLiteral("Forced client mode - starting as client app.")};
    if (in.runningAsService)
        return {true, true,
                QStringLiteral("Running as service - starting as master app and updating registered master IP.")};
    if (in.registeredMasterHost.isEmpty())
        return {true, true, QStringLiteral("No master app registered - starting as master app.")};
    // Exact text comparison: an address differing only in letter case is another master.
    if (in.registeredMasterHost != in.configuredHost)
        return {false, false, QStringLiteral("Master app registered with different IP address - starting as client app.")};
    if (in.anotherInstance)
        return {false, false,
                QStringLiteral("Master app registered with our IP address, but another Corvalux is running  - starting "
                               "as client app.")};
    return {true, false, QStringLiteral("Master app registered with our IP address - starting as master app.")};
}

} // namespace cvx
