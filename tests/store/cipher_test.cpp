// The measurement cipher: keying, the scrambling step, DES-CFB8 checked against the
// OpenSSL command line, Base64 and the 255-byte cut.

#include "store/measure_cipher.h"

#include <QCryptographicHash>
#include <QProcess>

#include <gtest/gtest.h>

#include <deque>

namespace cvx {
namespace {

// Runs the openssl command line with the legacy provider (single DES lives there).
QByteArray opensslEnc(const QStringList& args, const QByteArray& input)
{
    QProcess p;
    QStringList all{QStringLiteral("enc"), QStringLiteral("-provider"), QStringLiteral("legacy"),
                    QStringLiteral("-provider"), QStringLiteral("default")};
    all << args;
    p.start(QStringLiteral("openssl"), all);
    EXPECT_TRUE(p.waitForStarted(10000));
    p.write(input);
    p.closeWriteChannel();
    EXPECT_TRUE(p.waitForFinished(20000));
    EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    return p.readAllStandardOutput();
}

TDESCipher::RandomSource sequence(std::deque<quint8> bytes)
{
    auto q = std::make_shared<std::deque<quint8>>(std::move(bytes));
    return [q]() {
        const quint8 b = q->empty() ? 0 : q->front();
        if (!q->empty())
            q->pop_front();
        return b;
    };
}

TEST(MeasureCipher, KeyIsSha1OfTheWindows1250BytesAndIvIsDesOfZeros)
{
    TDESCipher c(QStringLiteral("jelszó42"));
    ASSERT_TRUE(TDESCipher::Available());
    const QByteArray keyText("jelsz\xf3" "42");
    EXPECT_EQ(ToWindows1250(QStringLiteral("jelszó42")), keyText);
    EXPECT_EQ(c.Key(), QCryptographicHash::hash(keyText, QCryptographicHash::Sha1).left(8));
    const QByteArray iv = opensslEnc({QStringLiteral("-des-ecb"), QStringLiteral("-nopad"), QStringLiteral("-K"),
                                      QString::fromLatin1(c.Key().toHex())},
                                     QByteArray(8, '\0'));
    EXPECT_EQ(c.Iv(), iv);
}

TEST(MeasureCipher, CipherTextIsDesCfb8OfTheScrambledValueAsTheCommandLineComputesIt)
{
    TDESCipher c(QStringLiteral("Titok") + QString::number(123456));
    c.SetRandomSource(sequence({10, 3, 5, 7, 200, 44, 1, 9, 254}));
    const QByteArray plain("2245-\xf5");
    const QByteArray stored = c.EncipherBytes(plain);
    const QByteArray work = TDESCipher::Scramble(plain, sequence({10, 3, 5, 7, 200, 44, 1, 9, 254}));
    ASSERT_EQ(work.size(), 2 * plain.size() + 1);
    const QStringList keyIv{QStringLiteral("-des-cfb8"), QStringLiteral("-K"), QString::fromLatin1(c.Key().toHex()),
                            QStringLiteral("-iv"), QString::fromLatin1(c.Iv().toHex())};
    EXPECT_EQ(stored, opensslEnc(keyIv, work).toBase64());
    // And the command line deciphers what we stored.
    const QByteArray back = opensslEnc(QStringList{QStringLiteral("-d")} + keyIv, QByteArray::fromBase64(stored));
    EXPECT_EQ(back, work);
    EXPECT_EQ(TDESCipher::Unscramble(back), plain);
    bool ok = false;
    EXPECT_EQ(c.DecipherBytes(stored, &ok), plain);
    EXPECT_TRUE(ok);
}

TEST(MeasureCipher, ScramblingPutsTheKeyByteFirstAfterAnEvenByteAndSecondAfterAnOddOne)
{
    // r0 = 10 (even): the first pair is (k, b^k) since position 0 counts as even; the
    // second looks at r0.
    EXPECT_EQ(TDESCipher::Scramble(QByteArray("AB"), sequence({10, 3, 5})),
              QByteArray("\x0a\x03\x42\x05\x47", 5));
    // r0 = 11 (odd): the second pair turns round.
    EXPECT_EQ(TDESCipher::Scramble(QByteArray("AB"), sequence({11, 3, 5})),
              QByteArray("\x0b\x03\x42\x47\x05", 5));
    // The third pair looks at the first key byte (3, odd): 'C' ^ 6 first, then 6.
    EXPECT_EQ(TDESCipher::Scramble(QByteArray("ABC"), sequence({10, 3, 5, 6})),
              QByteArray("\x0a\x03\x42\x05\x47\x45\x06", 7));
    for (const QByteArray& w : {QByteArray("\x0a\x03\x42\x05\x47", 5), QByteArray("\x0b\x03\x42\x47\x05", 5)})
        EXPECT_EQ(TDESCipher::Unscramble(w), QByteArray("AB"));
}

TEST(MeasureCipher, TwoEncipheringsDifferAndBothDecipher)
{
    TDESCipher c(QStringLiteral("jelszó") + QString::number(77));
    const QString a = c.Encipher(QStringLiteral("2245"));
    const QString b = c.Encipher(QStringLiteral("2245"));
    EXPECT_NE(a, b);
    EXPECT_EQ(c.Decipher(a), QStringLiteral("2245"));
    EXPECT_EQ(c.Decipher(b), QStringLiteral("2245"));
    EXPECT_EQ(EncipherMeasureValue(QStringLiteral("jelszó"), 77, QStringLiteral("-15")).size(), 12);
    bool ok = false;
    EXPECT_EQ(DecipherMeasureValue(QStringLiteral("jelszó"), 77, c.Encipher(QStringLiteral("-15")) + QStringLiteral("   "), &ok),
              QStringLiteral("-15"));
    EXPECT_TRUE(ok);
}

TEST(MeasureCipher, AnotherRowsKeyGivesUnrelatedBytes)
{
    const QString stored = EncipherMeasureValue(QStringLiteral("jelszó"), 1001, QStringLiteral("123456789"));
    const QString wrong = DecipherMeasureValue(QStringLiteral("jelszó"), 1002, stored);
    EXPECT_NE(wrong, QStringLiteral("123456789"));
    bool isNumber = false;
    wrong.toLongLong(&isNumber);
    EXPECT_FALSE(isNumber && wrong.size() == 9);
}

TEST(MeasureCipher, TextThatIsNotBase64DoesNotDecipher)
{
    bool ok = true;
    // Two bytes cannot be a work text (always 2n + 1 bytes).
    DecipherMeasureValue(QStringLiteral("jelszó"), 1, QStringLiteral("MjI="), &ok);
    EXPECT_FALSE(ok);
    DecipherMeasureValue(QStringLiteral("jelszó"), 1, QStringLiteral("@@@###"), &ok);
    EXPECT_FALSE(ok);
    DecipherMeasureValue(QStringLiteral("jelszó"), 1, QString(), &ok);
    EXPECT_FALSE(ok);
}

TEST(MeasureCipher, HungarianTextsGoThroughAsWindows1250)
{
    EXPECT_EQ(ToWindows1250(BuiltInPassPhrase()), QByteArray("Z\xf6ldalm\xe1s"));
    TDESCipher c(BuiltInPassPhrase());
    const QString value = QStringLiteral("Árvíztűrő tükörfúrógép");
    EXPECT_EQ(c.Decipher(c.Encipher(value)), value);
}

class StoredLength : public ::testing::TestWithParam<int> {};

TEST_P(StoredLength, WorkTextIs2nPlus1AndTheBase64IsCutAt255)
{
    const int n = GetParam();
    QByteArray plain;
    for (int i = 0; i < n; ++i)
        plain.append(char('0' + i % 10));
    TDESCipher c(QStringLiteral("k"));
    const QByteArray stored = c.EncipherBytes(plain);
    const int full = 4 * ((2 * qMin(n, 255) + 1 + 2) / 3);
    EXPECT_EQ(stored.size(), qMin(full, 255));
    bool ok = false;
    const QByteArray back = c.DecipherBytes(stored, &ok);
    EXPECT_TRUE(ok);
    if (n <= 94) {
        EXPECT_EQ(back, plain) << "stored whole";
    } else {
        // 255 Base64 characters carry 191 bytes: the random byte and 95 pairs.
        EXPECT_EQ(back, plain.left(95));
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, StoredLength, ::testing::Values(0, 1, 2, 5, 20, 94, 95, 96, 200, 300));

} // namespace
} // namespace cvx
