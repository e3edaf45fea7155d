#pragma once
// DOV input: device servers that send telnet-style text lines ("*T0=+021.5C T1=...")
// instead of frames. Each line becomes one or more synthetic AITGD measurement answers.

#include "link/vbt_types.h"

#include <QByteArray>
#include <QList>

namespace cvx {

// A received frame (or DOV line) as it is handed to the link it is for.
struct TOnReadPacketData {
    quint32 Address = 0;      // full sender
    quint8 ShortAddress = 0;  // short sender
    quint32 Addressee = 0;
    QByteArray Data;          // payload
    QByteArray Raw;           // the whole frame, or the DOV line
    TInfo Info = nem_kerek_nyugtat;
    quint8 Serial = 0;        // serial of the frame (automatic answers reuse it)
};

namespace dov {

// The raw value that marks a missing or unreadable value.
constexpr int NoValue = 20000;

// Takes every complete line (up to and including a line feed) from the front of buffer;
// an incomplete last line stays.
QList<QByteArray> TakeLines(QByteArray& buffer);

// The records one line yields (possibly none).
QList<TOnReadPacketData> LineToRecords(const QByteArray& line);

// The text between startMarker and the next endMarker (both found ignoring case): to
// the end of the line without an end marker, empty without a start marker.
QByteArray FieldText(const QByteArray& line, const QByteArray& startMarker, const QByteArray& endMarker);

// A value text as a raw integer: scale 10, 100 or 1000; "-00"/"+00" folded, rounded
// half to even; NoValue for a text that is no number or does not fit in 16 bits.
int ValueFromText(const QByteArray& text, int scale);

} // namespace dov
} // namespace cvx
