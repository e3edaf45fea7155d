#pragma once
// Keyed field lists: named text values that travel as comma text of quoted
// "name=value" pairs. A value is stored escaped, so that the bytes of EscapeSet never
// appear in it: each becomes EscapeChar and its code as three decimal digits ("," is
// "@044"). Typed accessors convert the stored text; a failed conversion throws
// FieldConversionError with the accessor's name, " failed: " and the stored text.

#include "devproto_error.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <bitset>
#include <functional>
#include <memory>
#include <vector>

namespace cvx {

// Character codes 0..255 that are escaped.
using EscapeCodeSet = std::bitset<256>;

// Control bytes 0..31, the double quote, the comma and "@".
EscapeCodeSet DefaultEscapeSet();
constexpr QChar DefaultEscapeChar = u'@';

// Text forms shared by field values.
QString EscapeText(const QString& text, QChar escapeChar, const EscapeCodeSet& set);
QString UnescapeText(const QString& stored, QChar escapeChar);
// Shortest general form with up to 15 significant digits and the decimal comma
// ("12,5", "0,1", "1E20", "-1,5E-7"); non-finite numbers give "NAN", "INF", "-INF".
QString FormatGeneralFloat(double value);

class TNewDravoField {
public:
    // Text of a date-time that means no time (the zero of the day count).
    static const QString NoTimeText;

    explicit TNewDravoField(const QString& name, QChar escapeChar = DefaultEscapeChar,
                            const EscapeCodeSet& escapeSet = DefaultEscapeSet());

    const QString& Name() const { return name_; }
    // The stored, escaped text: what goes on the wire.
    const QString& Value() const { return value_; }

    QChar EscapeChar;
    EscapeCodeSet EscapeSet;
    // Called with the field after every setter.
    std::function<void(TNewDravoField&)> OnChange;

    QString GetAsString() const;
    qint64 GetAsInt() const;
    // "." and "," both read as the decimal separator; non-finite numbers fail.
    double GetAsFloat() const;
    bool GetAsBool() const;
    // "YYYY-MM-DD HH:NN:SS.ZZZ" read by position; a date before 1899-12-30 fails. The
    // text of the day count's zero, 1899-12-30 00:00:00.000, reads as no time (an
    // invalid QDateTime).
    QDateTime GetAsDateTime() const;
    // Standard Base64 with "=" padding.
    QByteArray GetAsBinary() const;
    // A byte string carried one character per byte (codes 0..255): a device answer.
    // Characters above 255 are not bytes and fail as GetAsBytes.
    QByteArray GetAsBytes() const;

    void SetAsString(const QString& text);
    void SetAsInt(qint64 value);
    void SetAsFloat(double value);
    void SetAsBool(bool value);
    // Local date-time as "YYYY-MM-DD HH:NN:SS.ZZZ"; an invalid one writes NoTimeText.
    void SetAsDateTime(const QDateTime& value);
    void SetAsBinary(const QByteArray& bytes);
    void SetAsBytes(const QByteArray& bytes);
    // Stores the text as it is (already escaped: the parser's setter).
    void SetRawValue(const QString& stored);

private:
    void changed();
    [[noreturn]] void fail(const char* accessor) const;

    QString name_;
    QString value_;
};

// Owns its fields, kept sorted by name ignoring letter case, one field per name.
class TNewDravoFieldList {
public:
    TNewDravoFieldList();
    virtual ~TNewDravoFieldList();
    TNewDravoFieldList(const TNewDravoFieldList&) = delete;
    TNewDravoFieldList& operator=(const TNewDravoFieldList&) = delete;

    // The last text parsed or built, for logs.
    QString Text;
    // Message type of the last parsed message, -1 when it had none.
    int PckType = -1;
    // 0 when the last parse gave a message type of 0 or more, else 1.
    int Result = 1;
    // Fields created from now on take these.
    QChar EscapeChar = DefaultEscapeChar;
    EscapeCodeSet EscapeSet = DefaultEscapeSet();

    void Clear();
    bool HasField(const QString& name) const;
    // The field of that name, created empty when missing: a field that a message did
    // not carry reads as "".
    TNewDravoField& FieldByName(const QString& name);
    int Count() const { return int(fields_.size()); }
    // Fields in list order.
    TNewDravoField& Field(int index) { return *fields_.at(size_t(index)); }
    const TNewDravoField& Field(int index) const { return *fields_.at(size_t(index)); }

    // Clear, then every name=value item of the comma text with SetRawValue; a name
    // given twice keeps the later value, an item without "=" has the empty name.
    void ParseFields(const QString& text);
    // "name=value" items, each in double quotes (inner quotes doubled), joined by ",".
    QString BuildFields() const;

protected:
    // Characters that must not appear unescaped in built text (framing); none here.
    virtual bool isReserved(QChar) const { return false; }

private:
    std::vector<std::unique_ptr<TNewDravoField>>::const_iterator find(const QString& name, bool* found) const;
    QString guarded(const QString& text, QChar escapeChar) const;

    std::vector<std::unique_ptr<TNewDravoField>> fields_;
};

} // namespace cvx
