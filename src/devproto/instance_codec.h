#pragma once
// Framed field lists: StartChar, the comma text of the fields, EndChar. The instance
// link between a recording master and its clients speaks TCorvaluxProtocol:
// "*" + fields + "#", the message type in the field "PckType".
//
// On the wire the text is UTF-8. A receiving socket appends its bytes with
// AppendReceived and takes complete messages with ExtractReceived; the unfinished
// message at the end of the buffer is capped at MaxPendingBytes, so a peer that never
// sends the end character cannot grow the buffer without bound.

#include "field_list.h"

#include <QByteArray>
#include <QString>

namespace cvx {

class TNewDravoProtocol : public TNewDravoFieldList {
public:
    // Eight times the largest message the instance link sends (a device answer of a
    // full frame, every byte escaped).
    static constexpr qsizetype DefaultMaxPendingBytes = 64 * 1024;

    // The framing characters must be distinct ASCII characters other than the escape
    // character; anything else throws DevProtoError.
    TNewDravoProtocol(QChar startChar, QChar endChar);

    QChar StartChar() const { return start_; }
    QChar EndChar() const { return end_; }

    // Cuts the first message out of a buffer: everything up to the first EndChar
    // leaves the buffer, and of that piece the part from its last StartChar is returned
    // (the whole piece when it has no StartChar). Without an EndChar the result is
    // empty and the buffer stays as it is.
    QString ExtractPacket(QString& buffer) const;
    QByteArray ExtractPacket(QByteArray& buffer) const;

    // The receive buffer of one connection.
    qsizetype MaxPendingBytes = DefaultMaxPendingBytes;
    // Appends received bytes. Returns how many bytes were thrown away because the
    // unfinished message grew beyond MaxPendingBytes (0 normally): noise before its
    // last StartChar first, then the whole unfinished message.
    qsizetype AppendReceived(const QByteArray& bytes);
    // The next complete message as ExtractPacket cuts it, as text; empty when none.
    QString ExtractReceived();
    qsizetype PendingBytes() const { return rx_.size() - rxPos_; }
    qint64 DiscardedBytes() const { return discarded_; }
    void ClearReceived();

    // Text of received wire bytes: UTF-8, or one character per byte when the bytes are
    // not valid UTF-8 (a peer writing a single-byte code page loses nothing).
    static QString WireText(const QByteArray& bytes);

protected:
    bool isReserved(QChar c) const override { return c == start_ || c == end_; }

private:
    template <typename Buffer>
    Buffer extract(Buffer& buffer) const;
    void compact();

    QChar start_;
    QChar end_;
    QByteArray rx_;
    qsizetype rxPos_ = 0;    // bytes before it have been extracted
    qsizetype scanned_ = 0;  // no EndChar in [rxPos_, scanned_)
    qint64 discarded_ = 0;
};

class TCorvaluxProtocol : public TNewDravoProtocol {
public:
    static constexpr int DevHubShift = 50;

    TCorvaluxProtocol();

    // Parses the message between the first "*" and the first "#" after it into this
    // object; PckType is the field "PckType" (lowered by 50 when the configuration
    // value DevHub_kliens is on), -1 when missing or not a number. Returns Result.
    int Decode(const QString& text);
    int DecodeWire(const QByteArray& wire) { return Decode(WireText(wire)); }
    // Sets "PckType" to messageType mod 128 (raised by 50 with DevHub_kliens) and
    // returns "*" + BuildFields() + "#". The fields stay for further sends.
    QString Encode(int messageType);
    QByteArray EncodeWire(int messageType) { return Encode(messageType).toUtf8(); }
};

} // namespace cvx
