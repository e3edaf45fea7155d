#pragma once
// Reads one object of the scenario file with the path of every value at hand, so that a
// mistake is reported as "interfaces[0].devices[2].address: must be 1..250". Keys that
// nobody read are reported as unknown: a misspelt key is an error, not a silent default.

#include <QJsonArray>
#include <QJsonObject>
#include <QSet>
#include <QString>

#include <optional>
#include <stdexcept>

namespace cvx::vbtsim {

class ScenarioError : public std::runtime_error {
public:
    explicit ScenarioError(const QString& text) : std::runtime_error(text.toStdString()) {}
    QString text() const { return QString::fromStdString(what()); }
};

class JsonReader {
public:
    JsonReader(QJsonObject object, QString path);

    const QString& path() const { return path_; }
    bool has(const char* key) const;
    QJsonValue value(const char* key);

    int integer(const char* key, int def, int min, int max);
    qint64 integer64(const char* key, qint64 def, qint64 min, qint64 max);
    // A number or a text such as "0x10005".
    quint32 address(const char* key, std::optional<quint32> def, quint32 min, quint32 max);
    double number(const char* key, double def);
    QString string(const char* key, const QString& def);
    bool boolean(const char* key, bool def);
    QJsonObject object(const char* key);
    QJsonArray array(const char* key);
    JsonReader child(const char* key);
    JsonReader element(const QJsonArray& array, int index, const char* arrayKey) const;
    QString at(const char* key) const
    {
        return path_.isEmpty() ? QString::fromLatin1(key) : path_ + QLatin1Char('.') + QLatin1String(key);
    }

    [[noreturn]] void fail(const char* key, const QString& message) const;
    [[noreturn]] void fail(const QString& message) const;
    // Throws for every key that was not read.
    void finish() const;

private:
    QJsonObject object_;
    QString path_;
    QSet<QString> used_;
};

} // namespace cvx::vbtsim
