#pragma once
// The 6-byte packed time stamp of the devices' clocks and records.

#include <QByteArray>
#include <QDateTime>

namespace cvx::vbtsim {

// Year 15 bits, month 4, day 5, hour 5, minute 6, second 6, hundredths 7, most
// significant bit first.
QByteArray encodePackedTime(const QDateTime& t);
// Invalid QDateTime when fewer than 6 bytes are given or the fields form no date-time.
QDateTime decodePackedTime(const QByteArray& bytes, int pos = 0);

} // namespace cvx::vbtsim
