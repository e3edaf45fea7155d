#pragma once
// The warning panel as a model: serious warnings collected as they happen, shown on a
// stay-on-top panel on the desktop (the window observes this model) and written to
// the program log in every mode. Every layer may raise a warning, so it lives here
// beside the log facilities.

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <functional>
#include <map>

namespace cvx {

class WarningPanel {
public:
    static constexpr int MaxMemoLines = 100;

    // The two switches exist twice: as main-window menu items and as the panel's check
    // boxes, which always say the opposite of their item.
    bool menuAlertsEnabled() const { return menuAlertsEnabled_; }
    bool menuAlertsDisappear() const { return menuAlertsDisappear_; }
    bool chboxNoAlertsPlease() const { return chboxNoAlertsPlease_; }
    bool chboxAlertsDontDisappear() const { return chboxAlertsDontDisappear_; }
    void setMenuAlertsEnabled(bool on);          // menu click: box follows
    void setMenuAlertsDisappear(bool on);
    void setChboxNoAlertsPlease(bool checked);   // box click: menu follows
    void setChboxAlertsDontDisappear(bool checked);

    bool visible() const { return visible_; }
    bool AllSensorsDownShown = false;
    const QStringList& memo() const { return memo_; }

    // The one entry for all warnings.
    void ShowWarning(const QString& text, const QDateTime& now);
    // Closing, by the user or by itself: forgets the entries and the all-sensors mark.
    void Close();

    using Observer = std::function<void()>;
    int addObserver(Observer o);
    void removeObserver(int handle);

    // Back to the start state (tests, restart of the process state).
    void reset();

private:
    void changed();
    bool menuAlertsEnabled_ = true;
    bool menuAlertsDisappear_ = true;
    bool chboxNoAlertsPlease_ = false;
    bool chboxAlertsDontDisappear_ = false;
    bool visible_ = false;
    QStringList memo_;
    std::map<int, Observer> observers_;
    int nextHandle_ = 1;
};

WarningPanel& warningPanel();
// ShowWarning on the process's panel with the process clock.
void ShowWarning(const QString& text);
// Closes the panel when its all-sensors warning is shown and outdated warnings may
// disappear (a lost sensor answered again).
void CloseAllSensorsDownWarningIfOutdated();

} // namespace cvx
