#pragma once
// Faults a device or an interface can be told to show, each switched on for good, off,
// or for the next N occasions (a count that runs down).

#include <QByteArray>
#include <QJsonValue>
#include <QString>
#include <QStringList>

#include <array>
#include <optional>

namespace cvx::vbtsim {

enum class Fault {
    // devices
    Silence,     // hears nothing, answers nothing
    Nack,        // answers every request with a negative acknowledgement
    WrongSerial, // answers with the next serial instead of the request's
    Garbage,     // puts garbage bytes in front of each frame it sends
    Tail,        // answers with the right mnemonic but altered bytes after it
    Asyer,       // answers every request with ASYER and a status code
    Delay,       // answers late
    Broken,      // the sensor element is broken: measurement data of eight 0xFF bytes
    // interfaces
    Refuse, // accepts connections and drops them at once
    Slow,   // the line runs at a given baud rate
};

constexpr int FaultCount = int(Fault::Slow) + 1;

struct FaultState {
    int remaining = 0; // -1: on for good; 0: off; N: the next N occasions
    int number = 0;    // status (asyer), milliseconds (delay), baud (slow)
    QByteArray bytes;  // garbage bytes, replacement tail

    bool active() const { return remaining != 0; }
    // True when the fault applies to this occasion; counts it down.
    bool consume();
};

class FaultSet {
public:
    FaultSet();
    FaultState& operator[](Fault f) { return states_[size_t(f)]; }
    const FaultState& operator[](Fault f) const { return states_[size_t(f)]; }

    static std::optional<Fault> byName(const QString& name);
    static QString name(Fault f);
    static bool isInterfaceFault(Fault f) { return f == Fault::Refuse || f == Fault::Slow; }

    // state: "on", "off" or a count; arg: the fault's parameter (status, hex bytes,
    // milliseconds, baud), optional. Returns an error text, empty on success.
    QString set(Fault f, const QString& state, const QString& arg);
    // Scenario form: true/false, a count, or {"count": N | "on": bool, "status"/"bytes"/
    // "ms"/"baud": ...}. Throws std::runtime_error.
    void setFromJson(Fault f, const QJsonValue& v);
    // The faults that are on, e.g. "nack(2) delay(on, 500 ms)".
    QString describe() const;

private:
    std::array<FaultState, FaultCount> states_;
};

} // namespace cvx::vbtsim
