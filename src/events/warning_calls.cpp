#include "warning_calls.h"

#include "shell/catalogue.h"
#include "shell/logs.h"
#include "shell/warnings.h"

namespace cvx {

void ShowOrLogWarning(const QString& text)
{
    if (warningPanel().menuAlertsEnabled())
        ShowWarning(text);
    else
        LogLine(text, true);
}

bool ShowAllSensorsDownWarning(bool connected, bool activityCheckOn, bool masterMode, int inactiveCount,
                               int sensorCount)
{
    WarningPanel& p = warningPanel();
    if (!connected || !activityCheckOn || !masterMode || sensorCount == 0 || inactiveCount != sensorCount
        || p.visible())
        return false;
    ShowWarning(Msg("msgSensorsNotResponding"));
    // The mark tells a later measurement that this warning may be taken back; it is only
    // true when the panel really shows it.
    p.AllSensorsDownShown = p.visible();
    return true;
}

bool CloseWarningsWhenSensorsBack(bool connected, bool activityCheckOn, int inactiveCount, int sensorCount)
{
    WarningPanel& p = warningPanel();
    if (!connected || !activityCheckOn || inactiveCount >= sensorCount || !p.visible() || !p.menuAlertsDisappear())
        return false;
    p.Close();
    return true;
}

} // namespace cvx
