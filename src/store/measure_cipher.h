#pragma once
// The cipher of stored measurement values and of the database password: DES in 8-bit
// cipher feedback, keyed from a text through SHA-1, around a scrambling step that mixes
// random bytes into the value, stored as Base64. Keys and values are Windows-1250
// bytes so databases written by other installations decipher alike.
//
// A cipher object holds only its key; every call starts from the initialisation vector,
// so values are processed independently and objects may live on any thread.

#include <QByteArray>
#include <QString>

#include <functional>

namespace cvx {

class TDESCipher {
public:
    // Random bytes drawn uniformly from 0..254.
    using RandomSource = std::function<quint8()>;

    TDESCipher();
    explicit TDESCipher(const QString& keyText);

    // Key := first 64 bits of SHA-1 of the text's bytes; IV := DES of eight zero bytes.
    void SetKey(const QString& keyText);
    void SetKeyBytes(const QByteArray& keyTextBytes);
    void SetRandomSource(RandomSource source) { random_ = std::move(source); }

    // Scramble, encipher, Base64; at most 255 bytes in and 255 characters out.
    QString Encipher(const QString& plainText) const;
    // Base64-decode, decipher, unscramble. ok is false for text that is not Base64 of
    // a ciphered value (readers treat such a value as missing).
    QString Decipher(const QString& storedText, bool* ok = nullptr) const;

    QByteArray EncipherBytes(const QByteArray& plain) const;
    QByteArray DecipherBytes(const QByteArray& stored, bool* ok = nullptr) const;

    QByteArray Key() const { return key_; }
    QByteArray Iv() const { return iv_; }
    bool HasKey() const { return key_.size() == 8; }

    // The scrambling step and its inverse, on their own.
    static QByteArray Scramble(const QByteArray& plain, const RandomSource& random);
    static QByteArray Unscramble(const QByteArray& work);
    // DES-CFB8 from the IV, both directions.
    QByteArray CfbEncrypt(const QByteArray& data) const;
    QByteArray CfbDecrypt(const QByteArray& data) const;

    // False (with the reason) when the DES implementation cannot be loaded.
    static bool Available(QString* reason = nullptr);

private:
    QByteArray key_;
    QByteArray iv_;
    RandomSource random_;
};

// The built-in pass phrase that enciphers the database password ("DBPasswd").
QString BuiltInPassPhrase();

QByteArray ToWindows1250(const QString& text);
QString FromWindows1250(const QByteArray& bytes);

// A measurement value under the key database password + decimal Measure_id.
QString EncipherMeasureValue(const QString& dbPassword, qint64 measureId, const QString& value);
// Trailing blanks of the stored text are removed first. ok false: treat as missing.
QString DecipherMeasureValue(const QString& dbPassword, qint64 measureId, const QString& storedText,
                             bool* ok = nullptr);

} // namespace cvx
