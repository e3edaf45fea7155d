#include "json_reader.h"

#include <QStringList>

#include <cmath>

namespace cvx::vbtsim {

JsonReader::JsonReader(QJsonObject object, QString path) : object_(std::move(object)), path_(std::move(path)) {}

bool JsonReader::has(const char* key) const { return object_.contains(QLatin1String(key)); }

QJsonValue JsonReader::value(const char* key)
{
    used_.insert(QLatin1String(key));
    return object_.value(QLatin1String(key));
}

qint64 JsonReader::integer64(const char* key, qint64 def, qint64 min, qint64 max)
{
    const QJsonValue v = value(key);
    if (v.isUndefined())
        return def;
    const double d = v.toDouble(std::nan(""));
    if (!v.isDouble() || d != std::floor(d) || d < double(min) || d > double(max))
        fail(key, QStringLiteral("must be a whole number from %1 to %2").arg(min).arg(max));
    return qint64(d);
}

int JsonReader::integer(const char* key, int def, int min, int max)
{
    return int(integer64(key, def, min, max));
}

quint32 JsonReader::address(const char* key, std::optional<quint32> def, quint32 min, quint32 max)
{
    const QJsonValue v = value(key);
    if (v.isUndefined()) {
        if (!def)
            fail(key, QStringLiteral("is required"));
        return *def;
    }
    qint64 n = -1;
    if (v.isDouble() && v.toDouble() == std::floor(v.toDouble())) {
        n = qint64(v.toDouble());
    } else if (v.isString()) {
        bool ok = false;
        const qulonglong u = v.toString().trimmed().toULongLong(&ok, 0);
        if (ok)
            n = qint64(u);
    }
    if (n < qint64(min) || n > qint64(max))
        fail(key, QStringLiteral("must be an address from %1 to %2").arg(min).arg(max));
    return quint32(n);
}

double JsonReader::number(const char* key, double def)
{
    const QJsonValue v = value(key);
    if (v.isUndefined())
        return def;
    if (!v.isDouble())
        fail(key, QStringLiteral("must be a number"));
    return v.toDouble();
}

QString JsonReader::string(const char* key, const QString& def)
{
    const QJsonValue v = value(key);
    if (v.isUndefined())
        return def;
    if (!v.isString())
        fail(key, QStringLiteral("must be a text"));
    return v.toString();
}

bool JsonReader::boolean(const char* key, bool def)
{
    const QJsonValue v = value(key);
    if (v.isUndefined())
        return def;
    if (!v.isBool())
        fail(key, QStringLiteral("must be true or false"));
    return v.toBool();
}

QJsonObject JsonReader::object(const char* key)
{
    const QJsonValue v = value(key);
    if (v.isUndefined())
        return {};
    if (!v.isObject())
        fail(key, QStringLiteral("must be an object"));
    return v.toObject();
}

QJsonArray JsonReader::array(const char* key)
{
    const QJsonValue v = value(key);
    if (v.isUndefined())
        return {};
    if (!v.isArray())
        fail(key, QStringLiteral("must be an array"));
    return v.toArray();
}

JsonReader JsonReader::child(const char* key) { return JsonReader(object(key), at(key)); }

JsonReader JsonReader::element(const QJsonArray& array, int index, const char* arrayKey) const
{
    const QString p = QStringLiteral("%1[%2]").arg(at(arrayKey)).arg(index);
    if (!array.at(index).isObject())
        throw ScenarioError(p + QStringLiteral(": must be an object"));
    return JsonReader(array.at(index).toObject(), p);
}

void JsonReader::fail(const char* key, const QString& message) const
{
    throw ScenarioError(at(key) + QStringLiteral(": ") + message);
}

void JsonReader::fail(const QString& message) const
{
    throw ScenarioError((path_.isEmpty() ? QStringLiteral("scenario") : path_) + QStringLiteral(": ") + message);
}

void JsonReader::finish() const
{
    QStringList unknown;
    for (auto it = object_.begin(); it != object_.end(); ++it)
        if (!used_.contains(it.key()))
            unknown << it.key();
    if (!unknown.isEmpty())
        fail(QStringLiteral("unknown key(s): %1").arg(unknown.join(QStringLiteral(", "))));
}

} // namespace cvx::vbtsim
