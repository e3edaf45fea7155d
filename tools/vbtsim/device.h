#pragma once
// One simulated device behind an interface: its addresses, parameter memory, clock,
// system information and the commands every device of the family understands. The link
// rules (acknowledgements, faults, frame forms) are the interface's; a device only says
// what it does with a command and sends frames of its own through its interface.

#include "codec.h"
#include "faults.h"
#include "sim_context.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <deque>
#include <functional>
#include <memory>
#include <optional>

namespace cvx::vbtsim {

class SimInterface;
class JsonReader;

// Where the answer to one request goes and in what form.
struct ReplyRoute {
    int connection = -1;
    FrameForm form = FrameForm::Vbt;
    quint32 to = ComputerAddress;
    quint8 serial = 0;
    bool asyerAllowed = true;
};

// What a device does about a command.
struct Outcome {
    enum Kind { Nothing, Answer, Reject };
    Kind kind = Nothing;
    QByteArray payload;
    int status = 0;
    static Outcome nothing() { return {}; }
    static Outcome answer(QByteArray p) { return {Answer, std::move(p), 0}; }
    static Outcome reject(int status) { return {Reject, {}, status}; }
};

// Status codes of the ASYER answers of a device that rejects a command.
constexpr int StatusBadLength = 5; // parameters missing or outside the device's memory
constexpr int StatusUnknown = 7;   // unknown command or a parameter the device cannot serve

class Device {
public:
    // Reads the keys every device has (name, address, wideAddress, info, params,
    // restartSeconds, memorySize, faults); kindCode is the device kind of the
    // system information record.
    Device(SimContext& ctx, JsonReader& cfg, int kindCode, std::optional<quint32> defaultAddress = std::nullopt);
    virtual ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    const QString& name() const { return name_; }
    quint32 address() const { return address_; }
    quint32 wideAddress() const { return wideAddress_; }
    virtual QString kindName() const = 0;
    void attach(SimInterface* bus) { bus_ = bus; }
    SimInterface* bus() const { return bus_; }
    FaultSet& faults() { return faults_; }
    const FaultSet& faults() const { return faults_; }

    // Called when every device of the interface exists: a device that works with its
    // neighbours finds them here (throws ScenarioError when one is missing).
    virtual void neighboursReady() {}
    // Called once when the simulator starts serving: devices that act by themselves
    // start their timers here.
    virtual void start() {}
    // Restarting or erasing: the device hears nothing meanwhile.
    bool offline() const;

    Outcome execute(const QByteArray& payload, const ReplyRoute& route);
    // A broadcast is carried out and never answered.
    void executeBroadcast(const QByteArray& payload);
    // The computer acknowledged (or refused) a frame this device sent.
    void linkAcknowledged(quint8 serial, quint8 info);
    // Called for every frame the computer sends this device, before any fault or command
    // handling: what a device learns from merely hearing the computer.
    virtual void heardComputer() {}
    // A request that asks for an acknowledgement and repeats the previous one (same
    // serial, same payload, within two seconds) is answered "repeated", not carried out.
    bool isRepeat(const Frame& request);

    // Control channel. Each returns an error text, empty on success.
    virtual QString setValue(const QString& key, const QString& text);
    virtual QString runCommand(const QString& verb, const QStringList& args, QStringList* out);
    virtual QStringList statusLines() const;

    QDateTime clock() const;
    void setClock(const QDateTime& t);
    QByteArray& params() { return params_; }
    const QByteArray& params() const { return params_; }
    QByteArray sysInfoRecord() const;
    // The device kind of the system information (a sensor's is its sensor type).
    int kindCode() const { return info_.kind; }
    qint64 uptimeSeconds() const;
    // Data of the AITGD answer to the poll as the device sends it now (a broken sensor
    // sends eight 0xFF bytes); nullopt for a device that measures nothing.
    std::optional<QByteArray> measurementData();
    // The measurement data at the given simulator time, faults aside.
    virtual std::optional<QByteArray> dataAt(double /*seconds*/) const { return std::nullopt; }

protected:
    // Commands of the device's own kind; nullopt for the ones the base handles.
    virtual std::optional<Outcome> executeOwn(const QByteArray& payload, const QByteArray& mnemonic,
                                              const ReplyRoute& route);
    // The device came back from a restart: parameters take effect.
    virtual void restarted() {}
    virtual void paramsWritten(int /*address*/, int /*count*/) {}
    virtual void paramsCommitted() {}

    // Hears nothing for ms milliseconds, then runs then.
    void goOffline(int ms, std::function<void()> then);
    // Sends a frame of its own to the computer on every open connection. With wantAck it
    // asks for an acknowledgement and repeats (a new serial each time) until one comes or
    // the tries are used up; frames queue behind each other. False without a connection.
    bool sendToComputer(const QByteArray& payload, bool wantAck);
    quint8 nextSerial();
    int restartSeconds() const { return quint8(params_.at(1)); }
    void logInfo(const QString& text) const;

    SimContext& ctx_;
    SimInterface* bus_ = nullptr;

private:
    struct SysInfo {
        QByteArray id;
        QString version;
        QString model;
        QDateTime built;
        int project = 100;
        int kind = 0;
        int rxBuffer = 256;
        int txBuffer = 256;
        QString name;
        int bootRevision = 1;
        bool bootLoaderRunning = false;
        int cpu = 1;
        int voltage = 120;
        QByteArray extra;
        int length = 66;
    };
    struct PendingFrame {
        QByteArray payload;
        int tries = 0;
        quint8 serial = 0;
    };
    void readSysInfo(JsonReader& cfg, int kindCode);
    void sendHeadFrame();
    void frameTimedOut();
    void beginRestart();

    QString name_;
    quint32 address_ = 0;
    quint32 wideAddress_ = 0;
    FaultSet faults_;
    QByteArray params_;
    SysInfo info_;
    qint64 clockOffsetMs_ = 0;
    qint64 upSinceTick_ = 0;
    qint64 offlineUntilTick_ = 0;
    quint8 serial_ = 0;
    int ackTimeoutMs_ = 300;
    int frameTries_ = 3;
    std::deque<PendingFrame> pending_;
    std::unique_ptr<Timer> ackTimer_;
    std::unique_ptr<Timer> offlineTimer_;
    std::function<void()> afterOffline_;
    struct {
        quint8 serial = 0;
        QByteArray payload;
        qint64 tick = 0;
        bool valid = false;
    } lastAcked_;
};

} // namespace cvx::vbtsim
