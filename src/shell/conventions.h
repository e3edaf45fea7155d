#pragma once
// The number and date conventions the process writes with: decimal comma, date
// "YYYY.mm.dd.", time "hh:mm:ss". Readers of device and instance texts accept both
// decimal point and decimal comma.

#include <QDateTime>
#include <QString>

namespace cvx {

constexpr QChar DecimalSeparator = u',';

QString FormatShortDate(const QDate& d);          // "2024.05.21."
QString FormatLongTime(const QTime& t);           // "09:29:07"
QString FormatDateTimeText(const QDateTime& dt);  // short date + " " + long time
// Fixed number of decimals with the decimal comma.
QString FormatDecimal(double value, int decimals);
// Accepts "." or "," as decimal separator and surrounding blanks.
bool ParseDecimal(const QString& text, double* out);

} // namespace cvx
