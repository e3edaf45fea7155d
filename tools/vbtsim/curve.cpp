#include "curve.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>
#include <numbers>
#include <stdexcept>

namespace cvx::vbtsim {

namespace {

[[noreturn]] void fail(const QString& what) { throw std::runtime_error(what.toStdString()); }

double number(const QJsonObject& o, const char* key, std::optional<double> def = std::nullopt)
{
    const QJsonValue v = o.value(QLatin1String(key));
    if (v.isUndefined()) {
        if (def)
            return *def;
        fail(QStringLiteral("curve needs \"%1\"").arg(QLatin1String(key)));
    }
    if (!v.isDouble())
        fail(QStringLiteral("curve \"%1\" must be a number").arg(QLatin1String(key)));
    return v.toDouble();
}

double fraction(double x) { return x - std::floor(x); }

} // namespace

Curve Curve::constant(double v)
{
    Curve c;
    c.kind_ = Kind::Constant;
    c.a_ = v;
    return c;
}

Curve Curve::missing()
{
    Curve c;
    c.kind_ = Kind::Missing;
    return c;
}

Curve Curve::fromJson(const QJsonValue& v)
{
    if (v.isDouble())
        return constant(v.toDouble());
    if (v.isNull() || (v.isString() && v.toString().compare(QLatin1String("none"), Qt::CaseInsensitive) == 0))
        return missing();
    if (!v.isObject())
        fail(QStringLiteral("a value must be a number, null, \"none\" or a curve object"));
    const QJsonObject o = v.toObject();
    const QString name = o.value(QLatin1String("curve")).toString();
    Curve c;
    if (name == QLatin1String("constant")) {
        c = o.value(QLatin1String("value")).isNull() ? missing() : constant(number(o, "value"));
        return c;
    }
    if (name == QLatin1String("steps")) {
        c.kind_ = Kind::Steps;
        const QJsonArray values = o.value(QLatin1String("values")).toArray();
        if (values.isEmpty())
            fail(QStringLiteral("a steps curve needs a non-empty \"values\" array"));
        for (const QJsonValue& s : values) {
            if (s.isNull())
                c.steps_.append(std::nullopt);
            else if (s.isDouble())
                c.steps_.append(s.toDouble());
            else
                fail(QStringLiteral("steps \"values\" must be numbers or null"));
        }
    } else if (name == QLatin1String("sine") || name == QLatin1String("square")) {
        c.kind_ = name == QLatin1String("sine") ? Kind::Sine : Kind::Square;
        c.a_ = number(o, "mean");
        c.b_ = number(o, "amplitude");
    } else if (name == QLatin1String("ramp") || name == QLatin1String("triangle")) {
        c.kind_ = name == QLatin1String("ramp") ? Kind::Ramp : Kind::Triangle;
        c.a_ = number(o, "from");
        c.b_ = number(o, "to");
    } else {
        fail(QStringLiteral("unknown curve \"%1\" (constant, sine, square, ramp, triangle, steps)").arg(name));
    }
    c.period_ = number(o, "period");
    if (!(c.period_ > 0))
        fail(QStringLiteral("curve \"period\" must be above 0 seconds"));
    c.phase_ = number(o, "phase", 0.0);
    return c;
}

Curve Curve::fromText(const QString& text)
{
    const QString t = text.trimmed();
    bool ok = false;
    const double d = t.toDouble(&ok);
    if (ok)
        return constant(d);
    if (t.compare(QLatin1String("none"), Qt::CaseInsensitive) == 0)
        return missing();
    QJsonParseError err;
    const QJsonDocument doc = QJsonDocument::fromJson(t.toUtf8(), &err);
    if (err.error != QJsonParseError::NoError || !doc.isObject())
        fail(QStringLiteral("not a number, \"none\" or a JSON curve object: %1").arg(t));
    return fromJson(doc.object());
}

std::optional<double> Curve::valueAt(double seconds) const
{
    const double t = seconds + phase_;
    switch (kind_) {
    case Kind::Constant: return a_;
    case Kind::Missing: return std::nullopt;
    case Kind::Sine: return a_ + b_ * std::sin(2 * std::numbers::pi * t / period_);
    case Kind::Square: return fraction(t / period_) < 0.5 ? a_ + b_ : a_ - b_;
    case Kind::Ramp: return a_ + (b_ - a_) * fraction(t / period_);
    case Kind::Triangle: {
        const double f = fraction(t / period_);
        return a_ + (b_ - a_) * (f < 0.5 ? 2 * f : 2 * (1 - f));
    }
    case Kind::Steps: {
        const qint64 i = qint64(std::floor(t / period_));
        const qint64 n = steps_.size();
        return steps_.at(int(((i % n) + n) % n));
    }
    }
    return std::nullopt;
}

QString Curve::describe() const
{
    switch (kind_) {
    case Kind::Constant: return QString::number(a_);
    case Kind::Missing: return QStringLiteral("none");
    case Kind::Sine: return QStringLiteral("sine(mean %1, amplitude %2, period %3 s)").arg(a_).arg(b_).arg(period_);
    case Kind::Square: return QStringLiteral("square(mean %1, amplitude %2, period %3 s)").arg(a_).arg(b_).arg(period_);
    case Kind::Ramp: return QStringLiteral("ramp(%1 to %2, period %3 s)").arg(a_).arg(b_).arg(period_);
    case Kind::Triangle: return QStringLiteral("triangle(%1 to %2, period %3 s)").arg(a_).arg(b_).arg(period_);
    case Kind::Steps: return QStringLiteral("steps(%1 values, %2 s each)").arg(steps_.size()).arg(period_);
    }
    return {};
}

} // namespace cvx::vbtsim
