#pragma once
// How the event layer raises warnings on the warning panel. Failures of alarms (mails,
// SMS, relays) must never go unrecorded: when the user has switched the panel off they
// still go to the program log.

#include <QString>

namespace cvx {

// ShowWarning, or with warnings switched off a line of the main log and program log.
void ShowOrLogWarning(const QString& text);

} // namespace cvx
