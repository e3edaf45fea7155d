#include "event.h"

#include "acquisition/probe.h"
#include "acquisition/probe_lists.h"
#include "event_engine.h"
#include "platform/sound_player.h"
#include "platform/time_service.h"
#include "shell/app_paths.h"
#include "shell/catalogue.h"
#include "shell/conventions.h"
#include "shell/shell_state.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <climits>

namespace cvx {

bool ThresholdHolds(double value, double threshold, int thresholdType)
{
    return thresholdType == ThresholdLower ? value <= threshold : value >= threshold;
}

QString ShortestDecimal(double value)
{
    QString s = QString::number(value, 'g', 15);
    s.replace(u'.', DecimalSeparator);
    return s;
}

namespace {

const QDateTime ZeroDate(QDate(1899, 12, 30), QTime(0, 0));

int clampMs(qint64 ms) { return int(std::clamp<qint64>(ms, 1, INT_MAX)); }

QString boolText(bool b) { return b ? QStringLiteral("-1") : QStringLiteral("0"); }

} // namespace

TEvent::TEvent(EventEngine& engine)
    : LastActivation(ZeroDate), Log_(std::make_shared<EventLog>(&engine.Time())), engine_(engine)
{
    PeriodTimer = engine.Time().createTimer([this] { OnPeriodTimer(); });
    DelayTimer = engine.Time().createTimer([this] { OnDelayTimer(); });
    enabledFromSeq_ = engine.EvaluationSeq();
}

TEvent::~TEvent()
{
    PeriodTimer.reset();
    DelayTimer.reset();
}

void TEvent::Prepare(const QString& logFolder)
{
    PeriodTimer->stop();
    DelayTimer->stop();
    PeriodTimer->setSingleShot(false);
    DelayTimer->setSingleShot(false);
    PeriodTimer->setInterval(clampMs(qint64(Period) * 60000));
    DelayTimer->setInterval(clampMs(qint64(Delay) * 1000));
    // A period of no minutes would fire without pause; such an event never runs by period.
    if (Condition_type_code == CTC_PERIODIC && Period > 0)
        PeriodTimer->start();
    wasEnabled_ = IsEnabled();
    Log_->setIdentity(Event_id, Event_name);
    if (!logFolder.isEmpty())
        Log_->setFile(EventLogFileName(logFolder, Event_id, Event_name));
    LogSettings();
}

QString TEvent::NowTimeText() const { return FormatLongTime(engine_.Time().localNow().time()); }

void TEvent::Log(const QString& text)
{
    if (!shellState().LOG_EVENTS)
        return;
    Log_->write(text);
}

void TEvent::LogSettings()
{
    auto line = [this](const char* name, const QString& value) { Log(QString::fromLatin1(name) + value); };
    line("Event_id: ", QString::number(Event_id));
    line("Event_name: ", Event_name);
    line("Event_is_used: ", boolText(Event_is_used));
    line("Enabled: ", LockedBy.join(u','));
    line("Limit: ", QString::number(EvLimit));
    line("Limit_interval: ", QString::number(Limit_interval));
    line("Limit_enabled: ", boolText(Limit_enabled));
    line("Period: ", QString::number(Period));
    line("Delay: ", QString::number(Delay));
    line("CTypeCode: ", QString::number(Condition_type_code));
    line("Threshold: ", ShortestDecimal(Threshold1Value));
    line("ThrTCode: ", QString::number(Threshold1Type));
    line("Sustain: ", QString::number(Sustain));
    line("MTypeCode: ", QString::number(Threshold1MeasureType));
    line("Sensor_list: ", Sensor_list.commaText());
    line("Task_list: ", Task_list.commaText());
    line("CTypeCode2: ", QString::number(Condition_type_code2));
    line("Threshold2: ", ShortestDecimal(Threshold2Value));
    line("ThrtCode2: ", QString::number(Threshold2Type));
    line("Sustain2: ", QString::number(Sustain2));
    line("MTypeCode2: ", QString::number(Threshold2MeasureType));
    line("Sensor_list2: ", Sensor_list2.commaText());
    line("Task_list2: ", Task_list2.commaText());
}

// ---- LastSensor ---------------------------------------------------------------------------
//
// The engine hands a sensor only to the events whose lists name it, yet an event's
// LastSensor is the last sensor handed over while it was enabled, whichever it was. The
// engine counts its hand-overs and remembers the last sensor; an event that was enabled
// at the last hand-over takes that one, otherwise the one it remembered when it was
// last disabled (or was itself handed).

int TEvent::LastSensorId() const { return IsEnabled() ? lastSensorWhileEnabled() : ownLastSensor_; }

int TEvent::lastSensorWhileEnabled() const
{
    const quint64 seq = engine_.EvaluationSeq();
    if (seq > enabledFromSeq_ && seq > ownSeq_)
        return engine_.LastEvaluatedSensor();
    return ownLastSensor_;
}

TProbe* TEvent::LastSensor() const
{
    const int id = LastSensorId();
    return id < 0 ? nullptr : engine_.Probes().FindSensor(id);
}

void TEvent::noteEnabledChange(bool wasEnabled)
{
    const bool now = IsEnabled();
    if (wasEnabled && !now) {
        ownLastSensor_ = lastSensorWhileEnabled();
    } else if (!wasEnabled && now) {
        enabledFromSeq_ = engine_.EvaluationSeq();
        ownSeq_ = enabledFromSeq_;
    }
    wasEnabled_ = now;
}

// ---- evaluation -----------------------------------------------------------------------------

void TEvent::Evaluate(TProbe& sensor)
{
    if (!IsEnabled())
        return;
    ownLastSensor_ = sensor.Id;
    ownSeq_ = engine_.EvaluationSeq();
    if (!Active) {
        bool activate = false;
        switch (Condition_type_code) {
        case CTC_MEASURED: activate = CheckThreshold(sensor); break;
        case CTC_ON_SENSOR_DIE: activate = CheckConnectionLost(sensor); break;
        case CTC_ON_EXTREME_RATE: activate = CheckRateOfChange(sensor); break;
        default: break;
        }
        if (activate)
            SetActive(true);
        return;
    }
    switch (Condition_type_code2) {
    case CTC_MEASURED:
        if (CheckClosingThreshold(sensor))
            SetActive(false);
        break;
    case CTC_ON_SENSOR_REVIVAL:
        if (Sensor_list.contains(sensor.Id) && sensor.IsUsed && !sensor.Inactive)
            SetActive(false);
        break;
    default: break;
    }
}

// ---- state changes --------------------------------------------------------------------------

void TEvent::SetActive(bool on)
{
    if (!IsEnabled() || on == Active)
        return;
    // Events that activate and close each other in a circle would otherwise recurse
    // without end; an event changes state at most once within one chain of tasks.
    if (transition_) {
        Log(Msg("msgEventBusyNotChanged"));
        return;
    }
    transition_ = true;
    TimeService& time = engine_.Time();
    if (on) {
        Active = true;
        ++ActivationCount;
        LastActivation = time.localNow();
        lastActivationTick_ = time.tickMs();
        everActivated_ = true;
        if (Condition_type_code2 == CTC_DELAYED)
            DelayTimer->setEnabled(true);
        Log(SafeFormat(QStringLiteral("%s (%s)"), Msg("labActivated"), NowTimeText()));
        RunTasks(Task_list);
        PlaySound();
    } else {
        RefusalLogged = false;
        Active = false;
        DelayTimer->stop();
        Pending = false;
        Log(SafeFormat(QStringLiteral("%s (%s)"), Msg("labDisactivated"), NowTimeText()));
        RunTasks(Task_list2);
        ReleaseHolds();
    }
    transition_ = false;
}

void TEvent::RunTasks(const IdList& tasks)
{
    for (int id : tasks.ids()) {
        TTask* task = engine_.FindTask(id);
        if (!task)
            continue;
        const QString result = engine_.RunTask(*task, *this);
        if (!result.isEmpty())
            Log(QStringLiteral("  ") + result);
    }
}

void TEvent::PlaySound()
{
    if (!Sound_enabled)
        return;
    const QString file = SndFile.isEmpty() || QFileInfo(SndFile).isAbsolute() ? SndFile
                                                                                : AppPaths::besideProgram(SndFile);
    if (file.isEmpty() || !QFileInfo(file).isFile()) {
        Log(Fmt("msgSoundFileNotFound", SndFile));
        return;
    }
    SoundPlayer& player = engine_.Sound();
    if (player.isPlaying())
        return;
    QString error;
    if (!player.play(file, &error))
        Log(Fmt("msgPlayingSoundFailed", error));
}

void TEvent::Lock(TEvent& by)
{
    const bool wasEnabled = IsEnabled();
    const QString id = QString::number(by.Event_id);
    if (!LockedBy.contains(id)) {
        LockedBy << id;
        LockedBy.sort();
    }
    noteEnabledChange(wasEnabled);
    Log(Fmt("msgEventWasLockedBy", by.Event_name, StateText()));
}

bool TEvent::Unlock(TEvent& by)
{
    const bool wasEnabled = IsEnabled();
    if (!LockedBy.removeOne(QString::number(by.Event_id)))
        return false;
    noteEnabledChange(wasEnabled);
    Log(Fmt("msgEventWasReleased", by.Event_name, StateText()));
    return true;
}

QString TEvent::StateText() const
{
    if (IsEnabled())
        return Msg("labEventStateReleased");
    return Fmt("labEventStateLockedBy", LockedBy.join(u','));
}

void TEvent::ReleaseHolds()
{
    const QString key = QString::number(Event_id);
    for (const auto& s : engine_.Probes().Sensors) {
        if (!isRelaySensorType(s->SensorType) || !s->RelayLocks.contains(key))
            continue;
        s->RelayLocks.remove(key);
        Log(Fmt("msgRelayReleased", s->Name, s->RelayStateText()));
    }
    for (const auto& e : engine_.Events) {
        if (e->Unlock(*this))
            Log(Fmt("msgEventReleased", e->Event_name, e->StateText()));
    }
}

void TEvent::OnPeriodTimer()
{
    if (shellState().Stopping)
        return;
    if (IsEnabled() && !Active)
        SetActive(true);
}

void TEvent::OnDelayTimer()
{
    if (!IsEnabled())
        return;
    DelayTimer->stop();
    if (Active)
        SetActive(false);
}

} // namespace cvx
