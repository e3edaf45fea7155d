#pragma once
// TEvent: a user-defined rule with two halves. Its activation condition moves it into
// the active state and runs its activation tasks; its closing condition moves it back
// and runs its closing tasks. Other events may lock (disable) it while they are active.
//
// Durations (sustain times, activation limits) are measured on the monotonic tick, so
// a change of the wall clock neither shortens nor stretches them; time windows and
// schedules follow the local wall clock.

#include "event_log.h"
#include "id_list.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <memory>

namespace cvx {

class EventEngine;
class TProbe;
class Timer;

enum ConditionTypeCode : int {
    CTC_MEASURED = 1,
    CTC_SCHEDULED = 2,
    CTC_PERIODIC = 3,
    CTC_DELAYED = 4,
    CTC_EVENT_TRIGGERED = 5,
    CTC_ON_SENSOR_DIE = 6,
    CTC_ON_SENSOR_REVIVAL = 7,
    CTC_ON_EXTREME_RATE = 8,
};

// Threshold type 2 is a lower limit; every other type an upper one.
constexpr int ThresholdUpper = 1;
constexpr int ThresholdLower = 2;
bool ThresholdHolds(double value, double threshold, int thresholdType);

class TEvent {
public:
    explicit TEvent(EventEngine& engine);
    ~TEvent();
    TEvent(const TEvent&) = delete;
    TEvent& operator=(const TEvent&) = delete;

    // ---- runtime state
    bool Active = false;
    QStringList LockedBy;          // sorted ids of the events that disable this one
    bool Pending = false;          // the watched condition holds; its sustain time runs
    QDateTime PendingSince;
    QDateTime LastActivation;      // the zero date until the first activation
    qint32 ActivationCount = 0;    // ordinal of the next activation within the limit window
    bool RefusalLogged = false;
    std::unique_ptr<Timer> PeriodTimer;
    std::unique_ptr<Timer> DelayTimer;
    std::shared_ptr<EventLog> Log_;  // the event's log; shared with late task outcomes

    // ---- loaded settings
    int Event_id = 0;
    QString Event_name;
    bool Event_is_used = true;
    int Condition_type_code = CTC_MEASURED;
    int Condition_type_code2 = CTC_MEASURED;
    int Threshold_id = 0;
    int Threshold_id2 = 0;
    double Threshold1Value = 100;
    int Threshold1Type = 1;
    int Threshold1MeasureType = 1;
    double Threshold2Value = 99;
    int Threshold2Type = 2;
    int Threshold2MeasureType = 1;
    int Sustain = 0;               // whole minutes
    int Sustain2 = 0;
    IdList Sensor_list;
    IdList Sensor_list2;
    IdList Task_list;
    IdList Task_list2;
    int rate_count = 10;
    bool Limit_enabled = false;
    qint32 EvLimit = 2;
    qint32 Limit_interval = 60;    // minutes
    int Period = 1;                // minutes
    int Delay = 0;                 // seconds
    bool Limit_time = false;
    QString week_days;             // 7 characters, "X" marks a day, Monday first
    QStringList hours;
    QStringList minutes;
    bool use_week_days = false;
    bool use_hours = false;
    bool use_minutes = false;
    bool Sound_enabled = false;
    QString SndFile;

    // ---- operations
    // Hands one sensor to the event (after a measurement, on revival, for a lost sensor).
    void Evaluate(TProbe& sensor);
    bool IsEnabled() const { return Event_is_used && LockedBy.isEmpty(); }
    // Activation (true) or closing (false).
    void SetActive(bool on);
    void Lock(TEvent& by);
    bool Unlock(TEvent& by);
    QString StateText() const;
    // A line of the event's log (only while event logging is on).
    void Log(const QString& text);
    void LogSettings();
    // Releases the relays this event holds on and the events it locked.
    void ReleaseHolds();
    // The scheduler tick's examination of a scheduled event.
    void CheckSchedule();
    bool TimeLimitAllows() const;
    void OnPeriodTimer();
    void OnDelayTimer();
    // The sensor last handed to the event while it was enabled (looked up by id, so a
    // sensor that is gone is none).
    TProbe* LastSensor() const;
    int LastSensorId() const;

    // After the settings are read: timer intervals, the period timer, the log file.
    void Prepare(const QString& logFolder);
    EventEngine& Engine() const { return engine_; }

private:
    bool CheckThreshold(TProbe& s);
    bool CheckConnectionLost(TProbe& s);
    bool CheckRateOfChange(TProbe& s);
    bool CheckClosingThreshold(TProbe& s);
    bool CheckActivationLimit(bool logRefusalOnce);
    bool SustainPassed(int minutes) const;
    void SetPending();
    void RunTasks(const IdList& tasks);
    void PlaySound();
    bool ScheduleMatches(const QDateTime& minute) const;
    QString NowTimeText() const;

    EventEngine& engine_;
    qint64 pendingSinceTick_ = 0;
    qint64 lastActivationTick_ = 0;
    bool everActivated_ = false;
    bool transition_ = false;      // SetActive runs its tasks
    // Scheduled events: the local minutes last examined and last fired.
    QDateTime lastExaminedMinute_;
    QDateTime lastFiredMinute_;
    // LastSensor bookkeeping: see LastSensorId().
    int ownLastSensor_ = -1;
    quint64 ownSeq_ = 0;
    quint64 enabledFromSeq_ = 0;
    bool wasEnabled_ = false;
    void noteEnabledChange(bool wasEnabled);
    int lastSensorWhileEnabled() const;

    friend class EventEngine;
};

// Shortest decimal form with the process's decimal comma ("25", "25,5", "0,125").
QString ShortestDecimal(double value);

} // namespace cvx
