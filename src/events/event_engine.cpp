#include "event_engine.h"

#include "acquisition/probe.h"
#include "acquisition/probe_lists.h"
#include "link/vbt_comms.h"
#include "mail_sender.h"
#include "platform/process_launcher.h"
#include "platform/smtp_client.h"
#include "platform/sound_player.h"
#include "platform/time_service.h"
#include "shell/shell_state.h"
#include "store/data_module.h"
#include "watchdog.h"

#include <algorithm>

namespace cvx {

EventEngine::EventEngine(TimeService& time, ProbeLists& probes, TfDM* dm, EventPlatform platform)
    : time_(time), probes_(probes), dm_(dm), platform_(std::move(platform))
{
    smtp_ = platform_.smtp;
    if (!smtp_) {
        ownSmtp_ = createCurlSmtpClient();
        smtp_ = ownSmtp_.get();
    }
    launcher_ = platform_.launcher;
    if (!launcher_) {
        ownLauncher_ = createProcessLauncher();
        launcher_ = ownLauncher_.get();
    }
    sound_ = platform_.sound;
    if (!sound_) {
        ownSound_ = createSystemSoundPlayer();
        sound_ = ownSound_.get();
    }
    mail_ = std::make_unique<MailSender>(*smtp_);
    scheduler_ = time_.createTimer(SchedulerIntervalMs, false, [this] { SchedulerTick(); });
}

EventEngine::~EventEngine()
{
    scheduler_->stop();
    FreeAll();
    mail_.reset();
}

QString EventEngine::ReadSetting(const QString& key) const
{
    if (platform_.readSetting)
        return platform_.readSetting(key);
    if (dm_ && shellState().DbConnected)
        return dm_->ReadGlobalSetting(key);
    return QString();
}

// ---- lists ----------------------------------------------------------------------------------

TEvent& EventEngine::AddEvent(std::unique_ptr<TEvent> event)
{
    Events.push_back(std::move(event));
    return *Events.back();
}

TTask& EventEngine::AddTask(std::unique_ptr<TTask> task)
{
    Tasks.push_back(std::move(task));
    return *Tasks.back();
}

TEvent* EventEngine::FindEvent(int id) const
{
    for (const auto& e : Events)
        if (e->Event_id == id)
            return e.get();
    return nullptr;
}

TTask* EventEngine::FindTask(int id) const
{
    for (const auto& t : Tasks)
        if (t->Task_id == id)
            return t.get();
    return nullptr;
}

void EventEngine::FreeEvents()
{
    ++indexGeneration_;
    index_.clear();
    while (!Events.empty()) {
        std::unique_ptr<TEvent> e = std::move(Events.back());
        Events.pop_back();
        e->ReleaseHolds();
    }
}

void EventEngine::FreeTasks()
{
    while (!Tasks.empty()) {
        std::unique_ptr<TTask> t = std::move(Tasks.back());
        Tasks.pop_back();
        const TOnIncoming_tagged sms = TOnIncoming_tagged::keyed(t.get(), "OnSmsResult", [](auto&&...) {});
        const TOnIncoming_tagged relay = TOnIncoming_tagged::keyed(t.get(), "OnRelayResult", [](auto&&...) {});
        for (const auto& iface : probes_.Interfaces) {
            if (!iface->Link)
                continue;
            iface->Link->ClearQueueByHandler(sms);
            iface->Link->ClearQueueByHandler(relay);
        }
        if (watchdog_ && watchdog_->WatchdogLink()) {
            watchdog_->WatchdogLink()->ClearQueueByHandler(sms);
            watchdog_->WatchdogLink()->ClearQueueByHandler(relay);
        }
    }
}

void EventEngine::FreeAll()
{
    scheduler_->stop();
    FreeEvents();
    FreeTasks();
}

void EventEngine::RebuildIndex()
{
    ++indexGeneration_;
    index_.clear();
    for (const auto& e : Events) {
        auto add = [&](int id) {
            auto& v = index_[id];
            if (v.empty() || v.back() != e.get())
                v.push_back(e.get());
        };
        for (int id : e->Sensor_list.ids())
            if (id >= 0)
                add(id);
        for (int id : e->Sensor_list2.ids())
            if (id >= 0)
                add(id);
    }
}

const std::vector<TEvent*>& EventEngine::EventsOfSensor(int sensorId) const
{
    static const std::vector<TEvent*> none;
    const auto it = index_.find(sensorId);
    return it == index_.end() ? none : it->second;
}

// ---- evaluation -----------------------------------------------------------------------------

void EventEngine::EvaluateAll(TProbe& sensor)
{
    ++evalSeq_;
    lastSensorId_ = sensor.Id;
    const auto it = index_.find(sensor.Id);
    if (it == index_.end())
        return;
    // Tasks never reload the events, but should the index change under the loop (a
    // reload from inside an evaluation), the loop stops rather than read freed events.
    const quint64 generation = indexGeneration_;
    const std::vector<TEvent*>& events = it->second;
    for (size_t i = 0; i < events.size() && generation == indexGeneration_; ++i)
        events[i]->Evaluate(sensor);
}

void EventEngine::SchedulerTick()
{
    if (shellState().Stopping)
        return;
    for (size_t i = 0; i < Events.size(); ++i) {
        TEvent* e = Events[i].get();
        if (e->Condition_type_code == CTC_SCHEDULED)
            e->CheckSchedule();
    }
}

// ---- relay lists ----------------------------------------------------------------------------

void EventEngine::PurgeTaskRelayLists()
{
    for (const auto& t : Tasks) {
        QStringList kept;
        for (const QString& text : t->Relay_list.texts())
            if (probes_.FindSensor(IdOfText(text)))
                kept << text;
        if (kept.size() != t->Relay_list.size())
            t->Relay_list.setTexts(kept);
    }
}

// ---- subject text -----------------------------------------------------------------------------

QString PlainSubjectText(const QString& text)
{
    static const QString accented = QStringLiteral("öüóűőúéáíÖÜÓŰŐÚÉÁÍ");
    static const QString plain = QStringLiteral("ouououeaiOUOUOUEAI");
    QString s = text;
    s.replace(QStringLiteral("\r\n"), QStringLiteral(" "));
    for (QChar& c : s) {
        if (c.unicode() < 32) {
            c = u'_';
            continue;
        }
        const int i = accented.indexOf(c);
        if (i >= 0)
            c = plain[i];
    }
    return s;
}

} // namespace cvx
