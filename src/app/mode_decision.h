#pragma once
// Whether this instance records (master) or only shows what the master pushes (client).
// The first matching row decides.

#include <QString>

namespace cvx {

struct ModeInputs {
    bool forcedClientMode = false;
    bool runningAsService = false;
    QString registeredMasterHost;
    QString configuredHost;
    bool anotherInstance = false;
};

struct ModeDecision {
    bool masterMode = false;
    bool registerSelf = false;   // write our address to "Master_apps_IP"
    QString logLine;
};

ModeDecision DecideMode(const ModeInputs& in);

} // namespace cvx
