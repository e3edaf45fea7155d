#pragma once
// The GSM watchdog and SMS device, and the watchdog function that a data logger has as
// well: the device sends the SMS the computer asks for, watches that the computer keeps
// sending its keep-alive (AGSWD), and when it has missed a set number of checks in a
// row sends an alarm SMS of its own, then keeps quiet for a pause. Every SMS "sent" is
// written as one JSON line to a capture file, so that tests and installers can read them.

#include "device.h"

#include <QFile>

#include <functional>

namespace cvx::vbtsim {

class SmsCapture {
public:
    SmsCapture(SimContext& ctx, const QString& deviceName, const QString& path);
    // Writes {"time", "device", "from" ("computer" or "watchdog"), "number", "text"}.
    void record(const QString& from, const QString& number, const QString& text);
    int count() const { return count_; }
    const QString& path() const { return path_; }

private:
    SimContext& ctx_;
    QString device_;
    QString path_;
    int count_ = 0;
};

// Decodes the CGSSM parameters: 20 characters of number and 120 of text, each ended by
// a zero byte or padded with blanks. Returns false when the payload is too short.
bool parseSms(const QByteArray& payload, QString* number, QString* text);
// A zero-ended text of the parameter memory (0xFF also ends it), blanks trimmed.
QString memoryText(const QByteArray& bytes);

class WatchdogFunction {
public:
    struct Settings {
        bool enabled = false;
        int checkSeconds = 10;
        int failuresBeforeAlarm = 2;
        int pauseMinutes = 120;
        QString phone;
        QString text;
    };

    // settings are read again at every check; heartbeat runs after each check.
    WatchdogFunction(SimContext& ctx, Device& owner, SmsCapture& sms, std::function<Settings()> settings,
                     std::function<void()> heartbeat);
    ~WatchdogFunction();
    void start();
    // The computer's keep-alive arrived.
    void heard() { heard_ = true; }
    // One check now (the timer does this every check interval).
    void check();
    QString status() const;
    int failures() const { return failures_; }
    bool blocked() const;

private:
    void arm();

    SimContext& ctx_;
    Device& owner_;
    SmsCapture& sms_;
    std::function<Settings()> settings_;
    std::function<void()> heartbeat_;
    bool heard_ = false;
    int failures_ = 0;
    qint64 blockedUntilTick_ = 0;
    int alarms_ = 0;
    std::unique_ptr<Timer> timer_;
};

class WatchdogDevice : public Device {
public:
    // Parameter memory addresses.
    static constexpr int PauseHoursAddress = 72;
    static constexpr int CheckIntervalAddress = 73;
    static constexpr int FailuresAddress = 75;
    static constexpr int PhoneAddress = 76;
    static constexpr int TextAddress = 96;

    WatchdogDevice(SimContext& ctx, JsonReader& cfg);
    ~WatchdogDevice() override;
    QString kindName() const override { return QStringLiteral("GSM watchdog"); }
    void start() override;
    WatchdogFunction& watchdog() { return *watchdog_; }

    QString runCommand(const QString& verb, const QStringList& args, QStringList* out) override;
    QStringList statusLines() const override;

protected:
    std::optional<Outcome> executeOwn(const QByteArray& payload, const QByteArray& mnemonic,
                                      const ReplyRoute& route) override;
    void restarted() override;
    void paramsCommitted() override;

private:
    WatchdogFunction::Settings settings() const;

    QByteArray stored_; // the non-volatile copy of the parameter memory
    bool enabled_ = false;
    bool heartbeats_ = true;
    std::unique_ptr<SmsCapture> sms_;
    std::unique_ptr<WatchdogFunction> watchdog_;
};

} // namespace cvx::vbtsim
