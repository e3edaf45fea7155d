#pragma once
// Binary parameters of device commands: little-endian integers of 1, 2 or 4 bytes and
// the 6-byte packed time stamp. A "reversed" flag reads or writes the bytes in the
// opposite order (big-endian).

#include <QByteArray>
#include <QDateTime>

namespace cvx {

enum class IntSign { Signed, Unsigned };

// Reads 1, 2 or 4 bytes as an integer: signed 8/16/32-bit, or unsigned 0..255,
// 0..65535 and 32-bit. Three bytes read as a 24-bit integer; of a longer string only
// the first four bytes count (after reversal). An empty string throws
// EmptyParameterError ("Üres paraméterstring.").
qint64 ParamToInt(const QByteArray& param, IntSign sign = IntSign::Signed, bool reversed = false);
// As ParamToInt, but an empty string gives defaultValue.
qint64 ParamToIntDef(const QByteArray& param, qint64 defaultValue, IntSign sign = IntSign::Signed,
                     bool reversed = false);
// Reads the bytes [offset, offset + length) of an answer (0-based; the part beyond the
// end is cut off, as is everything for a negative offset or length). Parameters of an
// answer start at AnswerParamOffset, right after the mnemonic.
qint64 ParamToIntAt(const QByteArray& answer, qsizetype offset, qsizetype length,
                    IntSign sign = IntSign::Signed, bool reversed = false);
qint64 ParamToIntAtDef(const QByteArray& answer, qsizetype offset, qsizetype length, qint64 defaultValue,
                       IntSign sign = IntSign::Signed, bool reversed = false);

// The low 16 / 32 bits of value, lowest byte first (reversed: highest first).
QByteArray IntToParam2(qint64 value, bool reversed = false);
QByteArray IntToParam4(qint64 value, bool reversed = false);

// The packed time stamp, most significant bit first: year 15 bits, month 4, day 5,
// hour 5, minute 6, second 6, hundredths 7. Milliseconds are cut to hundredths. An
// invalid date-time (no time) gives six zero bytes.
QByteArray EncodePackedDateTime(const QDateTime& dt);
// Reads the six bytes at offset (0-based). Fewer than six bytes there, or fields that
// form no valid date and time, give an invalid QDateTime: the value that means no
// time. A second field of 60..63 reads as 0. The result is local time.
QDateTime DecodePackedDateTime(const QByteArray& bytes, qsizetype offset = 0);

} // namespace cvx
