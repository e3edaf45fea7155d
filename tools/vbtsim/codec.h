#pragma once
// The device end of the VBT and VBTW framing: what a measuring device puts on the line
// and how it cuts frames out of what it hears. Written on its own so that the simulator
// can serve as an independent check of the computer-side framer.

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <optional>

namespace cvx::vbtsim {

enum class FrameForm { Vbt, Vbtw };

// Acknowledgement information of a frame.
enum Info : quint8 {
    InfoNoAck = 0,    // no acknowledgement requested
    InfoWantAck = 1,  // acknowledgement requested
    InfoAck = 2,      // positive acknowledgement
    InfoNack = 3,     // negative acknowledgement
    InfoRepeated = 4, // "I already have this packet" (VBTW only: VBT carries two bits)
};

enum DecodeError : int {
    DecodeOk = 0,
    DecodeBadChecksum = 1,
    DecodeTooLong = 2,
    DecodeNoDelimiter = 3,
    DecodeBadAddress = 4,
    DecodeBadLength = 5,
    DecodeTooShort = 6,
};

constexpr int MaxFrameLength = 2048;
constexpr quint8 VbtStart = 0xFD, VbtEnd = 0xFE, VbtwStart = 0xFB, VbtwEnd = 0xFC;
constexpr quint32 ComputerAddress = 250;
constexpr quint32 BroadcastAddress = 255;

struct Frame {
    FrameForm form = FrameForm::Vbt;
    quint32 addressee = 0;
    quint32 sender = 0;
    quint8 shortSender = 0; // VBTW only; VBT frames carry the sender's low byte
    quint8 info = InfoNoAck;
    quint8 serial = 0;
    bool enableAsyer = false;      // VBTW only
    bool disableBitmatrix = false; // VBTW only
    QByteArray extension;          // VBTW only
    QByteArray payload;
};

// Builds one frame. Returns an empty array when the frame would exceed 2048 bytes.
QByteArray encodeFrame(const Frame& frame);

// Checks and decodes one complete frame (start to end delimiter) of the given form.
DecodeError decodeFrame(const QByteArray& raw, FrameForm form, Frame* out);
// Decodes by the start delimiter: 0xFB is VBTW, anything else VBT.
DecodeError decodeAnyFrame(const QByteArray& raw, Frame* out);

QString decodeErrorText(int code);

// The payload codings, exposed for tests.
QByteArray codeVbtPayload(const QByteArray& data);  // before the 0x00 -> 0x80 substitution
QByteArray decodeVbtPayload(const QByteArray& coded); // coded as it travels (0x80 for zero)
QByteArray codeVbtwContent(const QByteArray& content);
QByteArray decodeVbtwContent(const QByteArray& coded);

struct Extracted {
    QByteArray frame;   // from its start delimiter to its end delimiter (or a whole
                        // delimiter-less piece, which then fails decoding with 3)
    QByteArray skipped; // bytes in front of the frame
};

// Cuts the first complete frame of an accepted form, with the garbage in front of it,
// off the front of buffer. Frames of the two forms cannot contain each other's
// delimiters, so the earliest end delimiter of an accepted form ends the first frame.
std::optional<Extracted> extractFrame(QByteArray& buffer, bool acceptVbt, bool acceptVbtw);

QString hexBytes(const QByteArray& bytes);
// "01 fe A0" or "01FEA0" -> bytes; nullopt when the text is not hexadecimal pairs.
std::optional<QByteArray> parseHexBytes(const QString& text);

} // namespace cvx::vbtsim
