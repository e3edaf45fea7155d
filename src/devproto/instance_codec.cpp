#include "instance_codec.h"

#include "shell/shell_state.h"

#include <QByteArrayView>
#include <QStringDecoder>

#include <algorithm>
#include <climits>

namespace cvx {

namespace {

template <typename Buffer>
qsizetype lastIndexIn(const Buffer& buffer, qsizetype from, qsizetype to, QChar c)
{
    for (qsizetype i = to; i >= from; --i)
        if (buffer[i] == c)
            return i;
    return -1;
}

qsizetype lastIndexIn(const QByteArray& buffer, qsizetype from, qsizetype to, char c)
{
    if (to < from)
        return -1;
    const qsizetype i = QByteArrayView(buffer.constData() + from, to - from + 1).lastIndexOf(c);
    return i < 0 ? -1 : from + i;
}

} // namespace

TNewDravoProtocol::TNewDravoProtocol(QChar startChar, QChar endChar)
    : start_(startChar), end_(endChar)
{
    if (startChar.unicode() > 127 || endChar.unicode() > 127 || startChar == endChar || startChar == EscapeChar
        || endChar == EscapeChar)
        throw DevProtoError(QStringLiteral("TNewDravoProtocol: framing characters must be distinct ASCII characters"));
}

template <typename Buffer>
Buffer TNewDravoProtocol::extract(Buffer& buffer) const
{
    const qsizetype end = buffer.indexOf(end_);
    if (end < 0)
        return {};
    Buffer piece = buffer.left(end + 1);
    buffer.remove(0, end + 1);
    const qsizetype start = lastIndexIn(piece, 0, piece.size() - 1, start_);
    return start > 0 ? piece.mid(start) : piece;
}

QString TNewDravoProtocol::ExtractPacket(QString& buffer) const { return extract(buffer); }

QByteArray TNewDravoProtocol::ExtractPacket(QByteArray& buffer) const
{
    // Framing characters are ASCII, so in UTF-8 they are single bytes that never occur
    // inside the encoding of another character.
    const char start = char(start_.unicode());
    const char end = char(end_.unicode());
    const qsizetype e = buffer.indexOf(end);
    if (e < 0)
        return {};
    QByteArray piece = buffer.left(e + 1);
    buffer.remove(0, e + 1);
    const qsizetype s = lastIndexIn(piece, 0, piece.size() - 1, start);
    return s > 0 ? piece.mid(s) : piece;
}

qsizetype TNewDravoProtocol::AppendReceived(const QByteArray& bytes)
{
    rx_.append(bytes);
    if (rx_.size() - rxPos_ <= MaxPendingBytes)
        return 0;
    // Complete messages waiting to be extracted do not count, only the unfinished one.
    const qsizetype lastEnd = lastIndexIn(rx_, rxPos_, rx_.size() - 1, char(end_.unicode()));
    const qsizetype tailStart = lastEnd < 0 ? rxPos_ : lastEnd + 1;
    if (rx_.size() - tailStart <= MaxPendingBytes)
        return 0;
    // What precedes the tail's last StartChar would be dropped as noise on extraction
    // anyway; an unfinished message longer than the cap is no message of ours.
    const qsizetype lastStart = lastIndexIn(rx_, tailStart, rx_.size() - 1, char(start_.unicode()));
    const qsizetype keepFrom =
        (lastStart >= 0 && rx_.size() - lastStart <= MaxPendingBytes) ? lastStart : rx_.size();
    const qsizetype dropped = keepFrom - tailStart;
    rx_.remove(tailStart, dropped);
    scanned_ = std::min(scanned_, tailStart);
    discarded_ += dropped;
    compact();
    return dropped;
}

QString TNewDravoProtocol::ExtractReceived()
{
    const qsizetype from = std::max(rxPos_, scanned_);
    const qsizetype end = rx_.indexOf(char(end_.unicode()), from);
    if (end < 0) {
        scanned_ = rx_.size();
        return {};
    }
    const qsizetype start = lastIndexIn(rx_, rxPos_, end, char(start_.unicode()));
    const qsizetype first = start >= 0 ? start : rxPos_;
    const QByteArray packet = rx_.mid(first, end + 1 - first);
    rxPos_ = end + 1;
    scanned_ = rxPos_;
    compact();
    return WireText(packet);
}

void TNewDravoProtocol::compact()
{
    // Extraction advances a read position; the buffer moves only now and then, so a
    // burst of many messages costs linear time.
    if (rxPos_ == rx_.size()) {
        rx_.resize(0);
        rxPos_ = scanned_ = 0;
    } else if (rxPos_ > 4096 && rxPos_ > rx_.size() / 2) {
        rx_.remove(0, rxPos_);
        scanned_ = std::max<qsizetype>(0, scanned_ - rxPos_);
        rxPos_ = 0;
    }
}

void TNewDravoProtocol::ClearReceived()
{
    rx_.clear();
    rxPos_ = scanned_ = 0;
}

QString TNewDravoProtocol::WireText(const QByteArray& bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    QString text = utf8.decode(bytes);
    if (utf8.hasError())
        return QString::fromLatin1(bytes);
    return text;
}

// --- TCorvaluxProtocol ------------------------------------------------------------

TCorvaluxProtocol::TCorvaluxProtocol()
    : TNewDravoProtocol(u'*', u'#')
{
    EscapeSet.set('*');
    EscapeSet.set('#');
}

int TCorvaluxProtocol::Decode(const QString& text)
{
    const qsizetype start = text.indexOf(StartChar());
    const qsizetype end = start < 0 ? -1 : text.indexOf(EndChar(), start + 1);
    if (start >= 0 && end >= 0) {
        Text = text.mid(start, end - start + 1);
        ParseFields(text.mid(start + 1, end - start - 1));
    } else {
        Text = text;
        ParseFields(QString());
    }
    PckType = -1;
    static const QString key = QStringLiteral("PckType");
    if (HasField(key)) {
        bool ok = false;
        const qint64 v = FieldByName(key).GetAsString().toLongLong(&ok, 10);
        if (ok && v >= INT_MIN + DevHubShift && v <= INT_MAX)
            PckType = int(v) - (shellState().DevHub_kliens ? DevHubShift : 0);
    }
    Result = PckType >= 0 ? 0 : 1;
    return Result;
}

QString TCorvaluxProtocol::Encode(int messageType)
{
    PckType = messageType;
    FieldByName(QStringLiteral("PckType")).SetAsInt(messageType % 128 + (shellState().DevHub_kliens ? DevHubShift : 0));
    Text = StartChar() + BuildFields() + EndChar();
    return Text;
}

} // namespace cvx
