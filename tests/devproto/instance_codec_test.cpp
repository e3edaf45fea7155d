#include "devproto/instance_codec.h"

#include "shell/shell_state.h"

#include <gtest/gtest.h>

using namespace cvx;

namespace {

// Restores the process state a test changes (DevHub_kliens).
class CodecTest : public ::testing::Test {
protected:
    void TearDown() override { resetShellState(); }
    void devHub(bool on) { shellState().DevHub_kliens = on; }
};

QString S(const char* utf8) { return QString::fromUtf8(utf8); }

} // namespace

// --- ExtractPacket ----------------------------------------------------------------

template <typename Buffer>
class ExtractPacketTest : public ::testing::Test {
protected:
    static Buffer make(const char* text)
    {
        if constexpr (std::is_same_v<Buffer, QString>)
            return QString::fromUtf8(text);
        else
            return QByteArray(text);
    }
    TCorvaluxProtocol codec;
};

using BufferTypes = ::testing::Types<QString, QByteArray>;
TYPED_TEST_SUITE(ExtractPacketTest, BufferTypes);

TYPED_TEST(ExtractPacketTest, NoiseMessageAndHalfMessage)
{
    TypeParam buffer = this->make("zaj\x01zaj*\"PckType=1\",\"prid=7\"#*\"PckType=2\",\"pr");
    EXPECT_EQ(this->codec.ExtractPacket(buffer), this->make("*\"PckType=1\",\"prid=7\"#"));
    EXPECT_EQ(buffer, this->make("*\"PckType=2\",\"pr"));
    EXPECT_EQ(this->codec.ExtractPacket(buffer), TypeParam());
    EXPECT_EQ(buffer, this->make("*\"PckType=2\",\"pr"));
    buffer += this->make("id=8\"#");
    EXPECT_EQ(this->codec.ExtractPacket(buffer), this->make("*\"PckType=2\",\"prid=8\"#"));
    EXPECT_TRUE(buffer.isEmpty());
}

TYPED_TEST(ExtractPacketTest, TakesTheLastStartBeforeTheEnd)
{
    TypeParam buffer = this->make("*\"PckTy*x*\"PckType=4\"#");
    EXPECT_EQ(this->codec.ExtractPacket(buffer), this->make("*\"PckType=4\"#"));
}

TYPED_TEST(ExtractPacketTest, PieceWithoutStartIsReturnedWhole)
{
    TypeParam buffer = this->make("noise#*\"PckType=4\"#");
    const TypeParam junk = this->codec.ExtractPacket(buffer);
    EXPECT_EQ(junk, this->make("noise#"));
    EXPECT_EQ(this->codec.ExtractPacket(buffer), this->make("*\"PckType=4\"#"));
}

// --- Decode and Encode ------------------------------------------------------------

TEST_F(CodecTest, DecodeReadsTypeAndFields)
{
    TCorvaluxProtocol codec;
    EXPECT_EQ(codec.Decode(S("*\"PckType=5\",\"prid=12\",\"rsta=TRUE\"#")), 0);
    EXPECT_EQ(codec.PckType, 5);
    EXPECT_EQ(codec.Result, 0);
    EXPECT_EQ(codec.FieldByName("prid").GetAsInt(), 12);
    EXPECT_TRUE(codec.FieldByName("rsta").GetAsBool());
    EXPECT_EQ(codec.Text, "*\"PckType=5\",\"prid=12\",\"rsta=TRUE\"#");
}

TEST_F(CodecTest, DecodeReplacesEverythingOfTheLastMessage)
{
    TCorvaluxProtocol codec;
    codec.Decode(S("*\"PckType=5\",\"prid=12\"#"));
    codec.Decode(S("*\"PckType=2\"#"));
    EXPECT_FALSE(codec.HasField("prid"));
    EXPECT_EQ(codec.PckType, 2);
}

