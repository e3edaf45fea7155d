#pragma once
// The line format of the communication log: one line per frame or engine decision,
// with the event text, serial, addresses, the time since the send and the payload.

#include <QByteArray>
#include <QString>

namespace cvx::commlog {

// An address, serial or time that is not given.
constexpr qint64 None = -1;

// Levels of packet lines.
enum Level : int {
    RawBytes = 1,   // "BE:", "KI:", "KHIBA:", "CHUNK:"
    Received = 2,   // outcome texts of received frames
    Decision = 8,   // engine decisions
    Sent = 9,       // frames sent
    Undecodable = 10,
};

// Types of WriteLog messages besides the packet levels.
enum Type : int {
    General = 0,
    Disconnected = 3,
    Connected = 4,
    CommError = 6,
    OpenFailed = 7,
};

// Formats one packet line: the event text right-aligned in 20 columns, the 32-column
// address block ("007.        5 >          T:00035"), the payload's printable form in 10
// columns and its decimal dump; for raw bytes (level 1) a blank address block and the
// bytes themselves after a line break.
QString PacketLine(const QString& text, int level, const QByteArray& data, qint64 sender, qint64 addressee,
                   qint64 serial, qint64 elapsedMs);

} // namespace cvx::commlog
