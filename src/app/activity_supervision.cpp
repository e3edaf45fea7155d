#include "activity_supervision.h"

#include "acquisition/probe_lists.h"
#include "link/vbt_comms.h"
#include "platform/time_service.h"
#include "shell/catalogue.h"
#include "shell/shell_state.h"
#include "shell/warnings.h"

#include <algorithm>

namespace cvx {

ActivitySupervision::ActivitySupervision(TimeService& time, ProbeLists& probes, Hooks hooks)
    : time_(time), probes_(probes), hooks_(std::move(hooks))
{
    timer_ = time_.createTimer(1000, false, [this] { Tick(); });
}

ActivitySupervision::~ActivitySupervision() = default;

void ActivitySupervision::Start() { timer_->setEnabled(true); }
void ActivitySupervision::Stop() { timer_->stop(); }
bool ActivitySupervision::Running() const { return timer_->isActive(); }

void ActivitySupervision::setMenuActCheck(bool on)
{
    menuActCheck_ = on;
    for (const auto& s : probes_.Sensors) {
        s->Inactive = false;
        if (hooks_.notifyViews)
            hooks_.notifyViews(*s);
    }
}

void ActivitySupervision::AnswerAwaited() { answerAwaited_ = true; }

void ActivitySupervision::AnswerArrived()
{
    answerAwaited_ = false;
    missedTicks_ = 0;
}

void ActivitySupervision::Tick()
{
    const ShellState& st = shellState();
    const QDateTime now = time_.localNow();
    if (!st.ProbesSetUpTime.isValid() || st.ProbesSetUpTime.secsTo(now) < 5 || st.ModalOpen || st.NoProbes
        || !st.DbConnected)
        return;
    timer_->stop();

    int inactiveCount = 0;
    if (menuActCheck_ && st.MasterMode) {
        // Copy: event tasks may not change the list, but a destroyed sensor must not
        // leave a dangling iterator behind.
        std::vector<TProbe*> sensors;
        sensors.reserve(probes_.Sensors.size());
        for (const auto& s : probes_.Sensors)
            sensors.push_back(s.get());
        for (TProbe* s : sensors) {
            const TProbe* iface = s->ParentInterface;
            const bool loggerActive = iface && iface->LoggerLink && iface->LoggerLink->Active();
            if (!loggerActive && !s->Inactive) {
                const qint64 factor = std::max(0, st.INACTIVITY_FACTOR);
                const qint64 limit = std::max<qint64>(30000, (iface ? iface->PollInterval : 0) * factor);
                // A sensor that never answered counts from the set-up: dead from the start
                // is found, yet a fresh start does not flag sensors before their first poll.
                const QDateTime last = s->LastMeasureTime.isValid() ? s->LastMeasureTime : st.ProbesSetUpTime;
                s->Inactive = now > last && last.msecsTo(now) > limit;
            }
            if ((s->Inactive || !s->IsUsed) && hooks_.notifyViews)
                hooks_.notifyViews(*s);
            if (s->Inactive) {
                if (hooks_.evaluateEvents)
                    hooks_.evaluateEvents(*s);
                ++inactiveCount;
            }
        }
    }

    missedTicks_ = answerAwaited_ ? missedTicks_ + 1 : 0;
    bool connected;
    if (missedTicks_ > st.INACTIVITY_FACTOR) {
        ShowWarning(Msg("msgNoSrvAnswer"));
        // The count starts afresh, so the next unanswered request also waits three ticks.
        answerAwaited_ = false;
        missedTicks_ = 0;
        connected = false;
    } else {
        connected = st.MasterMode || (hooks_.clientConnected && hooks_.clientConnected());
    }

    WarningPanel& panel = warningPanel();
    const int sensorCount = int(probes_.Sensors.size());
    if (connected && !answerAwaited_ && menuActCheck_ && st.MasterMode && sensorCount > 0
        && inactiveCount == sensorCount && !panel.visible()) {
        ShowWarning(Msg("msgSensorsNotResponding"));
        panel.AllSensorsDownShown = true;
    }
    if (connected && menuActCheck_ && inactiveCount < sensorCount && panel.visible() && panel.menuAlertsDisappear())
        panel.Close();

    timer_->start();
}

} // namespace cvx