class DecodeBadTypeTest : public CodecTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(DecodeBadTypeTest, GivesMinusOneAndResultOneButKeepsTheFields)
{
    TCorvaluxProtocol codec;
    EXPECT_EQ(codec.Decode(QString::fromUtf8(GetParam())), 1);
    EXPECT_EQ(codec.PckType, -1);
    EXPECT_EQ(codec.Result, 1);
    if (QByteArray(GetParam()).contains("prid")) {
        EXPECT_EQ(codec.FieldByName("prid").GetAsInt(), 3);
    }
}

INSTANTIATE_TEST_SUITE_P(Messages, DecodeBadTypeTest,
                         ::testing::Values("*\"PckType=abc\",\"prid=3\"#", "*\"prid=3\"#", "*\"PckType=\",\"prid=3\"#",
                                           "*\"PckType=-1\",\"prid=3\"#", "*\"PckType=99999999999\",\"prid=3\"#",
                                           "no frame at all", "*\"PckType=1\" without end", "#\"PckType=1\"*", ""));

TEST_F(CodecTest, DecodeTakesTheFirstStartAndTheFirstEndAfterIt)
{
    TCorvaluxProtocol codec;
    EXPECT_EQ(codec.Decode(S("x#y*\"PckType=1\",\"a=1\"#*\"PckType=2\",\"b=2\"#")), 0);
    EXPECT_EQ(codec.PckType, 1);
    EXPECT_TRUE(codec.HasField("a"));
    EXPECT_FALSE(codec.HasField("b"));
}

TEST_F(CodecTest, EncodeWritesTheTypeModulo128AndKeepsTheFields)
{
    TCorvaluxProtocol codec;
    codec.FieldByName("prid").SetAsInt(12);
    codec.FieldByName("rsta").SetAsBool(true);
    EXPECT_EQ(codec.Encode(5), "*\"PckType=5\",\"prid=12\",\"rsta=TRUE\"#");
    EXPECT_EQ(codec.Text, "*\"PckType=5\",\"prid=12\",\"rsta=TRUE\"#");
    EXPECT_EQ(codec.PckType, 5);
    EXPECT_EQ(codec.Encode(130), "*\"PckType=2\",\"prid=12\",\"rsta=TRUE\"#");
}

TEST_F(CodecTest, DevHubClientShiftsTheTypeBy50OnTheWire)
{
    devHub(true);
    TCorvaluxProtocol sender;
    const QString text = sender.Encode(3);
    EXPECT_EQ(text, "*\"PckType=53\"#");
    EXPECT_EQ(sender.FieldByName("PckType").GetAsInt(), 53);
    TCorvaluxProtocol receiver;
    EXPECT_EQ(receiver.Decode(text), 0);
    EXPECT_EQ(receiver.PckType, 3);
    // A peer without the setting sends 3, which is no type here.
    EXPECT_EQ(receiver.Decode(S("*\"PckType=3\"#")), 1);
    EXPECT_EQ(receiver.PckType, -47);
    // A missing type stays -1.
    receiver.Decode(S("*\"prid=1\"#"));
    EXPECT_EQ(receiver.PckType, -1);
    devHub(false);
    EXPECT_EQ(receiver.Decode(text), 0);
    EXPECT_EQ(receiver.PckType, 53);
}

TEST_F(CodecTest, ValueWithEveryReservedCharacterComesBackUnchanged)
{
    const QString value = S("a,b#c*d@e\nf\"g");
    TCorvaluxProtocol sender;
    sender.FieldByName("value").SetAsString(value);
    QString wire = sender.Encode(0);
    EXPECT_EQ(wire.count(u'*'), 1);
    EXPECT_EQ(wire.count(u'#'), 1);
    TCorvaluxProtocol receiver;
    const QString packet = receiver.ExtractPacket(wire);
    ASSERT_EQ(receiver.Decode(packet), 0);
    EXPECT_EQ(receiver.FieldByName("value").GetAsString(), value);
}

