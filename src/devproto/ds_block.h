#pragma once
// The data logger's parameter block: its configuration for working without the
// computer (the sensors it polls, 16 alarm events, 8 tasks, the watchdog), 2506 bytes
// at parameter addresses 450..2955. Offsets are into the block; integers are
// little-endian; a byte 255 or a negative integer means "not set". Bytes the system
// does not interpret are kept as read and written back unchanged.

#include <QByteArray>
#include <QString>

namespace cvx::dsblock {

constexpr int BlockAddress = 450;    // parameter address of offset 0
constexpr int BlockSize = 2506;
constexpr int PieceSize = 179;       // bytes per read or write request
constexpr int PieceCount = 14;       // PieceCount * PieceSize == BlockSize
static_assert(PieceCount * PieceSize == BlockSize);

constexpr int ModeOffset = 0;               // 0: works with the computer; other: on its own
constexpr int PollIntervalOffset = 122;     // seconds between two polls of its sensors
constexpr int SensorCount = 16;
constexpr int SensorAddressesOffset = 123;  // 16 x 32-bit addresses, all 0xFF: none
constexpr int SensorAddressSize = 4;
constexpr int SensorTypesOffset = 2452;     // 16 sensor type codes

constexpr int EventCount = 16;              // event 0 is always the watchdog alarm
constexpr int EventRecordsOffset = 187;
constexpr int EventRecordSize = 17;
constexpr int TaskCount = 8;                // task 0 is always the watchdog alarm's SMS
constexpr int TaskRecordsOffset = 459;
constexpr int TaskRecordSize = 245;

constexpr int WatchdogCheckIntervalOffset = 2419;  // seconds between two checks of the computer
constexpr int WatchdogFailuresOffset = 2420;       // failed checks before the alarm
constexpr int WatchdogPauseMinutesOffset = 2421;   // minutes before another alarm (shown as hours)
constexpr int TrailerOffset = 2504;                // 16-bit value, not interpreted

// Inside an event record.
namespace event {
constexpr int Address = 0;          // 32-bit sensor address
constexpr int MeasureType = 4;      // measure type code; WatchdogMeasureType: the watchdog alarm
constexpr int Threshold = 5;        // signed 32-bit, raw units of the measure type
constexpr int ThresholdType = 9;    // 1 lower, 2 upper, 3 normal above, 4 normal below
constexpr int GraceMinutes = 10;
constexpr int RepeatMinutes = 11;   // at most one alarm per this many minutes
constexpr int TaskOnActivate = 12;
constexpr int TaskOnClose = 13;
constexpr int CloseThreshold = 14;  // signed 16-bit, raw units
constexpr int Enabled = 16;         // 1: enabled
} // namespace event
constexpr int WatchdogMeasureType = 3;

// Inside a task record.
namespace task {
constexpr int Type = 0;             // 0 send an SMS, 1 switch a relay
constexpr int PhoneCount = 4;
constexpr int Phone1 = 5;           // phone k (0-based) at Phone1 + k * PhoneSize
constexpr int PhoneSize = 20;
constexpr int SmsText = 85;
constexpr int SmsTextSize = 160;
} // namespace task

// The watchdog alarm's telephone number and SMS text: task record 0.
constexpr int WatchdogAlarmPhoneOffset = TaskRecordsOffset + task::Phone1;   // 464
constexpr int WatchdogAlarmTextOffset = TaskRecordsOffset + task::SmsText;   // 544

constexpr int EventOffset(int k) { return EventRecordsOffset + k * EventRecordSize; }
constexpr int TaskOffset(int k) { return TaskRecordsOffset + k * TaskRecordSize; }
constexpr int SensorAddressOffset(int n) { return SensorAddressesOffset + n * SensorAddressSize; } // n 0-based

static_assert(EventOffset(EventCount) == TaskRecordsOffset);
static_assert(TaskOffset(TaskCount) == WatchdogCheckIntervalOffset);

// A block of "nothing set": BlockSize bytes of 0xFF.
QByteArray EmptyBlock();

// The block as a readable report, one line per "\r\n"; an empty line separates its
// parts and the events and tasks. A block shorter than BlockSize reads as padded with
// 0xFF.
QString ReportText(const QByteArray& block);

// Texts of single fields as the report writes them.
QString NumberText(qint64 value);                   // "nincs beállítva" for < 0 or 255
QString MeasureTypeText(int code);                  // 3: "WatchDog-riasztás"
QString ThresholdText(qint64 raw, int measureType); // raw / factor, decimal comma
QString ThresholdTypeText(int code);                // "alsó (kódja: 1)"
QString TaskTypeText(int code);
QString StoredText(const QByteArray& bytes);        // zero and 0xFF bytes dropped, trimmed

} // namespace cvx::dsblock
