// The conditions of an event: thresholds with their sustain times, lost sensors, the
// rate of change, the activation limit, the time window and the schedule.

#include "acquisition/probe.h"
#include "event.h"
#include "event_engine.h"
#include "platform/time_service.h"
#include "shell/catalogue.h"

#include <algorithm>
#include <limits>

namespace cvx {

namespace {

// "HH"/"NN" of now against a list of two-digit texts; "8" counts as "08".
bool listHas(const QStringList& list, int value)
{
    for (const QString& t : list) {
        bool ok = false;
        const int v = t.trimmed().toInt(&ok);
        if (ok && v == value)
            return true;
    }
    return false;
}

bool dayMarked(const QString& weekDays, int dayOfWeek)
{
    return dayOfWeek >= 1 && dayOfWeek <= weekDays.size() && weekDays[dayOfWeek - 1].toUpper() == u'X';
}

// The wall-clock minute as a plain value, free of time-zone ambiguity.
QDateTime minuteOf(const QDateTime& t)
{
    return QDateTime(t.date(), QTime(t.time().hour(), t.time().minute()), Qt::UTC);
}

// Minutes of missed scheduler ticks (a main thread held up) that are still examined.
constexpr int ScheduleCatchUpMinutes = 10;

} // namespace

bool TEvent::SustainPassed(int minutes) const
{
    const qint64 elapsed = engine_.Time().tickMs() - pendingSinceTick_;
    return elapsed / 60000 >= minutes;
}

void TEvent::SetPending()
{
    Pending = true;
    PendingSince = engine_.Time().localNow();
    pendingSinceTick_ = engine_.Time().tickMs();
}

bool TEvent::CheckActivationLimit(bool logRefusalOnce)
{
    const qint64 m = everActivated_ ? (engine_.Time().tickMs() - lastActivationTick_) / 60000
                                    : std::numeric_limits<qint64>::max();
    if (m > Limit_interval) {
        ActivationCount = 1;
        Pending = false;
        if (Limit_enabled)
            Log(Fmt("msgEventActivated", Limit_interval, EvLimit, ActivationCount));
        return true;
    }
    if (Limit_enabled && ActivationCount > EvLimit) {
        if (!logRefusalOnce || !RefusalLogged) {
            Log(Fmt("msgNoMoreActivationsAllowed", Limit_interval, EvLimit, ActivationCount));
            RefusalLogged = true;
        }
        return false;
    }
    Pending = false;
    if (Limit_enabled)
        Log(Fmt("msgEventActivated", Limit_interval, EvLimit, ActivationCount));
    return true;
}

bool TEvent::CheckThreshold(TProbe& s)
{
    const int mt = Threshold1MeasureType;
    if (Active || !Sensor_list.contains(s.Id) || s.Inactive || !s.IsUsed || !TimeLimitAllows()
        || !isValidMeasureType(mt) || s.RawValues[mt] == NoValueMarker)
        return false;
    const double v = s.Values[mt];
    if (!ThresholdHolds(v, Threshold1Value, Threshold1Type)) {
        if (Pending)
            Log(Fmt(Threshold1Type == ThresholdUpper ? "msgValueIsLowerThanThreshold" : "msgValueIsHigherThanThreshold",
                    NowTimeText(), v, Threshold1Value));
        Pending = false;
        RefusalLogged = false;
        return false;
    }
    if (!Pending) {
        SetPending();
        Log(Fmt("msgThresholdReached", NowTimeText(), s.Name, v,
                Msg(Threshold1Type == ThresholdUpper ? "labHigherThan" : "labLowerThan"), Threshold1Value));
    }
    if (!SustainPassed(Sustain))
        return false;
    return CheckActivationLimit(true);
}

bool TEvent::CheckConnectionLost(TProbe& s)
{
    if (Active || !Sensor_list.contains(s.Id) || !s.IsUsed || !TimeLimitAllows())
        return false;
    if (!s.Inactive) {
        if (Pending)
            Log(Fmt("msgSensorReappeared", NowTimeText(), s.Name));
        Pending = false;
        RefusalLogged = false;
        return false;
    }
    if (!Pending) {
        SetPending();
        Log(Fmt("msgSensorDisappeared", NowTimeText(), s.Name));
    }
    if (!SustainPassed(Sustain))
        return false;
    return CheckActivationLimit(true);
}

bool TEvent::CheckRateOfChange(TProbe& s)
{
    const int mt = Threshold1MeasureType;
    if (Active || !Sensor_list.contains(s.Id) || s.Recent.size() < 2 || s.Inactive || !s.IsUsed
        || !isValidMeasureType(mt))
        return false;
    double lo = 0, hi = 0;
    int taken = 0;
    for (size_t i = 0; i < s.Recent.size() && qint64(i) <= qint64(rate_count); ++i) {
        const double v = s.Recent[i][mt];
        if (v == NoValue)
            continue;
        lo = taken ? std::min(lo, v) : v;
        hi = taken ? std::max(hi, v) : v;
        ++taken;
    }
    if (taken < 2)
        return false;
    const double d = hi - lo;
    if (!ThresholdHolds(d, Threshold1Value, Threshold1Type))
        return false;
    const double poll = s.ParentInterface ? double(s.ParentInterface->PollInterval) : 0.0;
    Log(Fmt("msgRateChangeThresholdReached", NowTimeText(), rate_count, poll / 1000.0 * rate_count, s.Name,
            Threshold1Value, Msg(Threshold1Type == ThresholdUpper ? "labAbove" : "labBelow"), d));
    return CheckActivationLimit(false);
}

bool TEvent::CheckClosingThreshold(TProbe& s)
{
    const int mt = Threshold2MeasureType;
    if (!Sensor_list2.contains(s.Id) || !s.IsUsed || !Active || !isValidMeasureType(mt)
        || s.RawValues[mt] == NoValueMarker)
        return false;
    const double v = s.Values[mt];
    if (ThresholdHolds(v, Threshold2Value, Threshold2Type)) {
        if (!Pending) {
            SetPending();
            Log(Fmt("msgThresholdReached", NowTimeText(), s.Name, v,
                    Msg(Threshold2Type == ThresholdUpper ? "labHigherThan" : "labLowerThan"), Threshold2Value));
        }
        if (SustainPassed(Sustain2)) {
            Pending = false;
            return true;
        }
        return false;
    }
    if (Pending)
        Log(SafeFormat(QStringLiteral("\"%s\" [%.3d]: "), s.Name, s.Id)
            + Fmt(Threshold2Type == ThresholdUpper ? "msgValueIsLowerThanThreshold" : "msgValueIsHigherThanThreshold",
                  NowTimeText(), v, Threshold2Value));
    Pending = false;
    return false;
}

bool TEvent::TimeLimitAllows() const
{
    if (!Limit_time)
        return true;
    const QDateTime now = engine_.Time().localNow();
    if (use_week_days && !dayMarked(week_days, now.date().dayOfWeek()))
        return false;
    if (use_hours && !listHas(hours, now.time().hour()))
        return false;
    if (use_minutes && !listHas(minutes, now.time().minute()))
        return false;
    return true;
}

bool TEvent::ScheduleMatches(const QDateTime& t) const
{
    const int hour = t.time().hour();
    const int minute = t.time().minute();
    const bool minuteOk = listHas(minutes, minute);
    bool hourOk = listHas(hours, hour);
    bool dayOk = dayMarked(week_days, t.date().dayOfWeek());
    // A schedule without minutes fires at minute 0; one without hours at midnight.
    if (hourOk && !use_minutes)
        hourOk = minute == 0;
    if (dayOk && !use_hours)
        dayOk = hour == 0 && (minute == 0 || minuteOk);
    return !((use_week_days && !dayOk) || (use_hours && !hourOk) || (use_minutes && !minuteOk));
}

// Each local minute is examined once, on the first tick within it. Ticks missed while the
// main thread was held up are caught up for a few minutes back; a minute that already
// fired the event does not fire it again when the clock is set back over it.
void TEvent::CheckSchedule()
{
    if (!IsEnabled() || Active)
        return;
    const QDateTime now = engine_.Time().localNow();
    const QDateTime minute = minuteOf(now);
    if (lastExaminedMinute_.isValid() && minute == lastExaminedMinute_)
        return;
    QList<QDateTime> examine;
    if (lastExaminedMinute_.isValid() && minute > lastExaminedMinute_
        && lastExaminedMinute_.secsTo(minute) <= ScheduleCatchUpMinutes * 60) {
        for (QDateTime m = lastExaminedMinute_.addSecs(60); m <= minute; m = m.addSecs(60))
            examine << m;
    } else {
        examine << minute;
    }
    lastExaminedMinute_ = minute;
    LastActivation = now;
    for (const QDateTime& m : examine) {
        if (m == lastFiredMinute_ || !ScheduleMatches(m))
            continue;
        lastFiredMinute_ = m;
        const QString ignored = QStringLiteral("(") + Msg("labIgnored") + QStringLiteral(") ");
        auto mark = [&](bool set) { return set ? QString() : ignored; };
        Log(Fmt("msgSchEventActMessage", week_days, mark(use_week_days), hours.join(u','), mark(use_hours),
                minutes.join(u','), mark(use_minutes)));
        SetActive(true);
        return;
    }
}

} // namespace cvx
