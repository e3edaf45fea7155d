#include "warning_calls.h"

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

} // namespace cvx
