#pragma once
// A measured quantity as a function of time: a constant, no value at all, or a simple
// periodic curve.

#include <QJsonValue>
#include <QString>
#include <QVector>

#include <optional>

namespace cvx::vbtsim {

class Curve {
public:
    enum class Kind { Constant, Missing, Sine, Ramp, Triangle, Square, Steps };

    Curve() = default;
    static Curve constant(double v);
    static Curve missing();

    // A number, null or "none", or an object {"curve": "sine", ...}; see the README.
    // Throws std::runtime_error with a description of what is wrong.
    static Curve fromJson(const QJsonValue& v);
    // The same from a control-channel text: a number, "none", or a JSON object.
    static Curve fromText(const QString& text);

    // Value at the given number of seconds since the simulator started; nullopt for
    // no value.
    std::optional<double> valueAt(double seconds) const;
    Kind kind() const { return kind_; }
    QString describe() const;

private:
    Kind kind_ = Kind::Constant;
    double a_ = 0;      // constant, mean, from
    double b_ = 0;      // amplitude, to
    double period_ = 1; // seconds
    double phase_ = 0;  // seconds
    QVector<std::optional<double>> steps_;
};

} // namespace cvx::vbtsim
