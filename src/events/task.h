#pragma once
// TTask: one action an event runs when it activates or closes. Tasks are rows of table
// Task, shared between events: an event lists the ids of the tasks it runs.

#include "id_list.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace cvx {

enum TaskTypeCode : int {
    ttNone = 0,
    ttEMail = 1,
    ttSms = 2,
    ttRelayOn = 3,
    ttRelayOff = 4,
    ttRelayToggle = 5,
    ttRelayHold = 6,
    ttUnlockEvents = 7,
    ttLockEvents = 8,
    ttActivateEvents = 9,
    ttCloseEvents = 10,
    ttReport = 11,
    ttCommand = 12,
};

class TTask {
public:
    QString Task_name;            // trimmed
    int Task_id = 0;
    int Task_type_code = 0;
    IdList Event_list;            // events that lock, unlock, activate and close tasks act on
    IdList Relay_list;            // relay sensors
    QString Message_destination;  // trimmed: e-mail addresses (comma-separated) or a phone number
    QString Message_text;         // trimmed; may hold one "%f" for the measured value
    QString exec_cmd;             // untrimmed
    QString exec_params;          // untrimmed
    int report_data_count = 24;   // hours in a report
    // Kept for the synchronisation of events into data loggers.
    int LoggerSlot = -1;
    QStringList LoggerPhones;     // sorted, without duplicates
};

// The SMS command of the watchdog device: "CGSSM", the destination and the message, each
// followed by a zero character, cut and padded with blanks to 20 and 120 characters.
QByteArray SmsCommand(const QString& destination, const QString& message);

} // namespace cvx
