#include "store/measure_cipher.h"

#include <QRandomGenerator>
#include <QStringDecoder>
#include <QStringEncoder>

#include <openssl/evp.h>
#include <openssl/provider.h>

#include <memory>

namespace cvx {

namespace {

constexpr int MaxBytes = 255;

// Single DES lives in OpenSSL's legacy provider; it is loaded into a private library
// context so the rest of the process keeps OpenSSL's default configuration.
struct DesLibrary {
    OSSL_LIB_CTX* ctx = nullptr;
    EVP_CIPHER* cfb8 = nullptr;
    EVP_CIPHER* ecb = nullptr;
    EVP_MD* sha1 = nullptr;
    QString error;

    DesLibrary()
    {
        ctx = OSSL_LIB_CTX_new();
        if (!ctx) {
            error = QStringLiteral("OpenSSL library context unavailable");
            return;
        }
        if (!OSSL_PROVIDER_load(ctx, "legacy") || !OSSL_PROVIDER_load(ctx, "default")) {
            error = QStringLiteral("OpenSSL legacy provider (single DES) unavailable");
            return;
        }
        cfb8 = EVP_CIPHER_fetch(ctx, "DES-CFB8", nullptr);
        ecb = EVP_CIPHER_fetch(ctx, "DES-ECB", nullptr);
        sha1 = EVP_MD_fetch(ctx, "SHA1", nullptr);
        if (!cfb8 || !ecb || !sha1)
            error = QStringLiteral("OpenSSL lacks DES-CFB8, DES-ECB or SHA-1");
    }
    bool ok() const { return error.isEmpty(); }
};

const DesLibrary& des()
{
    static const DesLibrary lib;
    return lib;
}

struct CtxDeleter {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};

QByteArray runCipher(const EVP_CIPHER* cipher, const QByteArray& key, const QByteArray& iv, const QByteArray& in,
                     bool encrypt)
{
    std::unique_ptr<EVP_CIPHER_CTX, CtxDeleter> ctx(EVP_CIPHER_CTX_new());
    if (!ctx || key.size() != 8)
        return QByteArray();
    const auto* k = reinterpret_cast<const unsigned char*>(key.constData());
    const auto* v = iv.isEmpty() ? nullptr : reinterpret_cast<const unsigned char*>(iv.constData());
    if (EVP_CipherInit_ex2(ctx.get(), cipher, k, v, encrypt ? 1 : 0, nullptr) != 1)
        return QByteArray();
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    QByteArray out(in.size() + 16, Qt::Uninitialized);
    int len = 0;
    int total = 0;
    if (!in.isEmpty()
        && EVP_CipherUpdate(ctx.get(), reinterpret_cast<unsigned char*>(out.data()), &len,
                            reinterpret_cast<const unsigned char*>(in.constData()), int(in.size()))
               != 1)
        return QByteArray();
    total = len;
    if (EVP_CipherFinal_ex(ctx.get(), reinterpret_cast<unsigned char*>(out.data()) + total, &len) != 1)
        return QByteArray();
    total += len;
    out.truncate(total);
    return out;
}

quint8 defaultRandom() { return quint8(QRandomGenerator::system()->bounded(255)); }

} // namespace

QByteArray ToWindows1250(const QString& text)
{
    QStringEncoder enc("windows-1250");
    if (!enc.isValid())
        return text.toLatin1();
    return enc.encode(text);
}

QString FromWindows1250(const QByteArray& bytes)
{
    QStringDecoder dec("windows-1250");
    if (!dec.isValid())
        return QString::fromLatin1(bytes);
    return dec.decode(bytes);
}

QString BuiltInPassPhrase() { return QStringLiteral("Z\u00f6ldalm\u00e1s"); }

bool TDESCipher::Available(QString* reason)
{
    if (!des().ok() && reason)
        *reason = des().error;
    return des().ok();
}

TDESCipher::TDESCipher() = default;

TDESCipher::TDESCipher(const QString& keyText) { SetKey(keyText); }

void TDESCipher::SetKey(const QString& keyText) { SetKeyBytes(ToWindows1250(keyText)); }

void TDESCipher::SetKeyBytes(const QByteArray& keyTextBytes)
{
    key_.clear();
    iv_.clear();
    if (!des().ok())
        return;
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdLen = 0;
    if (EVP_Digest(keyTextBytes.constData(), size_t(keyTextBytes.size()), md, &mdLen, des().sha1, nullptr) != 1
        || mdLen < 8)
        return;
    key_ = QByteArray(reinterpret_cast<const char*>(md), 8);
    iv_ = runCipher(des().ecb, key_, QByteArray(), QByteArray(8, '\0'), true);
    if (iv_.size() != 8) {
        key_.clear();
        iv_.clear();
    }
}

QByteArray TDESCipher::Scramble(const QByteArray& plain, const RandomSource& random)
{
    const RandomSource& rnd = random ? random : RandomSource(defaultRandom);
    QByteArray w;
    w.reserve(2 * plain.size() + 1);
    w.append(char(rnd()));
    for (int i = 1; i <= plain.size(); ++i) {
        const quint8 b = quint8(plain[i - 1]);
        const quint8 k = rnd();
        // The byte at position i - 1 of the work text (1-based; position 0 is even).
        const bool even = i == 1 || (quint8(w[i - 2]) % 2) == 0;
        if (even) {
            w.append(char(k));
            w.append(char(b ^ k));
        } else {
            w.append(char(b ^ k));
            w.append(char(k));
        }
    }
    return w;
}

QByteArray TDESCipher::Unscramble(const QByteArray& work)
{
    QByteArray out;
    if (work.isEmpty())
        return out;
    out.reserve(work.size() / 2);
    for (int p = 1; p + 1 < work.size(); p += 2)
        out.append(char(quint8(work[p]) ^ quint8(work[p + 1])));
    return out;
}

QByteArray TDESCipher::CfbEncrypt(const QByteArray& data) const
{
    return HasKey() ? runCipher(des().cfb8, key_, iv_, data, true) : QByteArray();
}

QByteArray TDESCipher::CfbDecrypt(const QByteArray& data) const
{
    return HasKey() ? runCipher(des().cfb8, key_, iv_, data, false) : QByteArray();
}

QByteArray TDESCipher::EncipherBytes(const QByteArray& plain) const
{
    if (!HasKey())
        return QByteArray();
    const QByteArray work = Scramble(plain.left(MaxBytes), random_);
    return CfbEncrypt(work).toBase64().left(MaxBytes);
}

QByteArray TDESCipher::DecipherBytes(const QByteArray& stored, bool* ok) const
{
    if (ok)
        *ok = false;
    if (!HasKey())
        return QByteArray();
    const auto decoded = QByteArray::fromBase64Encoding(stored, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.isEmpty())
        return QByteArray();
    const QByteArray work = CfbDecrypt(*decoded).left(MaxBytes);
    // A work text has a random byte and whole pairs.
    if (work.isEmpty() || work.size() % 2 == 0)
        return QByteArray();
    if (ok)
        *ok = true;
    return Unscramble(work);
}

QString TDESCipher::Encipher(const QString& plainText) const
{
    return QString::fromLatin1(EncipherBytes(ToWindows1250(plainText)));
}

QString TDESCipher::Decipher(const QString& storedText, bool* ok) const
{
    return FromWindows1250(DecipherBytes(storedText.toLatin1(), ok));
}

QString EncipherMeasureValue(const QString& dbPassword, qint64 measureId, const QString& value)
{
    return TDESCipher(dbPassword + QString::number(measureId)).Encipher(value);
}

QString DecipherMeasureValue(const QString& dbPassword, qint64 measureId, const QString& storedText, bool* ok)
{
    QString t = storedText;
    while (!t.isEmpty() && t.back().isSpace())
        t.chop(1);
    return TDESCipher(dbPassword + QString::number(measureId)).Decipher(t, ok);
}

} // namespace cvx
