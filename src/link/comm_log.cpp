#include "link/comm_log.h"

#include "link/vbt_types.h"
#include "shell/logs.h"

namespace cvx::commlog {

namespace {

QString zeroPadded(qint64 v, int digits)
{
    QString s = QString::number(v < 0 ? -v : v).rightJustified(digits, u'0');
    return v < 0 ? QStringLiteral("-") + s : s;
}

} // namespace

QString PacketLine(const QString& text, int level, const QByteArray& data, qint64 sender, qint64 addressee,
                   qint64 serial, qint64 elapsedMs)
{
    QString line;
    line.reserve(72 + data.size() * 4);
    line += text.left(20).rightJustified(20, u' ');
    line += u' ';
    if (level == RawBytes) {
        line += QString(32, u' ');
    } else {
        line += serial == None ? QStringLiteral("   ") : zeroPadded(serial, 3);
        line += QStringLiteral(". ");
        const bool blankSender = level == Decision || level == Sent || level == Undecodable || sender == None
            || sender == qint64(vbt::PcAddress);
        line += blankSender ? QString(8, u' ') : QString::number(sender).rightJustified(8, u' ');
        line += QStringLiteral(" > ");
        const bool blankAddressee = level == Undecodable || addressee == None || addressee == qint64(vbt::PcAddress);
        line += blankAddressee ? QString(8, u' ') : QString::number(addressee).rightJustified(8, u' ');
        line += u' ';
        line += elapsedMs == None ? QString(7, u' ') : QStringLiteral("T:") + zeroPadded(elapsedMs, 5);
    }
    line += u' ';
    line += PrintableText(data, true).left(10).leftJustified(10, u' ');
    line += u' ';
    if (level == RawBytes) {
        line += QStringLiteral("\r\n");
        line += QString::fromLatin1(data);
    } else {
        line += DecimalDump(data);
    }
    return line;
}

} // namespace cvx::commlog
