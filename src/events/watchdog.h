#pragma once
// The GSM watchdog and SMS device. It sends the SMS of SMS tasks and watches the
// computer: the program sends it a keep-alive every 3 seconds and answers its heartbeat
// requests; a device that hears nothing for a set number of checks sends an alarm SMS
// of its own. The device is a stand-alone one on a serial port (type 0) or over TCP
// (type 2), or an interface of the system (type 1): a data logger itself, or a device
// at address 249 behind any other interface.

#include "link/link_ref.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>

namespace cvx {

class ProbeLists;
class TimeService;
class Timer;
class TDataStoreConfigurator;
class TNaplo;
class TransportFactory;
class TVBTComms;

// The watchdog parameters as the settings window shows them: texts, decimal for numbers.
struct WatchdogParameterTexts {
    QString OperatingMode;        // data loggers only
    QString CheckInterval;        // seconds
    QString FailuresBeforeAlarm;
    QString AlarmPauseHours;
    QString AlarmPhone;
    QString AlarmText;
};

class WatchdogDevice {
public:
    static constexpr int KeepAliveMs = 3000;
    static constexpr quint32 InterfaceDeviceAddress = 249;

    // readSetting: Global_settings by key. transports: where the port link gets its
    // serial port or TCP client (nullptr: the real ones).
    WatchdogDevice(TimeService& time, ProbeLists& probes, std::function<QString(const QString&)> readSetting,
                   TransportFactory* transports = nullptr);
    ~WatchdogDevice();
    WatchdogDevice(const WatchdogDevice&) = delete;
    WatchdogDevice& operator=(const WatchdogDevice&) = delete;

    // Builds the links anew from the settings; the keep-alive runs exactly when enabled.
    void SetUpWatchdog();
    // Drops the links (the shell's destruction; also the first step of SetUpWatchdog).
    void TearDown();
    void WatchdogTimerTimer();

    bool WatchdogEnabled() const { return enabled_; }
    // None once the link is gone (the interface it belongs to was destroyed).
    TVBTComms* WatchdogLink() const { return link_.get(); }
    TVBTComms* WatchdogPortLink() const { return portLink_.get(); }
    TVBTComms* WatchdogClientLink() const { return clientLink_.get(); }
    TNaplo* WatchdogCommLog() const { return commLog_.get(); }
    Timer& WatchdogTimer() const { return *timer_; }
    int WatchdogType = 0;
    int WatchdogID = 0;

    // ---- device operations of the general settings window (results on the main thread)
    // code 0: versionText is "labVersion: <device info>"; otherwise "labUnknownVersion"
    // and message the "device does not answer" text.
    void ReadDeviceVersion(std::function<void(quint16 code, const QString& versionText, const QString& message)> done);

    struct ReadReport {
        int tag = 0;             // 1 CheckInterval, 2 FailuresBeforeAlarm, 3 AlarmPauseHours, 4 AlarmPhone, 5 AlarmText
        quint16 code = 0;
        QString value;           // the field's text when code is 0
        bool writable = false;   // writing and switching are possible after this result
        bool last = false;       // the last result: the busy cursor ends
        QString message;         // to show when not empty (the last result only)
        bool information = false;// message is a plain information (not an error)
    };
    // The parameters of a stand-alone device (types 0 and 2): five reads, one report each.
    void ReadWatchdogParameters(std::function<void(const ReadReport&)> onResult);

    struct WriteReport {
        int tag = 0;             // 1..6; each advances the progress by one step
        quint16 code = 0;
        bool last = false;
        QString message;         // "device does not answer" after a failed last step
    };
    // Writes the parameters of a stand-alone device: six requests. A value outside what
    // the device can hold is refused before anything is sent: false with the reason.
    bool WriteWatchdogParameters(const WatchdogParameterTexts& values, std::function<void(const WriteReport&)> onResult,
                                 QString* refusal = nullptr);
    // The payloads WriteWatchdogParameters sends, in order; empty with the reason when a
    // value does not fit.
    static QList<QByteArray> StandAloneWriteRequests(const WatchdogParameterTexts& values, QString* refusal = nullptr);

    // Switches the device's watchdog function (stand-alone device only).
    void SetWatchdogFunction(bool on, std::function<void(quint16 code, const QString& message)> done);

    // Withdraws the queued requests of the operations above; their results never arrive.
    void CancelDeviceRequests();

    // The parameters of a data-logger watchdog (type 1): the whole logger parameter block
    // is read through the configurator; done(code, fields, message) with the fields of
    // the block when code is 0, and the text to show.
    void ReadLoggerWatchdogParameters(
        std::function<void(quint16 code, const WatchdogParameterTexts& fields, const QString& message)> done);
    // Writes the fields into the block last read and writes the block back (the logger
    // restarts). A value that does not fit is refused before anything is sent.
    bool WriteLoggerWatchdogParameters(const WatchdogParameterTexts& values,
                                       std::function<void(quint16 code, const QString& message)> done,
                                       QString* refusal = nullptr);

    // Whether the writes and the switch are offered (the last read's outcome).
    bool ParametersWritable() const { return writable_; }

private:
    void submit(const QByteArray& payload, int waitTime, int tag, const QByteArray& expected,
                std::function<void(const QByteArray& answer, quint16 code, int tag)> handler);

    TimeService& time_;
    ProbeLists& probes_;
    std::function<QString(const QString&)> readSetting_;
    TransportFactory* transports_;
    std::unique_ptr<Timer> timer_;
    std::unique_ptr<TVBTComms> portLink_;
    std::unique_ptr<TVBTComms> clientLink_;
    std::unique_ptr<TNaplo> commLog_;
    std::unique_ptr<TDataStoreConfigurator> configurator_;
    TLinkRef link_;
    bool enabled_ = false;
    bool writable_ = false;
    quint64 generation_ = 0;
};

// The watchdog fields of a logger parameter block as texts (pause in hours).
WatchdogParameterTexts LoggerWatchdogFields(const QByteArray& block);
// Writes the watchdog fields into a logger parameter block; false with the reason when a
// value does not fit (the block is then unchanged).
bool SetLoggerWatchdogFields(QByteArray& block, const WatchdogParameterTexts& values, QString* refusal = nullptr);

} // namespace cvx
