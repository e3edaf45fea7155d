#pragma once
// Texts about devices: the one-line description of a system-information answer
// (ASYSI), the names of device kinds and the status codes of ASYER answers.

#include <QByteArray>
#include <QString>

namespace cvx {

// The one-line text about a device from an ASYSI answer (with or without its
// mnemonic). The record's length decides how much of it is shown. A record of 24
// bytes or fewer gives "Hibás infó: " and its decimal dump, and *ok false.
QString FormatDeviceInfo(const QByteArray& answer, bool* ok = nullptr);

// Display text of a device kind code: 0..15 from the catalogue, 50 "ZoreDuve",
// 51 "Node", any other the number and " (készülékkód)".
QString DeviceKindText(int code);

// Short text of a frame status code as an ASYER answer carries it: 0 "OK" .. 6
// "TUL ROVID", any other "ISMRTLN HIB".
QString VBTStatusText(int code);

} // namespace cvx
