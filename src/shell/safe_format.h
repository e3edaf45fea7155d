#pragma once
// Printf-style formatting of catalogue texts ("%s", "%d", "%.3d", "%6u", "%30.30s",
// "%.2f" ...). A translated text that does not fit its arguments must never break the
// program: SafeFormat reports it once in the log and returns the format unchanged.

#include <QString>
#include <QVariant>
#include <QVariantList>

#include <optional>

namespace cvx {

// Formats or returns nullopt when the format does not fit the arguments (too few
// arguments, a number conversion given text, an unknown conversion).
std::optional<QString> FormatChecked(const QString& format, const QVariantList& args);

QString SafeFormatV(const QString& format, const QVariantList& args);

inline QVariant fmtArg(const QString& s) { return QVariant(s); }
inline QVariant fmtArg(const char* s) { return QVariant(QString::fromUtf8(s)); }
inline QVariant fmtArg(QLatin1String s) { return QVariant(QString(s)); }
inline QVariant fmtArg(const QByteArray& s) { return QVariant(QString::fromUtf8(s)); }
inline QVariant fmtArg(int v) { return QVariant(v); }
inline QVariant fmtArg(unsigned v) { return QVariant(v); }
inline QVariant fmtArg(long v) { return QVariant(qint64(v)); }
inline QVariant fmtArg(unsigned long v) { return QVariant(quint64(v)); }
inline QVariant fmtArg(long long v) { return QVariant(qint64(v)); }
inline QVariant fmtArg(unsigned long long v) { return QVariant(quint64(v)); }
inline QVariant fmtArg(double v) { return QVariant(v); }
inline QVariant fmtArg(const QVariant& v) { return v; }

template <typename... Args>
QString SafeFormat(const QString& format, const Args&... args)
{
    return SafeFormatV(format, QVariantList{fmtArg(args)...});
}

} // namespace cvx
