#pragma once
// A data logger: it polls the sensors of its own interface at its own interval, keeps
// every measurement as a numbered 21-byte record in a store of fixed size (the oldest
// records are overwritten when it is full), reports each new record with EELDL while a
// computer is connected, and lets the computer read its store state, download and erase
// records. It keeps measuring whether or not a computer is connected. Its configuration
// (interval, polled sensors, their types, the watchdog settings) is the parameter block
// at addresses 450..2955, which takes effect at start and after every restart. It can
// serve as the GSM watchdog device too: it sends the computer's SMS and, with event 0 of
// its block enabled, raises its own watchdog alarm.

#include "device.h"
#include "watchdog.h"

#include <QVector>

#include <deque>

namespace cvx::vbtsim {

class LoggerDevice : public Device {
public:
    static constexpr int BlockAddress = 450;
    static constexpr int BlockSize = 2506;
    static constexpr int RecordSize = 21;
    static constexpr int MaxSensors = 16;

    LoggerDevice(SimContext& ctx, JsonReader& cfg);
    ~LoggerDevice() override;
    QString kindName() const override { return QStringLiteral("data logger"); }
    void neighboursReady() override;
    void start() override;
    void heardComputer() override;

    // One measuring round now: a record per configured sensor.
    void measureRound();
    void erase();
    quint32 firstRecId() const;
    quint32 lastRecId() const { return store_.empty() ? 0 : nextId_ - 1; }
    int recordCount() const { return int(store_.size()); }
    QByteArray record(quint32 id) const;
    QByteArray blockBytes() const { return params().mid(BlockAddress, BlockSize); }
    WatchdogFunction& watchdog() { return *watchdog_; }

    QString runCommand(const QString& verb, const QStringList& args, QStringList* out) override;
    QStringList statusLines() const override;

protected:
    std::optional<Outcome> executeOwn(const QByteArray& payload, const QByteArray& mnemonic,
                                      const ReplyRoute& route) override;
    void restarted() override;

private:
    enum class Family { Corvalux, Talvo };

    void buildBlock(JsonReader& cfg);
    void loadBlock();
    QByteArray measure(quint32 address) const;
    void store(quint32 address, const QByteArray& data, const QDateTime& when, bool report);
    Outcome download(quint32 from, int count) const;
    Outcome olderFamilyDownload(const QByteArray& payload) const;
    quint8& block(int offset);
    quint8 blockAt(int offset) const { return quint8(params().at(BlockAddress + offset)); }

    Family family_ = Family::Corvalux;
    int capacity_ = 4096;
    int eraseSeconds_ = 2;
    bool events_ = true;
    int prefill_ = 0;
    QStringList sensorNames_; // as the scenario names them, resolved when neighbours exist
    QString configPath_;
    std::deque<QByteArray> store_;
    quint32 nextId_ = 1;
    int intervalSeconds_ = 60;
    QVector<quint32> sensors_;
    std::unique_ptr<Timer> roundTimer_;
    WatchdogFunction::Settings watchdogSettings_;
    std::unique_ptr<SmsCapture> sms_;
    std::unique_ptr<WatchdogFunction> watchdog_;
};

} // namespace cvx::vbtsim
