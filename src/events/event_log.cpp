#include "event_log.h"

#include "shell/catalogue.h"

namespace cvx {

EventLog::EventLog(TimeService* time) : writer_(time) { writer_.LogLimit = LogLimit; }

EventLog::~EventLog()
{
    // Whatever still waits is written now, in order; reserved places left open are skipped.
    for (Entry& e : pending_)
        if (e.text && !e.text->isEmpty())
            writeOut(*e.text);
    pending_.clear();
    writer_.CloseFile();
}

void EventLog::setFile(const QString& path)
{
    writer_.Logging = false;
    writer_.CloseFile();
    writer_.LogFile = path;
    writer_.Logging = true;
}

void EventLog::setIdentity(int eventId, const QString& eventName)
{
    eventId_ = eventId;
    eventName_ = eventName;
}

QString EventLog::viewLine(const QString& text) const
{
    return SafeFormat(QStringLiteral("[%.3d %30.30s %s:] %s"), eventId_, u'"' + eventName_ + u'"', Msg("labEvent"),
                      text);
}

void EventLog::writeOut(const QString& text)
{
    writer_.Write(text);
    LogLine(viewLine(text), false);
}

void EventLog::write(const QString& text)
{
    if (pending_.empty()) {
        writeOut(text);
        return;
    }
    pending_.push_back(Entry{0, text});
}

quint64 EventLog::reserve()
{
    const quint64 slot = nextSlot_++;
    pending_.push_back(Entry{slot, std::nullopt});
    return slot;
}

void EventLog::fill(quint64 slot, const QString& text)
{
    for (Entry& e : pending_)
        if (e.slot == slot) {
            e.text = text;
            break;
        }
    flushReady();
}

void EventLog::flushReady()
{
    while (!pending_.empty() && pending_.front().text) {
        const QString t = *pending_.front().text;
        pending_.pop_front();
        if (!t.isEmpty())
            writeOut(t);
    }
}

QString EventLogFileName(const QString& folder, int eventId, const QString& eventName)
{
    QString safe = SafeFileName(eventName);
    safe.remove(u'%');
    return folder + u'/' + SafeFormat(QStringLiteral("%.3d"), eventId) + u' ' + safe
        + QStringLiteral(".eventlog");
}

} // namespace cvx