TEST_F(CodecTest, RawFramingCharactersNeverBreakTheFrame)
{
    // A raw value (or a name) holding "*" or "#" is written escaped, and reads back as
    // the same text.
    TCorvaluxProtocol sender;
    sender.FieldByName("raw").SetRawValue("a*b#c@042");
    sender.FieldByName("od#d").SetAsInt(1);
    QByteArray wire = sender.EncodeWire(0);
    EXPECT_EQ(wire.count('*'), 1);
    EXPECT_EQ(wire.count('#'), 1);
    TCorvaluxProtocol receiver;
    ASSERT_EQ(receiver.DecodeWire(receiver.ExtractPacket(wire)), 0);
    EXPECT_EQ(receiver.FieldByName("raw").GetAsString(), "a*b#c*");
    EXPECT_TRUE(receiver.HasField("od@035d"));
}

TEST_F(CodecTest, FramingCharactersMustBeDistinctAscii)
{
    EXPECT_THROW(TNewDravoProtocol(u'*', u'*'), DevProtoError);
    EXPECT_THROW(TNewDravoProtocol(u'@', u'#'), DevProtoError);
    EXPECT_THROW(TNewDravoProtocol(QChar(0x151), u'#'), DevProtoError);
    TNewDravoProtocol angle(u'<', u'>');
    angle.FieldByName("a").SetAsString("<x>");
    QString text = u'<' + angle.BuildFields() + u'>';
    EXPECT_EQ(angle.ExtractPacket(text), "<\"a=@060x@062\">");
}

// --- the receive buffer -----------------------------------------------------------

TEST_F(CodecTest, MessageSplitAtEveryByteDecodesTheSame)
{
    TCorvaluxProtocol sender;
    const QString value = S("árvíztűrő tükörfúrógép 中文 😀 #*@");
    sender.FieldByName("value").SetAsString(value);
    const QByteArray wire = sender.EncodeWire(0);
    for (int cut = 0; cut <= wire.size(); ++cut) {
        TCorvaluxProtocol receiver;
        receiver.AppendReceived(QByteArray("noise") + wire.left(cut));
        QString packet = receiver.ExtractReceived();
        if (cut < wire.size()) {
            ASSERT_TRUE(packet.isEmpty()) << cut;
            receiver.AppendReceived(wire.mid(cut));
            packet = receiver.ExtractReceived();
        }
        ASSERT_EQ(receiver.Decode(packet), 0) << cut;
        ASSERT_EQ(receiver.FieldByName("value").GetAsString(), value) << cut;
        ASSERT_EQ(receiver.PendingBytes(), 0);
    }
}

TEST_F(CodecTest, BurstOfMessagesComesOutInOrder)
{
    TCorvaluxProtocol sender;
    QByteArray burst;
    for (int i = 0; i < 3000; ++i) {
        sender.FieldByName("CorvaluxID").SetAsInt(i);
        burst += sender.EncodeWire(0);
    }
    TCorvaluxProtocol receiver;
    receiver.MaxPendingBytes = 1000; // complete messages do not count against the cap
    EXPECT_EQ(receiver.AppendReceived(burst + "*\"PckType=1\""), 0);
    for (int i = 0; i < 3000; ++i) {
        const QString packet = receiver.ExtractReceived();
        ASSERT_EQ(receiver.Decode(packet), 0);
        ASSERT_EQ(receiver.FieldByName("CorvaluxID").GetAsInt(), i);
    }
    EXPECT_TRUE(receiver.ExtractReceived().isEmpty());
    EXPECT_EQ(receiver.PendingBytes(), 12);
    EXPECT_EQ(receiver.DiscardedBytes(), 0);
}

TEST_F(CodecTest, EndlessMessageIsCappedAndTheNextOneStillArrives)
{
    TCorvaluxProtocol receiver;
    receiver.MaxPendingBytes = 1000;
    receiver.AppendReceived("*\"value=");
    qsizetype maxPending = 0;
    qint64 discarded = 0;
    const QByteArray chunk(97, 'x');
    for (int i = 0; i < 20000; ++i) { // about 2 MB without "#"
        discarded += receiver.AppendReceived(chunk);
        EXPECT_TRUE(receiver.ExtractReceived().isEmpty());
        maxPending = std::max(maxPending, receiver.PendingBytes());
    }
    EXPECT_LE(maxPending, 1000);
    EXPECT_GT(discarded, 1'900'000);
    EXPECT_EQ(receiver.DiscardedBytes(), discarded);
    // The tail of the endless message ends with the next "#" and decodes as nothing;
    // the message after it is intact.
    receiver.AppendReceived("xx\"#*\"PckType=2\"#");
    EXPECT_EQ(receiver.Decode(receiver.ExtractReceived()), 1);
    EXPECT_EQ(receiver.Decode(receiver.ExtractReceived()), 0);
    EXPECT_EQ(receiver.PckType, 2);
}

