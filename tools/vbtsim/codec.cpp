#include "codec.h"

#include <QRegularExpression>

namespace cvx::vbtsim {

namespace {

quint8 byteAt(const QByteArray& a, int i) { return static_cast<quint8>(a.at(i)); }

void putLe(QByteArray& out, quint32 v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.append(static_cast<char>((v >> (8 * i)) & 0xFF));
}

quint32 getLe(const QByteArray& a, int pos, int bytes)
{
    quint32 v = 0;
    for (int i = 0; i < bytes; ++i)
        v |= quint32(byteAt(a, pos + i)) << (8 * i);
    return v;
}

quint8 vbtChecksum(const QByteArray& frame, int from, int to)
{
    unsigned sum = 0;
    for (int i = from; i <= to; ++i)
        sum += byteAt(frame, i);
    sum &= 0xFF;
    if (sum > 250)
        sum -= 128;
    if (sum == 0)
        sum = 128;
    return static_cast<quint8>(sum);
}

quint8 vbtwChecksum(const QByteArray& coded)
{
    unsigned sum = 0;
    for (char c : coded)
        sum += static_cast<quint8>(c);
    sum &= 0xFF;
    if (sum < 0x20)
        sum |= 0x80;
    else if (sum > 0xFA)
        sum &= 0x7F;
    return static_cast<quint8>(sum);
}

QByteArray encodeVbt(const Frame& f)
{
    const QByteArray coded = codeVbtPayload(f.payload);
    if (coded.size() > MaxFrameLength - 11)
        return {};
    QByteArray out;
    out.reserve(coded.size() + 11);
    out.append(char(VbtStart));
    out.append(char(f.addressee & 0xFF));
    out.append(char(f.sender & 0xFF));
    out.append(char((f.info | 0x04) & 0xFF));
    out.append(char(f.serial));
    out.append(char((coded.size() >> 7) & 0xFF));
    out.append(char(coded.size() & 0x7F));
    out.append(char(1));
    out.append(char(1));
    out.append(coded);
    for (int i = 1; i < out.size(); ++i)
        if (out.at(i) == 0)
            out[i] = char(0x80);
    out.append(char(vbtChecksum(out, 1, out.size() - 1)));
    out.append(char(VbtEnd));
    return out;
}

QByteArray encodeVbtw(const Frame& f)
{
    if (f.extension.size() > 255 || f.payload.size() > 0xFFFF)
        return {};
    QByteArray content;
    putLe(content, f.addressee, 4);
    putLe(content, f.sender, 4);
    content.append(char(f.shortSender));
    quint8 flags = f.info & 0x07;
    if (f.enableAsyer)
        flags |= 0x40;
    if (f.disableBitmatrix)
        flags |= 0x10;
    content.append(char(flags));
    content.append(char(f.serial));
    content.append(char(f.extension.size()));
    putLe(content, quint32(f.payload.size()), 2);
    content.append(f.extension);
    content.append(f.payload);
    const QByteArray coded = codeVbtwContent(content);
    if (coded.size() > MaxFrameLength - 3)
        return {};
    QByteArray out;
    out.reserve(coded.size() + 3);
    out.append(char(VbtwStart));
    out.append(coded);
    out.append(char(vbtwChecksum(coded)));
    out.append(char(VbtwEnd));
    return out;
}

DecodeError decodeVbt(const QByteArray& raw, Frame* out)
{
    const int n = raw.size();
    if (n < 11)
        return DecodeTooShort;
    if (n > MaxFrameLength)
        return DecodeTooLong;
    if (byteAt(raw, 0) != VbtStart || byteAt(raw, n - 1) != VbtEnd)
        return DecodeNoDelimiter;
    const quint8 addressee = byteAt(raw, 1);
    const quint8 sender = byteAt(raw, 2);
    if ((addressee > 250 && addressee != 255) || sender == 0 || sender > 250)
        return DecodeBadAddress;
    const int length = ((byteAt(raw, 5) & 0x7F) << 7) | (byteAt(raw, 6) & 0x7F);
    if (length + 11 != n)
        return DecodeBadLength;
    if (vbtChecksum(raw, 1, n - 3) != byteAt(raw, n - 2))
        return DecodeBadChecksum;
    Frame f;
    f.form = FrameForm::Vbt;
    f.addressee = addressee;
    f.sender = sender;
    f.shortSender = sender;
    f.info = byteAt(raw, 3) & 0x03;
    f.serial = byteAt(raw, 4);
    f.payload = decodeVbtPayload(raw.mid(9, length));
    *out = f;
    return DecodeOk;
}

DecodeError decodeVbtw(const QByteArray& raw, Frame* out)
{
    const int n = raw.size();
    if (n < 15)
        return DecodeTooShort;
    if (n > MaxFrameLength)
        return DecodeTooLong;
    if (byteAt(raw, 0) != VbtwStart || byteAt(raw, n - 1) != VbtwEnd)
        return DecodeNoDelimiter;
    const QByteArray coded = raw.mid(1, n - 3);
    if (vbtwChecksum(coded) != byteAt(raw, n - 2))
        return DecodeBadChecksum;
    const QByteArray content = decodeVbtwContent(coded);
    if (content.size() < 14)
        return DecodeBadLength;
    Frame f;
    f.form = FrameForm::Vbtw;
    f.addressee = getLe(content, 0, 4);
    f.sender = getLe(content, 4, 4);
    f.shortSender = byteAt(content, 8);
    const quint8 flags = byteAt(content, 9);
    f.serial = byteAt(content, 10);
    const int extLength = byteAt(content, 11);
    const int dataLength = int(getLe(content, 12, 2));
    if (content.size() - 14 - extLength != dataLength)
        return DecodeBadLength;
    f.info = flags & 0x07;
    f.enableAsyer = flags & 0x40;
    f.disableBitmatrix = flags & 0x10;
    f.extension = content.mid(14, extLength);
    f.payload = content.mid(14 + extLength);
    if (f.sender <= 255 && f.sender != ComputerAddress)
        return DecodeBadAddress;
    *out = f;
    return DecodeOk;
}

} // namespace

QByteArray codeVbtPayload(const QByteArray& data)
{
    QByteArray out;
    out.reserve(data.size() + data.size() / 7 + 1);
    for (int g = 0; g < data.size(); g += 7) {
        quint8 flags = 0;
        const int count = qMin(7, int(data.size()) - g);
        for (int i = 0; i < count; ++i) {
            const quint8 b = byteAt(data, g + i);
            if (b == 0) {
                out.append(char(0x80));
                continue;
            }
            out.append(char(b & 0x7F));
            if (b & 0x80)
                flags |= quint8(1u << (6 - i));
        }
        out.append(char(flags == 0 ? 0x80 : flags));
    }
    return out;
}

QByteArray decodeVbtPayload(const QByteArray& codedIn)
{
    QByteArray coded = codedIn;
    for (char& c : coded)
        if (static_cast<quint8>(c) == 0x80)
            c = 0;
    QByteArray out;
    for (int g = 0; g < coded.size(); g += 8) {
        const int groupLength = qMin(8, int(coded.size()) - g);
        const int dataCount = groupLength - 1;
        const quint8 flags = byteAt(coded, g + groupLength - 1);
        for (int i = 0; i < dataCount; ++i) {
            const quint8 top = quint8((flags << (i + 1)) & 0x80);
            out.append(char(top | byteAt(coded, g + i)));
        }
    }
    return out;
}

QByteArray codeVbtwContent(const QByteArray& content)
{
    QByteArray out;
    out.reserve(content.size() + content.size() / 7 + 1);
    for (int g = 0; g < content.size(); g += 7) {
        quint8 flags = 0;
        const int count = qMin(7, int(content.size()) - g);
        for (int i = 0; i < count; ++i) {
            const quint8 b = byteAt(content, g + i);
            if (b < 0x20 || b > 0x9F) {
                out.append(char(b ^ 0x80));
                flags |= quint8(1u << i);
            } else {
                out.append(char(b));
            }
        }
        out.append(char(flags < 0x20 ? (flags | 0x80) : flags));
    }
    return out;
}

QByteArray decodeVbtwContent(const QByteArray& coded)
{
    QByteArray out;
    for (int g = 0; g < coded.size(); g += 8) {
        const int groupLength = qMin(8, int(coded.size()) - g);
        const quint8 flags = byteAt(coded, g + groupLength - 1) & 0x7F;
        for (int i = 0; i < groupLength - 1; ++i) {
            quint8 b = byteAt(coded, g + i);
            if (flags & (1u << i))
                b ^= 0x80;
            out.append(char(b));
        }
    }
    return out;
}

QByteArray encodeFrame(const Frame& frame)
{
    return frame.form == FrameForm::Vbtw ? encodeVbtw(frame) : encodeVbt(frame);
}

DecodeError decodeFrame(const QByteArray& raw, FrameForm form, Frame* out)
{
    return form == FrameForm::Vbtw ? decodeVbtw(raw, out) : decodeVbt(raw, out);
}

DecodeError decodeAnyFrame(const QByteArray& raw, Frame* out)
{
    const bool wide = !raw.isEmpty() && (byteAt(raw, 0) == VbtwStart
                                         || (byteAt(raw, 0) != VbtStart && byteAt(raw, raw.size() - 1) == VbtwEnd));
    return decodeFrame(raw, wide ? FrameForm::Vbtw : FrameForm::Vbt, out);
}

QString decodeErrorText(int code)
{
    switch (code) {
    case DecodeOk: return QStringLiteral("OK");
    case DecodeBadChecksum: return QStringLiteral("ROSSZ CHSUM");
    case DecodeTooLong: return QStringLiteral("TUL NAGY");
    case DecodeNoDelimiter: return QStringLiteral("NINCS KERET");
    case DecodeBadAddress: return QStringLiteral("ROSSZ CIM");
    case DecodeBadLength: return QStringLiteral("ROSSZ MERET");
    case DecodeTooShort: return QStringLiteral("TUL ROVID");
    default: return QStringLiteral("ISMRTLN HIB");
    }
}

std::optional<Extracted> extractFrame(QByteArray& buffer, bool acceptVbt, bool acceptVbtw)
{
    int end = -1;
    for (int i = 0; i < buffer.size(); ++i) {
        const quint8 b = byteAt(buffer, i);
        if ((acceptVbt && b == VbtEnd) || (acceptVbtw && b == VbtwEnd)) {
            end = i;
            break;
        }
    }
    if (end < 0)
        return std::nullopt;
    const char startDelimiter = char(byteAt(buffer, end) == VbtEnd ? VbtStart : VbtwStart);
    const QByteArray piece = buffer.left(end + 1);
    buffer.remove(0, end + 1);
    const int start = int(piece.lastIndexOf(startDelimiter));
    Extracted e;
    if (start < 0) {
        e.frame = piece;
    } else {
        e.skipped = piece.left(start);
        e.frame = piece.mid(start);
    }
    return e;
}

QString hexBytes(const QByteArray& bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

std::optional<QByteArray> parseHexBytes(const QString& text)
{
    QString compact = text;
    compact.remove(QRegularExpression(QStringLiteral("[\\s,:]")));
    if (compact.size() % 2 != 0)
        return std::nullopt;
    static const QRegularExpression hex(QStringLiteral("^[0-9A-Fa-f]*$"));
    if (!hex.match(compact).hasMatch())
        return std::nullopt;
    return QByteArray::fromHex(compact.toLatin1());
}

} // namespace cvx::vbtsim
