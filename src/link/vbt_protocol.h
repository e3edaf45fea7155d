#pragma once
// The VBT framer: turns one packet into the bytes of a VBT (short-address) or VBTW
// (wide-address) frame and back, and cuts frames out of a stream of received bytes.
// Synchronous, no input or output; decoding never throws.

#include "link/vbt_types.h"

#include <QByteArray>
#include <QString>

#include <random>

namespace cvx {

class TVBTProtocol {
public:
    // Decode error codes.
    enum : quint16 {
        errOk = 0,
        errChecksum = 1,
        errTooLarge = 2,
        errNoFrame = 3,
        errAddress = 4,
        errSize = 5,
        errTooShort = 6,
    };

    static constexpr char VbtStart = char(0xFD);
    static constexpr char VbtEnd = char(0xFE);
    static constexpr char VbtwStart = char(0xFB);
    static constexpr char VbtwEnd = char(0xFC);
    static constexpr int VbtOverhead = 11;         // header, checksum, delimiters
    static constexpr int VbtwHeaderLength = 14;    // before coding
    static constexpr int MinVbtwFrame = 15;
    static constexpr int MaxVbtCodedPayload = vbt::MaxFrameLength - VbtOverhead; // 2037
    static constexpr int MaxVbtwCodedContent = vbt::MaxFrameLength - 3;           // 2045

    TVBTProtocol();

    // Header of the last packet encoded or decoded.
    quint32 Cimzett = 1;
    quint32 Felado = vbt::PcAddress;
    quint8 Felado_rovid_cim = vbt::PcAddress;
    quint8 CsomagSorszam = 0;
    TInfo Info = nem_kerek_nyugtat;
    bool Enable_ASYER = false;
    bool Disable_bitmatrix = false;
    QByteArray Header_extension;
    TVBTMode VBTMode = PMVBTOnly;

    // Builds one frame from the header properties and the payload, in the form VBTMode
    // selects. Throws VBTError("Data do not fit in VBT packet") above 2048 bytes.
    QByteArray EncodeFrame(const QByteArray& data);
    // Removes the first complete frame, with any garbage in front of it, from the front
    // of buffer; returns it, or an empty array (buffer unchanged) when none is complete.
    QByteArray ExtractFrame(QByteArray& buffer);
    // Checks and decodes one frame, filling the header properties; empty payload on error.
    QByteArray DecodeFrame(const QByteArray& frame);
    static QString ErrorText(int code);

    quint16 ErrorCode() const { return errorCode_; }
    bool LastWasWide() const { return lastWasWide_; }
    const QByteArray& SkippedBytes() const { return skipped_; }
    quint8 Checksum() const { return checksum_; }

    // The single-pass codings and checksums, exposed for tests and benchmarks.
    static QByteArray CodeVbtPayload(const QByteArray& data);      // before zero substitution
    static QByteArray DecodeVbtPayload(const QByteArray& coded);   // after 0x80 -> 0x00
    static QByteArray CodeVbtwContent(const QByteArray& content);
    static QByteArray DecodeVbtwContent(const QByteArray& coded);
    static quint8 VbtChecksum(const char* bytes, int count);
    static quint8 VbtwChecksum(const char* bytes, int count);

    // Reseeds the source of the random serials (tests).
    void seedRandom(quint32 seed) { random_.seed(seed); }

private:
    QByteArray encodeVbt(const QByteArray& data);
    QByteArray encodeVbtw(const QByteArray& data);
    QByteArray decodeVbt(const QByteArray& frame);
    QByteArray decodeVbtw(const QByteArray& frame);
    QByteArray extractForm(QByteArray& buffer, char start, char end);

    quint16 errorCode_ = errOk;
    bool lastWasWide_ = false;
    QByteArray skipped_;
    quint8 checksum_ = 0;
    std::minstd_rand random_;
};

} // namespace cvx
