#pragma once
// Misuse of a device-protocol helper: a typed read of a field that does not hold that
// type, an empty binary parameter, a command parameter out of range. Device
// communication itself never throws; these reach only the code that asked.

#include <QString>

#include <stdexcept>

namespace cvx {

class DevProtoError : public std::runtime_error {
public:
    explicit DevProtoError(const QString& text)
        : std::runtime_error(text.toStdString()), text_(text)
    {
    }
    // The message as the program shows it (what() holds the same text in UTF-8).
    const QString& text() const { return text_; }

private:
    QString text_;
};

// "GetAsInt failed: " and its kind, followed by the stored text of the field.
class FieldConversionError : public DevProtoError {
public:
    using DevProtoError::DevProtoError;
};

// "Üres paraméterstring.": a binary parameter was read from an empty string.
class EmptyParameterError : public DevProtoError {
public:
    EmptyParameterError();
};

} // namespace cvx
