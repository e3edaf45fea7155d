#include "link/vbt_protocol.h"

#include <QRandomGenerator>

namespace cvx {

namespace {

const char* const kTooLarge = "Data do not fit in VBT packet";

inline quint8 u8(char c) { return static_cast<quint8>(c); }

// Coded size of n bytes in groups of 7, each group followed by its flags byte.
inline qsizetype codedSize(qsizetype n) { return n + (n + 6) / 7; }
// Decoded size of n coded bytes (every started group of 8 carries one flags byte).
inline qsizetype decodedSize(qsizetype n) { return n - (n + 7) / 8; }

} // namespace

TVBTProtocol::TVBTProtocol() : random_(QRandomGenerator::global()->generate()) {}

QString TVBTProtocol::ErrorText(int code)
{
    switch (code) {
    case errOk: return QStringLiteral("OK");
    case errChecksum: return QStringLiteral("ROSSZ CHSUM");
    case errTooLarge: return QStringLiteral("TUL NAGY");
    case errNoFrame: return QStringLiteral("NINCS KERET");
    case errAddress: return QStringLiteral("ROSSZ CIM");
    case errSize: return QStringLiteral("ROSSZ MERET");
    case errTooShort: return QStringLiteral("TUL ROVID");
    default: return QStringLiteral("ISMRTLN HIB");
    }
}

// ---- codings -------------------------------------------------------------------------

QByteArray TVBTProtocol::CodeVbtPayload(const QByteArray& data)
{
    const qsizetype n = data.size();
    QByteArray out(codedSize(n), Qt::Uninitialized);
    const char* in = data.constData();
    char* o = out.data();
    for (qsizetype g = 0; g < n; g += 7) {
        const qsizetype k = std::min<qsizetype>(7, n - g);
        quint8 flags = 0;
        for (qsizetype i = 0; i < k; ++i) {
            const quint8 b = u8(in[g + i]);
            if (b == 0) {
                *o++ = char(0x80);
            } else {
                *o++ = char(b & 0x7F);
                if (b & 0x80)
                    flags |= quint8(0x40 >> i);
            }
        }
        *o++ = char(flags == 0 ? 0x80 : flags);
    }
    return out;
}

QByteArray TVBTProtocol::DecodeVbtPayload(const QByteArray& coded)
{
    const qsizetype n = coded.size();
    QByteArray out(decodedSize(n), Qt::Uninitialized);
    const char* in = coded.constData();
    char* o = out.data();
    for (qsizetype g = 0; g < n; g += 8) {
        const qsizetype k = std::min<qsizetype>(8, n - g) - 1;
        const quint8 flagsRaw = u8(in[g + k]);
        const quint8 flags = flagsRaw == 0x80 ? 0 : flagsRaw;
        for (qsizetype i = 0; i < k; ++i) {
            const quint8 c = u8(in[g + i]);
            const quint8 b = c == 0x80 ? 0 : c;
            *o++ = char(((flags << (i + 1)) & 0x80) | b);
        }
    }
    return out;
}

QByteArray TVBTProtocol::CodeVbtwContent(const QByteArray& content)
{
    const qsizetype n = content.size();
    QByteArray out(codedSize(n), Qt::Uninitialized);
    const char* in = content.constData();
    char* o = out.data();
    for (qsizetype g = 0; g < n; g += 7) {
        const qsizetype k = std::min<qsizetype>(7, n - g);
        quint8 flags = 0;
        for (qsizetype i = 0; i < k; ++i) {
            const quint8 b = u8(in[g + i]);
            if (b < 0x20 || b > 0x9F) {
                *o++ = char(b ^ 0x80);
                flags |= quint8(1u << i);
            } else {
                *o++ = char(b);
            }
        }
        *o++ = char(flags < 0x20 ? (flags | 0x80) : flags);
    }
    return out;
}

QByteArray TVBTProtocol::DecodeVbtwContent(const QByteArray& coded)
{
    const qsizetype n = coded.size();
    QByteArray out(decodedSize(n), Qt::Uninitialized);
    const char* in = coded.constData();
    char* o = out.data();
    for (qsizetype g = 0; g < n; g += 8) {
        const qsizetype k = std::min<qsizetype>(8, n - g) - 1;
        const quint8 flags = u8(in[g + k]) & 0x7F;
        for (qsizetype i = 0; i < k; ++i) {
            const quint8 c = u8(in[g + i]);
            *o++ = char((flags & (1u << i)) ? (c ^ 0x80) : c);
        }
    }
    return out;
}

quint8 TVBTProtocol::VbtChecksum(const char* bytes, int count)
{
    unsigned sum = 0;
    for (int i = 0; i < count; ++i)
        sum += u8(bytes[i]);
    sum &= 0xFF;
    if (sum > 250)
        sum -= 128;
    if (sum == 0)
        sum = 128;
    return quint8(sum);
}

quint8 TVBTProtocol::VbtwChecksum(const char* bytes, int count)
{
    unsigned sum = 0;
    for (int i = 0; i < count; ++i)
        sum += u8(bytes[i]);
    sum &= 0xFF;
    if (sum < 0x20)
        sum |= 0x80;
    else if (sum > 0xFA)
        sum &= 0x7F;
    return quint8(sum);
}

// ---- encoding ------------------------------------------------------------------------

QByteArray TVBTProtocol::EncodeFrame(const QByteArray& data)
{
    return (VBTMode == PMVBTOnly || VBTMode == PMDecodeBothEncodeVBT) ? encodeVbt(data) : encodeVbtw(data);
}

QByteArray TVBTProtocol::encodeVbt(const QByteArray& data)
{
    const qsizetype n = codedSize(data.size());
    if (n > MaxVbtCodedPayload)
        throw VBTError(kTooLarge);
    quint8 serial = CsomagSorszam;
    if (serial > 250)
        serial = 1;
    else if (serial == 0)
        serial = quint8(std::uniform_int_distribution<int>(1, 250)(random_));
    CsomagSorszam = serial;
    Felado_rovid_cim = quint8(Felado & 0xFF);

    QByteArray frame(n + VbtOverhead, Qt::Uninitialized);
    char* f = frame.data();
    f[0] = VbtStart;
    f[1] = char(Cimzett & 0xFF);
    f[2] = char(Felado & 0xFF);
    f[3] = char(quint8(Info) | 0x04);
    f[4] = char(serial);
    f[5] = char(n >> 7);
    f[6] = char(n & 0x7F);
    f[7] = 1;
    f[8] = 1;
    const QByteArray coded = CodeVbtPayload(data);
    std::memcpy(f + 9, coded.constData(), size_t(n));
    for (qsizetype i = 1; i <= 8 + n; ++i)
        if (f[i] == 0)
            f[i] = char(0x80);
    checksum_ = VbtChecksum(f + 1, int(8 + n));
    f[9 + n] = char(checksum_);
    f[10 + n] = VbtEnd;
    lastWasWide_ = false;
    return frame;
}

QByteArray TVBTProtocol::encodeVbtw(const QByteArray& data)
{
    if (Header_extension.size() > 255)
        throw VBTError(kTooLarge);
    const qsizetype contentLength = VbtwHeaderLength + Header_extension.size() + data.size();
    if (codedSize(contentLength) > MaxVbtwCodedContent)
        throw VBTError(kTooLarge);
    if (CsomagSorszam > 250)
        CsomagSorszam = 1;

    QByteArray content(contentLength, Qt::Uninitialized);
    char* c = content.data();
    auto put32 = [](char* p, quint32 v) {
        p[0] = char(v & 0xFF);
        p[1] = char((v >> 8) & 0xFF);
        p[2] = char((v >> 16) & 0xFF);
        p[3] = char((v >> 24) & 0xFF);
    };
    put32(c, Cimzett);
    put32(c + 4, Felado);
    c[8] = char(Felado_rovid_cim);
    quint8 flags = quint8(Info) & 0x07;
    if (Enable_ASYER)
        flags |= 0x40;
    if (Disable_bitmatrix)
        flags |= 0x10;
    c[9] = char(flags);
    c[10] = char(CsomagSorszam);
    c[11] = char(Header_extension.size());
    c[12] = char(data.size() & 0xFF);
    c[13] = char((data.size() >> 8) & 0xFF);
    std::memcpy(c + VbtwHeaderLength, Header_extension.constData(), size_t(Header_extension.size()));
    std::memcpy(c + VbtwHeaderLength + Header_extension.size(), data.constData(), size_t(data.size()));

    const QByteArray coded = CodeVbtwContent(content);
    QByteArray frame(coded.size() + 3, Qt::Uninitialized);
    char* f = frame.data();
    f[0] = VbtwStart;
    std::memcpy(f + 1, coded.constData(), size_t(coded.size()));
    checksum_ = VbtwChecksum(coded.constData(), int(coded.size()));
    f[1 + coded.size()] = char(checksum_);
    f[2 + coded.size()] = VbtwEnd;
    lastWasWide_ = true;
    return frame;
}

// ---- extraction ----------------------------------------------------------------------

QByteArray TVBTProtocol::extractForm(QByteArray& buffer, char start, char end)
{
    const qsizetype endAt = buffer.indexOf(end);
    if (endAt < 0) {
        skipped_.clear();
        return QByteArray();
    }
    const qsizetype startAt = QByteArrayView(buffer.constData(), endAt + 1).lastIndexOf(start);
    QByteArray frame;
    if (startAt < 0) {
        skipped_.clear();
        frame = buffer.left(endAt + 1);
    } else {
        skipped_ = buffer.left(startAt);
        frame = buffer.mid(startAt, endAt + 1 - startAt);
    }
    buffer.remove(0, endAt + 1);
    return frame;
}

QByteArray TVBTProtocol::ExtractFrame(QByteArray& buffer)
{
    switch (VBTMode) {
    case PMVBTOnly:
        return extractForm(buffer, VbtStart, VbtEnd);
    case PMVBTWOnly:
        return extractForm(buffer, VbtwStart, VbtwEnd);
    default: {
        QByteArray frame = extractForm(buffer, VbtStart, VbtEnd);
        if (frame.isEmpty())
            frame = extractForm(buffer, VbtwStart, VbtwEnd);
        return frame;
    }
    }
}

// ---- decoding ------------------------------------------------------------------------

QByteArray TVBTProtocol::DecodeFrame(const QByteArray& frame)
{
    switch (VBTMode) {
    case PMVBTOnly:
        return decodeVbt(frame);
    case PMVBTWOnly:
        return decodeVbtw(frame);
    default: {
        QByteArray data = decodeVbt(frame);
        if (errorCode_ != errOk)
            data = decodeVbtw(frame);
        return data;
    }
    }
}

QByteArray TVBTProtocol::decodeVbt(const QByteArray& frame)
{
    const qsizetype len = frame.size();
    const char* f = frame.constData();
    if (len < VbtOverhead) {
        errorCode_ = errTooShort;
        return QByteArray();
    }
    if (len > vbt::MaxFrameLength) {
        errorCode_ = errTooLarge;
        return QByteArray();
    }
    if (f[0] != VbtStart || f[len - 1] != VbtEnd) {
        errorCode_ = errNoFrame;
        return QByteArray();
    }
    const quint8 addressee = u8(f[1]);
    const quint8 sender = u8(f[2]);
    if ((addressee > 250 && addressee != 255) || sender == 0 || sender > 250) {
        errorCode_ = errAddress;
        return QByteArray();
    }
    const qsizetype n = (qsizetype(u8(f[5]) & 0x7F) << 7) | (u8(f[6]) & 0x7F);
    if (n + VbtOverhead != len) {
        errorCode_ = errSize;
        return QByteArray();
    }
    checksum_ = VbtChecksum(f + 1, int(8 + n));
    if (checksum_ != u8(f[9 + n])) {
        errorCode_ = errChecksum;
        return QByteArray();
    }
    Cimzett = addressee;
    Felado = sender;
    Felado_rovid_cim = sender;
    Info = TInfo(u8(f[3]) & 0x03);
    CsomagSorszam = u8(f[4]);
    lastWasWide_ = false;
    errorCode_ = errOk;
    return DecodeVbtPayload(QByteArray::fromRawData(f + 9, n));
}

QByteArray TVBTProtocol::decodeVbtw(const QByteArray& frame)
{
    const qsizetype len = frame.size();
    const char* f = frame.constData();
    if (len < MinVbtwFrame) {
        errorCode_ = errTooShort;
        return QByteArray();
    }
    if (len > vbt::MaxFrameLength) {
        errorCode_ = errTooLarge;
        return QByteArray();
    }
    if (f[0] != VbtwStart || f[len - 1] != VbtwEnd) {
        errorCode_ = errNoFrame;
        return QByteArray();
    }
    checksum_ = VbtwChecksum(f + 1, int(len - 3));
    if (checksum_ != u8(f[len - 2])) {
        errorCode_ = errChecksum;
        return QByteArray();
    }
    const QByteArray content = DecodeVbtwContent(QByteArray::fromRawData(f + 1, len - 3));
    if (content.size() < VbtwHeaderLength) {
        errorCode_ = errSize;
        return QByteArray();
    }
    const char* c = content.constData();
    auto get32 = [](const char* p) {
        return quint32(u8(p[0])) | (quint32(u8(p[1])) << 8) | (quint32(u8(p[2])) << 16)
            | (quint32(u8(p[3])) << 24);
    };
    Cimzett = get32(c);
    Felado = get32(c + 4);
    Felado_rovid_cim = u8(c[8]);
    CsomagSorszam = u8(c[10]);
    const quint8 flags = u8(c[9]);
    const qsizetype extLength = u8(c[11]);
    const qsizetype dataLength = qsizetype(u8(c[12])) | (qsizetype(u8(c[13])) << 8);
    if (content.size() - VbtwHeaderLength - extLength != dataLength) {
        errorCode_ = errSize;
        return QByteArray();
    }
    Info = TInfo(flags & 0x07);
    Enable_ASYER = (flags & 0x40) != 0;
    Disable_bitmatrix = (flags & 0x10) != 0;
    Header_extension = content.mid(VbtwHeaderLength, extLength);
    QByteArray data = content.mid(VbtwHeaderLength + extLength, dataLength);
    if (!(Felado > 255 || Felado == vbt::PcAddress)) {
        errorCode_ = errAddress;
        return QByteArray();
    }
    lastWasWide_ = true;
    errorCode_ = errOk;
    return data;
}

} // namespace cvx
