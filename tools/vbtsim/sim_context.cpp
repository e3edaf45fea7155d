#include "sim_context.h"

#include <QStringDecoder>
#include <QStringEncoder>

namespace cvx::vbtsim {

QByteArray toDeviceText(const QString& text)
{
    QStringEncoder enc("windows-1250");
    if (!enc.isValid())
        return text.toLatin1();
    return enc.encode(text);
}

QString fromDeviceText(const QByteArray& bytes)
{
    QStringDecoder dec("windows-1250");
    if (!dec.isValid())
        return QString::fromLatin1(bytes);
    return dec.decode(bytes);
}

} // namespace cvx::vbtsim