TEST_F(CodecTest, NoiseBeforeAStartIsDroppedFirst)
{
    TCorvaluxProtocol receiver;
    receiver.MaxPendingBytes = 1000;
    EXPECT_EQ(receiver.AppendReceived(QByteArray(5000, 'n') + "*\"PckType=1\",\"prid="), 5000);
    EXPECT_EQ(receiver.PendingBytes(), 19);
    receiver.AppendReceived("4\"#");
    EXPECT_EQ(receiver.Decode(receiver.ExtractReceived()), 0);
    EXPECT_EQ(receiver.FieldByName("prid").GetAsInt(), 4);
}

TEST_F(CodecTest, LongMessageUnderTheCapIsKept)
{
    TCorvaluxProtocol sender;
    const QString value(TNewDravoProtocol::DefaultMaxPendingBytes / 4 - 20, u'\x01'); // four characters each escaped
    sender.FieldByName("value").SetAsString(value);
    const QByteArray wire = sender.EncodeWire(0);
    ASSERT_GT(wire.size(), TNewDravoProtocol::DefaultMaxPendingBytes - 100);
    ASSERT_LT(wire.size(), TNewDravoProtocol::DefaultMaxPendingBytes);
    TCorvaluxProtocol receiver;
    for (qsizetype at = 0; at < wire.size(); at += 1000)
        EXPECT_EQ(receiver.AppendReceived(wire.mid(at, 1000)), 0);
    ASSERT_EQ(receiver.Decode(receiver.ExtractReceived()), 0);
    EXPECT_EQ(receiver.FieldByName("value").GetAsString(), value);
}

TEST_F(CodecTest, ClearReceivedForgetsThePartialMessage)
{
    TCorvaluxProtocol receiver;
    receiver.AppendReceived("*\"PckType=1\"");
    receiver.ClearReceived();
    EXPECT_EQ(receiver.PendingBytes(), 0);
    receiver.AppendReceived("#");
    EXPECT_EQ(receiver.Decode(receiver.ExtractReceived()), 1);
}

TEST(WireText, Utf8OrOneCharacterPerByte)
{
    EXPECT_EQ(TNewDravoProtocol::WireText(QByteArray("\xC3\xA1rv\xC3\xADz")), S("árvíz"));
    // Not UTF-8 (a single-byte code page): every byte is kept as a character.
    EXPECT_EQ(TNewDravoProtocol::WireText(QByteArray("\xE1rv\xEDz")), QString::fromLatin1("\xE1rv\xEDz"));
    EXPECT_EQ(TNewDravoProtocol::WireText(QByteArray("\xEF\xBB\xBF*")), QString(QChar(0xFEFF)) + u'*');
}

TEST_F(CodecTest, SingleBytePeerTextLosesNothing)
{
    // A device answer written byte for byte by a peer that does not use UTF-8.
    TCorvaluxProtocol receiver;
    ASSERT_EQ(receiver.DecodeWire(QByteArray("*\"PckType=0\",\"prid=4\",\"value=AITGD\xE9\x80\x01\"#")), 0);
    EXPECT_EQ(receiver.FieldByName("value").GetAsBytes(), QByteArray("AITGD\xE9\x80\x01"));
    // The same answer from one of ours, escaped and in UTF-8.
    TCorvaluxProtocol sender;
    sender.FieldByName("value").SetAsBytes(QByteArray("AITGD\xE9\x80\x01"));
    ASSERT_EQ(receiver.DecodeWire(sender.EncodeWire(0)), 0);
    EXPECT_EQ(receiver.FieldByName("value").GetAsBytes(), QByteArray("AITGD\xE9\x80\x01"));
}
