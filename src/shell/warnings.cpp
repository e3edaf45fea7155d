#include "warnings.h"

#include "conventions.h"
#include "logs.h"
#include "platform/time_service.h"

namespace cvx {

void WarningPanel::setMenuAlertsEnabled(bool on)
{
    menuAlertsEnabled_ = on;
    chboxNoAlertsPlease_ = !on;
    changed();
}

void WarningPanel::setMenuAlertsDisappear(bool on)
{
    menuAlertsDisappear_ = on;
    chboxAlertsDontDisappear_ = !on;
    changed();
}

void WarningPanel::setChboxNoAlertsPlease(bool checked) { setMenuAlertsEnabled(!checked); }

void WarningPanel::setChboxAlertsDontDisappear(bool checked) { setMenuAlertsDisappear(!checked); }

void WarningPanel::ShowWarning(const QString& text, const QDateTime& now)
{
    chboxAlertsDontDisappear_ = !menuAlertsDisappear_;
    chboxNoAlertsPlease_ = !menuAlertsEnabled_;
    if (!menuAlertsEnabled_) {
        changed();
        return;
    }
    visible_ = true;
    if (memo_.size() > MaxMemoLines)
        memo_.clear();
    memo_.append(QStringLiteral("\r\n") + FormatDateTimeText(now) + QStringLiteral("\r\n") + text);
    LogLine(text, true);
    changed();
}

void WarningPanel::Close()
{
    const bool wasVisible = visible_;
    visible_ = false;
    AllSensorsDownShown = false;
    memo_.clear();
    if (wasVisible)
        changed();
}

int WarningPanel::addObserver(Observer o)
{
    observers_[nextHandle_] = std::move(o);
    return nextHandle_++;
}

void WarningPanel::removeObserver(int handle) { observers_.erase(handle); }

void WarningPanel::reset()
{
    menuAlertsEnabled_ = true;
    menuAlertsDisappear_ = true;
    chboxNoAlertsPlease_ = false;
    chboxAlertsDontDisappear_ = false;
    visible_ = false;
    AllSensorsDownShown = false;
    memo_.clear();
}

void WarningPanel::changed()
{
    auto copy = observers_;
    for (auto& [h, o] : copy)
        o();
}

WarningPanel& warningPanel()
{
    static WarningPanel panel;
    return panel;
}

void ShowWarning(const QString& text) { warningPanel().ShowWarning(text, processTime().localNow()); }

void CloseAllSensorsDownWarningIfOutdated()
{
    WarningPanel& p = warningPanel();
    if (p.AllSensorsDownShown && p.menuAlertsDisappear())
        p.Close();
}

} // namespace cvx
