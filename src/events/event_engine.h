#pragma once
// The event engine: the shell-owned lists of events and tasks, the 3000 ms scheduler,
// loading from the database, the evaluation of every event for one sensor, and the
// tasks' connections to the outside (e-mail, SMS, relays, programs, sound).
//
// The engine reaches into the probe lists (relay holds, sensor names) until it is freed:
// the shell frees it (FreeAll, or destroys it) before it destroys the interfaces and
// sensors. Runs on the main thread only, on the recording master. The one exception is e-mail,
// which goes out on a worker thread so that a stalled mail server never stops polling;
// its outcome comes back on the main thread, in the order the mails were sent.

#include "event.h"
#include "task.h"

#include <QString>

#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

namespace cvx {

class MailSender;
class ProbeLists;
class ProcessLauncher;
class SmtpClient;
class SoundPlayer;
class TfDM;
class TimeService;
class Timer;
class TProbe;
class WatchdogDevice;

// What the engine reaches the outside through; missing ones get the real adapters.
struct EventPlatform {
    SmtpClient* smtp = nullptr;
    ProcessLauncher* launcher = nullptr;
    SoundPlayer* sound = nullptr;
    // Global settings (SMTP); empty: the data module's, or none without one.
    std::function<QString(const QString& key)> readSetting;
};

class EventEngine {
public:
    static constexpr int SchedulerIntervalMs = 3000;

    EventEngine(TimeService& time, ProbeLists& probes, TfDM* dm = nullptr, EventPlatform platform = {});
    ~EventEngine();
    EventEngine(const EventEngine&) = delete;
    EventEngine& operator=(const EventEngine&) = delete;

    // Owned lists, in load order.
    std::vector<std::unique_ptr<TEvent>> Events;
    std::vector<std::unique_ptr<TTask>> Tasks;

    // ---- loading
    // Rebuilds Tasks and Events from the database (master only) and restarts the scheduler.
    void ReloadEvents();
    void LoadTasks();
    // Frees every event (each releasing its holds), last first.
    void FreeEvents();
    // Frees every task, last first, withdrawing its queued SMS and relay commands.
    void FreeTasks();
    // What the shell's stop runs: events, then tasks; the scheduler stops.
    void FreeAll();
    // Appends an event or task built elsewhere (tests, tools); call RebuildIndex after.
    TEvent& AddEvent(std::unique_ptr<TEvent> event);
    TTask& AddTask(std::unique_ptr<TTask> task);
    // The per-sensor index of the events whose sensor lists name the sensor.
    void RebuildIndex();

    TEvent* FindEvent(int id) const;
    TTask* FindTask(int id) const;

    // ---- evaluation
    // Hands one sensor to every event, in list order: after every measurement, when a
    // lost sensor answers again, and every second for each lost sensor. Events whose
    // sensor lists do not name the sensor are not visited.
    void EvaluateAll(TProbe& sensor);
    // The events that name the sensor in Sensor_list or Sensor_list2, in list order.
    const std::vector<TEvent*>& EventsOfSensor(int sensorId) const;
    Timer& Scheduler() { return *scheduler_; }
    // One tick of the scheduler: every scheduled event examines the current minute.
    void SchedulerTick();

    // ---- tasks
    // Runs the task for the event. The result of e-mail and report tasks is known only
    // when the mail has gone; they write it into the event's log themselves, in its place
    // among the event's lines, and return an empty text here.
    QString RunTask(TTask& task, TEvent& event);
    // Removes relay ids that name no loaded sensor from every task.
    void PurgeTaskRelayLists();
    // Sends a mail in the background; done(ok) runs on the main thread afterwards.
    void SendEMail(const QString& recipients, const QString& body, std::function<void(bool ok)> done = {});
    // Builds the report of the last hours and mails it; done(ok, body) afterwards.
    void BuildAndSendReport(const QString& recipients, int hours,
                            std::function<void(bool ok, const QString& body)> done = {});
    // The report text; false in ok when the database could not be read.
    QString BuildReportBody(int hours, bool* ok = nullptr, QString* error = nullptr);
    void OnSmsResult(quint16 code, int tag);
    void OnRelayResult(quint16 code, int tag);

    // ---- connections
    void SetWatchdog(WatchdogDevice* watchdog) { watchdog_ = watchdog; }
    WatchdogDevice* Watchdog() const { return watchdog_; }
    TimeService& Time() const { return time_; }
    ProbeLists& Probes() const { return probes_; }
    TfDM* DataModule() const { return dm_; }
    SoundPlayer& Sound() const { return *sound_; }
    ProcessLauncher& Launcher() const { return *launcher_; }
    MailSender& Mail() const { return *mail_; }
    QString ReadSetting(const QString& key) const;

    // LastSensor bookkeeping of the events: a counter of hand-overs and the last sensor.
    quint64 EvaluationSeq() const { return evalSeq_; }
    int LastEvaluatedSensor() const { return lastSensorId_; }

private:
    void loadEventsFromDatabase();
    QString runMessageTask(TTask& task, TEvent& event);
    QString runRelayTask(TTask& task, TEvent& event);
    QString runLockTask(TTask& task, TEvent& event);
    QString runActivateTask(TTask& task, TEvent& event);
    QString runReportTask(TTask& task, TEvent& event);
    QString runCommandTask(TTask& task, TEvent& event);
    QString messageText(TTask& task, TEvent& event) const;
    void reportLinkFailure(const char* key, quint16 code, int tag);

    TimeService& time_;
    ProbeLists& probes_;
    TfDM* dm_;
    EventPlatform platform_;
    std::unique_ptr<SmtpClient> ownSmtp_;
    std::unique_ptr<ProcessLauncher> ownLauncher_;
    std::unique_ptr<SoundPlayer> ownSound_;
    SmtpClient* smtp_;
    ProcessLauncher* launcher_;
    SoundPlayer* sound_;
    std::unique_ptr<MailSender> mail_;
    std::unique_ptr<Timer> scheduler_;
    WatchdogDevice* watchdog_ = nullptr;

    std::unordered_map<int, std::vector<TEvent*>> index_;
    quint64 indexGeneration_ = 0;
    quint64 evalSeq_ = 0;
    int lastSensorId_ = -1;
};

// Made plain for a subject line: CR LF pairs become blanks, other control characters
// "_", and the Hungarian accented vowels their plain letters.
QString PlainSubjectText(const QString& text);

} // namespace cvx
