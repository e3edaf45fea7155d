#pragma once
// The log of one event: its own file and, for each line, an entry in the main log view.
// Lines stay in the order their causes happened even when one of them is only known
// later (the outcome of an e-mail sent in the background): such a line reserves its
// place, and the lines after it wait until it is filled. The log outlives its event
// while a reserved line is still open, so a late outcome is never lost.

#include "shell/logs.h"

#include <QString>

#include <deque>
#include <memory>
#include <optional>

namespace cvx {

class EventLog {
public:
    static constexpr qint64 LogLimit = 50'000'000;

    explicit EventLog(TimeService* time = nullptr);
    ~EventLog();

    // Switches the writer off, closes it, points it at the file and switches it on again.
    void setFile(const QString& path);
    QString file() const { return writer_.LogFile; }
    void setIdentity(int eventId, const QString& eventName);

    // A line, now or after the open reservations before it.
    void write(const QString& text);
    // A place for a line whose text comes later.
    quint64 reserve();
    // The text of a reserved place; an empty text leaves no line.
    void fill(quint64 slot, const QString& text);
    int waitingLines() const { return int(pending_.size()); }

    // The line of the main log view: "[id name labEvent:] text".
    QString viewLine(const QString& text) const;

private:
    void writeOut(const QString& text);
    void flushReady();

    TNaplo writer_;
    int eventId_ = 0;
    QString eventName_;
    struct Entry {
        quint64 slot = 0;       // 0: a plain line
        std::optional<QString> text;
    };
    std::deque<Entry> pending_;
    quint64 nextSlot_ = 1;
};

// The file name of an event's log: "<folder>/<id as %.3d> <safe name>.eventlog".
QString EventLogFileName(const QString& folder, int eventId, const QString& eventName);

} // namespace cvx
