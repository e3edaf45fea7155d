#pragma once
// How the event layer and the shell's supervision raise and close warnings on the
// warning panel. Failures of alarms (mails, SMS, relays) must never go unrecorded: when
// the user has switched the panel off they still go to the program log.

#include <QString>

namespace cvx {

// ShowWarning, or with warnings switched off a line of the main log and program log.
void ShowOrLogWarning(const QString& text);

// The all-sensors warning of the activity supervision: shown (and the panel marked) when
// connected, on the master, with the check on, every sensor lost and the panel hidden.
// True when it was shown.
bool ShowAllSensorsDownWarning(bool connected, bool activityCheckOn, bool masterMode, int inactiveCount,
                               int sensorCount);
// The panel closes by itself when warnings that are no longer current may disappear and
// fewer than all sensors are lost. True when it closed.
bool CloseWarningsWhenSensorsBack(bool connected, bool activityCheckOn, int inactiveCount, int sensorCount);

} // namespace cvx
