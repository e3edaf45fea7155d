// Running tasks: messages, SMS, relays, locking and activating other events, programs,
// and the outcome callbacks of commands queued on device links.

#include "acquisition/probe.h"
#include "acquisition/probe_lists.h"
#include "event_engine.h"
#include "link/kuldendo.h"
#include "link/vbt_comms.h"
#include "platform/process_launcher.h"
#include "shell/catalogue.h"
#include "shell/logs.h"
#include "shell/shell_state.h"
#include "shell/warnings.h"
#include "warning_calls.h"
#include "watchdog.h"

#include <QStringEncoder>

namespace cvx {

namespace {

// One fixed-width text field of an SMS command: the text, a zero character, cut and
// padded with blanks to the width; the device reads single-byte Central European text.
QByteArray smsField(const QString& text, int width)
{
    QString t = text + QChar(0);
    t = t.left(width);
    t = t.leftJustified(width, u' ');
    QStringEncoder enc("windows-1250");
    QByteArray bytes = enc.encode(t);
    return bytes;
}

} // namespace

QByteArray SmsCommand(const QString& destination, const QString& message)
{
    return QByteArrayLiteral("CGSSM") + smsField(destination, 20) + smsField(message, 120);
}

QString EventEngine::RunTask(TTask& task, TEvent& event)
{
    switch (task.Task_type_code) {
    case ttEMail:
    case ttSms: return runMessageTask(task, event);
    case ttRelayOn:
    case ttRelayOff:
    case ttRelayToggle:
    case ttRelayHold: return runRelayTask(task, event);
    case ttUnlockEvents:
    case ttLockEvents: return runLockTask(task, event);
    case ttActivateEvents:
    case ttCloseEvents: return runActivateTask(task, event);
    case ttReport: return runReportTask(task, event);
    case ttCommand: return runCommandTask(task, event);
    default: return QString();
    }
}

QString EventEngine::messageText(TTask& task, TEvent& event) const
{
    const TProbe* s = event.LastSensor();
    const QString name = s ? s->Name : QString();
    if (event.Condition_type_code != CTC_MEASURED)
        return Fmt("labMailMsgGlobal", event.Event_name, name, task.Message_text);
    const int mt = event.Threshold1MeasureType;
    QString caption;
    if (mt == mtT)
        caption = Msg("labMailTemperatureCaption");
    else if (mt == mtH)
        caption = Msg("labMailHumid");
    else
        caption = measureTypeText(mt);
    const QString limit =
        Fmt(event.Threshold1Type == ThresholdLower ? "labMailLowLimit" : "labMailHighLimitIs",
            ShortestDecimal(event.Threshold1Value));
    const double value = s && isValidMeasureType(mt) ? s->Values[mt] : 0.0;
    // The user's own text: filled when it fits, otherwise used as written.
    const QString user = FormatChecked(task.Message_text, {value}).value_or(task.Message_text);
    return Fmt("labMailMsg", name, caption, limit, user);
}

QString EventEngine::runMessageTask(TTask& task, TEvent& event)
{
    const QString message = messageText(task, event);
    warningPanel().setMenuAlertsDisappear(false);
    ShowWarning(message);

    if (task.Task_type_code == ttEMail) {
        const QString head = Fmt("msgSendingEMail", task.Message_destination, message);
        std::shared_ptr<EventLog> log = event.Log_;
        const bool logging = shellState().LOG_EVENTS;
        const quint64 slot = logging ? log->reserve() : 0;
        SendEMail(task.Message_destination, message, [log, slot, head](bool ok) {
            if (slot)
                log->fill(slot, QStringLiteral("  ") + head + QStringLiteral(" - ")
                                    + Msg(ok ? "msgMessageSent" : "msgSendingEMailFailed"));
        });
        return QString();
    }

    // SMS through the watchdog device.
    if (!watchdog_ || !watchdog_->WatchdogEnabled() || !watchdog_->WatchdogLink())
        return QString();
    TVBTComms* link = watchdog_->WatchdogLink();
    const QString result = Fmt("msgSendingSMS", task.Message_destination, message, int(link->VBTAddress));
    const TOnIncoming_tagged cb = TOnIncoming_tagged::keyed(
        &task, "OnSmsResult", [this](const QByteArray&, quint16 code, int tag) { OnSmsResult(code, tag); });
    // Tagged with the event, so that a failure lands in its log too.
    SendTagged(link, SmsCommand(task.Message_destination, message), link->VBTAddress, 15000, event.Event_id, cb, cb,
               QByteArray());
    return result;
}

QString EventEngine::runRelayTask(TTask& task, TEvent& event)
{
    const int type = task.Task_type_code;
    const QString key = QString::number(event.Event_id);
    const TOnIncoming_tagged cb = TOnIncoming_tagged::keyed(
        &task, "OnRelayResult", [this](const QByteArray&, quint16 code, int tag) { OnRelayResult(code, tag); });
    QString result;
    bool handled = false;
    for (int id : task.Relay_list.ids()) {
        TProbe* s = probes_.FindSensor(id);
        if (!s || !isRelaySensorType(s->SensorType))
            continue;
        handled = true;
        const bool held = s->RelayLocks.contains(key);
        bool on = type == ttRelayOn || type == ttRelayHold || (type == ttRelayToggle && s->RawValues[mtRState] == 0);
        bool off = false;
        if (type == ttRelayOff) {
            if (held)
                s->RelayLocks.remove(key);
            off = s->RelayLocks.isEmpty();
        }
        if (type == ttRelayToggle && !on)
            off = s->RelayLocks.isEmpty();
        if (type == ttRelayHold)
            s->RelayLocks.insert(key, RelayLockEntry{event.Event_id, event.Event_name});

        const int address = s->Address;
        if (on)
            result = type == ttRelayHold ? Fmt("msgRelayHeldOn", s->Name, address, s->RelayIndex, s->RelayStateText())
                                         : Fmt("msgRelayOn", s->Name, address, s->RelayIndex, QString());
        else if (off)
            result = Fmt("msgRelayOff", s->Name, address, s->RelayIndex);
        else
            result = Fmt("msgRelayHeldCannotBeSwitchedOff", s->Name, address, s->RelayIndex, s->RelayStateText());
        if (!on && !off)
            continue;

        TVBTComms* link = s->ParentInterface ? s->ParentInterface->Link.get() : nullptr;
        if (!link) {
            OnRelayResult(vbt::rcNotActive, event.Event_id);
            continue;
        }
        if (s->SensorType == stSerialRelay)
            link->SetLine(s->RelayIndex + 1, on);
        else
            SendTagged(link, QByteArray(on ? "CRLSO" : "CRLSC") + char(s->RelayIndex), quint32(address), 0,
                       event.Event_id, cb, nullptr, QByteArray());
    }
    if (!handled)
        result = Msg("msgSpecifiedRelaysDontExist");
    return result;
}

QString EventEngine::runLockTask(TTask& task, TEvent& event)
{
    QString result;
    const bool unlock = task.Task_type_code == ttUnlockEvents;
    for (size_t i = 0; i < Events.size(); ++i) {
        TEvent& e = *Events[i];
        if (!task.Event_list.contains(e.Event_id))
            continue;
        result = Fmt("msgEventWillBeX", e.Event_name, Msg(e.Active ? "labNowActive" : "labNowInactive"),
                     Msg(unlock ? "labReleased" : "labLocked"));
        if (unlock)
            e.Unlock(event);
        else
            e.Lock(event);
    }
    return result;
}

QString EventEngine::runActivateTask(TTask& task, TEvent& event)
{
    QString result;
    const bool activate = task.Task_type_code == ttActivateEvents;
    for (size_t i = 0; i < Events.size(); ++i) {
        TEvent& e = *Events[i];
        if (&e == &event || !task.Event_list.contains(e.Event_id))
            continue;
        const QString state = Msg(e.Active ? "labNowActive" : "labNowInactive");
        if (e.IsEnabled())
            result = Fmt("msgEventWillBeX", e.Event_name, state, Msg(activate ? "labActivated" : "labDisactivated"));
        else
            result = Fmt("msgEventShouldBeXButLocked", e.Event_name, state,
                         Msg(activate ? "labToBeActivated" : "labToBeDisactivated"));
        e.SetActive(activate);
    }
    return result;
}

QString EventEngine::runCommandTask(TTask& task, TEvent&)
{
    const LaunchResult r =
        launcher_->startDetached(task.exec_cmd.trimmed(), SplitCommandArguments(task.exec_params));
    const QString shown = (task.exec_cmd + u' ' + task.exec_params).trimmed();
    return Fmt(r.started ? "msgExecuteCmdSuccess" : "msgExecuteCmdFail", shown, r.code);
}

void EventEngine::reportLinkFailure(const char* key, quint16 code, int tag)
{
    if (code == 0)
        return;
    warningPanel().setMenuAlertsDisappear(false);
    const QString text = Fmt(key, int(code));
    if (TEvent* e = FindEvent(tag))
        e->Log(text);
    ShowOrLogWarning(text);
}

void EventEngine::OnSmsResult(quint16 code, int tag) { reportLinkFailure("msgSendingSMSFailed", code, tag); }

void EventEngine::OnRelayResult(quint16 code, int tag) { reportLinkFailure("msgSwitchingRelayFailed", code, tag); }

} // namespace cvx
