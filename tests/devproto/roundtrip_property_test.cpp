// Property: any text set with SetAsString comes back unchanged from GetAsString after
// Encode, the wire, the receive buffer (in arbitrary chunks, after noise) and Decode.

#include "devproto/instance_codec.h"

#include "shell/shell_state.h"

#include <gtest/gtest.h>

#include <random>

using namespace cvx;

namespace {

constexpr int Iterations = 3000;

// Characters 0..255, the reserved ones more often.
QString byteText(std::mt19937& rng)
{
    static const char16_t reserved[] = {u',', u'#', u'*', u'@', u'"', u'\n', u'\0', u'=', u' '};
    QString s;
    const int n = int(rng() % 120);
    for (int i = 0; i < n; ++i)
        s += rng() % 4 == 0 ? QChar(reserved[rng() % std::size(reserved)]) : QChar(char16_t(rng() % 256));
    return s;
}

// Any Unicode scalar value, supplementary planes included (as surrogate pairs).
QString unicodeText(std::mt19937& rng)
{
    QString s;
    const int n = int(rng() % 80);
    for (int i = 0; i < n; ++i) {
        char32_t cp;
        switch (rng() % 4) {
        case 0: cp = rng() % 0x80; break;
        case 1: cp = rng() % 0x800; break;
        case 2: cp = rng() % 0x10000; break;
        default: cp = 0x10000 + rng() % 0x100000; break;
        }
        if (cp >= 0xD800 && cp <= 0xDFFF)
            cp = u'@';
        s += QString::fromUcs4(&cp, 1);
    }
    return s;
}

// Noise that holds no "#": it is dropped with the message it precedes.
QByteArray noise(std::mt19937& rng)
{
    QByteArray out;
    const int n = int(rng() % 20);
    for (int i = 0; i < n; ++i) {
        char c = char(rng() % 256);
        out.append(c == '#' ? 'n' : c);
    }
    return out;
}

class RoundTripProperty : public ::testing::TestWithParam<bool> {
protected:
    void TearDown() override { resetShellState(); }
};

} // namespace

TEST_P(RoundTripProperty, EveryByteValueInOneText)
{
    shellState().DevHub_kliens = GetParam();
    QString all;
    for (int c = 0; c < 256; ++c)
        all += QChar(char16_t(c));
    TCorvaluxProtocol sender;
    sender.FieldByName("value").SetAsString(all);
    TCorvaluxProtocol receiver;
    receiver.AppendReceived(sender.EncodeWire(0));
    ASSERT_EQ(receiver.Decode(receiver.ExtractReceived()), 0);
    EXPECT_EQ(receiver.PckType, 0);
    EXPECT_EQ(receiver.FieldByName("value").GetAsString(), all);
}

TEST_P(RoundTripProperty, RandomTextsThroughTheWireInRandomChunks)
{
    shellState().DevHub_kliens = GetParam();
    std::mt19937 rng(GetParam() ? 4711 : 1848);
    TCorvaluxProtocol sender;
    TCorvaluxProtocol receiver;
    for (int i = 0; i < Iterations; ++i) {
        const QString a = byteText(rng);
        const QString b = unicodeText(rng);
        const int type = int(rng() % 128);
        sender.Clear();
        sender.FieldByName("a").SetAsString(a);
        sender.FieldByName("UtolsoMeresErtek").SetAsString(b);
        const QByteArray wire = noise(rng) + sender.EncodeWire(type);

        // Whole text, no buffer.
        TCorvaluxProtocol direct;
        ASSERT_EQ(direct.Decode(sender.Text), 0);
        ASSERT_EQ(direct.FieldByName("a").GetAsString(), a) << "iteration " << i;

        // Through the receive buffer in chunks of random size.
        QStringList packets;
        for (qsizetype at = 0; at < wire.size();) {
            const qsizetype len = 1 + qsizetype(rng() % 40);
            receiver.AppendReceived(wire.mid(at, len));
            at += len;
            for (QString p = receiver.ExtractReceived(); !p.isEmpty(); p = receiver.ExtractReceived())
                packets << p;
        }
        ASSERT_EQ(packets.size(), 1) << "iteration " << i;
        ASSERT_EQ(receiver.Decode(packets.first()), 0) << "iteration " << i;
        ASSERT_EQ(receiver.PckType, type);
        ASSERT_EQ(receiver.FieldByName("a").GetAsString(), a) << "iteration " << i;
        ASSERT_EQ(receiver.FieldByName("UtolsoMeresErtek").GetAsString(), b) << "iteration " << i;
        ASSERT_EQ(receiver.PendingBytes(), 0);
    }
    EXPECT_EQ(receiver.DiscardedBytes(), 0);
}

TEST_P(RoundTripProperty, RandomTextsThroughATextBuffer)
{
    shellState().DevHub_kliens = GetParam();
    std::mt19937 rng(GetParam() ? 99 : 100);
    TCorvaluxProtocol sender;
    TCorvaluxProtocol receiver;
    QString buffer;
    for (int i = 0; i < Iterations; ++i) {
        const QString a = rng() % 2 ? byteText(rng) : unicodeText(rng);
        sender.Clear();
        sender.FieldByName("value").SetAsString(a);
        buffer += sender.Encode(1);
        const QString packet = receiver.ExtractPacket(buffer);
        ASSERT_TRUE(buffer.isEmpty());
        ASSERT_EQ(receiver.Decode(packet), 0);
        ASSERT_EQ(receiver.FieldByName("value").GetAsString(), a) << "iteration " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(DevHub, RoundTripProperty, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "DevHubOn" : "DevHubOff"; });
