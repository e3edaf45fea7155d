#pragma once
// The acquisition model at work: builds interfaces and sensors from the database (or
// the configuration file), wires their links, runs their timers, turns every answer
// into measurements (decoding, plausibility, derived values, recording, the text log,
// relay latch), keeps logger records in sequence and reads weather stations.
//
// One object per process, on the event-loop thread. The shell owns the lists; the
// model owns what hangs off them (timers, link handlers) and empties the lists when it
// is destroyed, so nothing outlives the handlers it calls: destroy the model before
// the lists. Calls into higher layers
// (event engine, master/client link, tasks) go through Hooks, which the application
// wires; an unset hook does nothing.

#include "acquisition/probe_lists.h"
#include "devproto/flash_manager.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <functional>
#include <map>
#include <memory>

class QIODevice;

namespace cvx {

class MeasureStore;
class SnmpClient;
class TimeService;
class TpSQLConnection;
class TransportFactory;
class TSNMPPoller;
struct IniInterfaceEntry;
struct IniSensorEntry;
struct WeatherStationState;

struct AcquisitionHooks {
    // The event engine evaluates every event for the sensor.
    std::function<void(TProbe& sensor)> EvaluateEvents;
    // Arms the timer that answers waiting client instances.
    std::function<void()> StartClientReplyTimer;
    // Drops sensor ids that name no loaded sensor from the tasks' relay lists.
    std::function<void()> PurgeTaskRelayLists;
    // A lost sensor answered again: closes the warning panel when it shows the
    // all-sensors warning and outdated warnings may disappear.
    std::function<void()> CloseOutdatedWarning;

    AcquisitionHooks();
};

// What the windows and the network layer hear after every measurement, and when the
// activity supervision finds a sensor lost: the sensor, whether the point was
// recorded, and the period of new graph points.
using ViewObserver = std::function<void(TProbe& sensor, bool recorded, qint64 pointPeriodMs)>;

class Acquisition {
public:
    // transports: where the links get serial ports and TCP clients (nullptr: Qt's).
    Acquisition(TimeService& time, ProbeLists& lists, TransportFactory* transports = nullptr);
    ~Acquisition();
    Acquisition(const Acquisition&) = delete;
    Acquisition& operator=(const Acquisition&) = delete;

    TimeService& Time() const { return time_; }
    ProbeLists& Lists() const { return lists_; }

    // ---- wiring by the shell
    // The configuration and stored temperatures are read through the connection,
    // measurements written through the store. Both nullptr: no database (ini-file mode).
    void SetDatabase(TpSQLConnection* connection, MeasureStore* store);
    bool DatabaseInUse() const { return store_ != nullptr; }
    // The open CSV measurement log, or nullptr when it is off. Not owned; the shell
    // opens and closes it.
    void SetMeasurementLog(QIODevice* device) { csv_ = device; }
    QIODevice* MeasurementLog() const { return csv_; }
    AcquisitionHooks Hooks;
    int AddViewObserver(ViewObserver observer);
    void RemoveViewObserver(int handle);
    // Period of new graph points on a client (its monitoring timer).
    qint64 ClientRefreshPeriodMs = 2000;

    // ---- SNMP poller (one per process; created before the model is loaded)
    // Reads the prefix from Global_settings "SNMP_OID" when a database is set.
    TSNMPPoller* CreateSnmpPoller(std::unique_ptr<SnmpClient> client = nullptr);
    TSNMPPoller* SnmpPoller() const { return snmp_.get(); }
    void DestroySnmpPoller();

    // ---- interfaces and sensors
    // Builds both lists from the database, or from the configuration file when no
    // database is set; logs how many of each were loaded.
    void LoadAll();
    // Fill one object from its row; false when the row is missing or unusable (the
    // caller frees the object).
    bool LoadInterface(TProbe& iface, int probeTypeId);
    bool LoadSensor(TProbe& sensor, int probeId);
    bool LoadInterfaceFromIni(TProbe& iface, const IniInterfaceEntry& entry);
    bool LoadSensorFromIni(TProbe& sensor, const IniSensorEntry& entry);
    // Deactivates, loads again from its row, activates again with IsUsed (on the
    // master, once acquisition has started). False when the row is gone.
    bool Reload(TProbe& object);
    void Activate(TProbe& object, bool on);
    // On the master: every interface and sensor with its IsUsed.
    void StartAll();
    bool Started() const { return started_; }
    // Writes the interface's last downloaded logger record identifier; errors ignored.
    void SaveLastRecID(TProbe& iface);
    // Set while LoadAll runs: measurements are not stored meanwhile.
    bool Loading() const { return loading_; }

    // ---- measurements
    // Read handler of every sensor link; also called by the SNMP poller, the panel
    // timer and the logger-event handler. Does nothing unless code is 0.
    void HandleAnswer(TProbe& sensor, const QByteArray& answer, quint16 code);
    // A client applies one value received from the master.
    void SetRemoteValue(TProbe& sensor, int measureType, const QDateTime& time, double value, bool active,
                        bool online, bool recorded);
    void NotifyViews(TProbe& sensor, bool recorded);
    void FillTempWindow(TProbe& sensor);
    void RefillAllTempWindows();

    // ---- interface timers
    void PanelTick(TProbe& iface);
    void RestartTick(TProbe& iface);
    void ClockTick(TProbe& iface);
    void SnmpTick(TProbe& iface);

    // ---- data loggers
    // Read handler of an interface's LoggerLink.
    void HandleLoggerEvent(TProbe& iface, const QByteArray& answer, quint16 code);
    // One downloaded 24-byte logger record; false when it could not be processed.
    bool HandleLoggerRecord(TProbe& sensor, const QByteArray& record);
    // The handlers every interface attaches to its FlashManager.
    void OnFlashStatus(TProbe& iface, TFMFlashStatus status, TFMFlashWarnings warnings);
    void OnFlashRecord(TProbe& iface, TFMRecordInfo info, qint64 recId, const QByteArray& record, int percentDone,
                       bool& canContinue);

    // The configuration of one interface or sensor, from a table row or the file.
    struct InterfaceRow;
    struct SensorRow;

    // Statistics for supervision and benchmarks.
    qint64 AnswersHandled() const { return answersHandled_; }

private:
    enum class Source { Live, LoggerEvent, LoggerRecord };

    bool configureInterface(TProbe& iface, const InterfaceRow& row);
    bool configureSensor(TProbe& sensor, const SensorRow& row);
    void createInterfaceTimers(TProbe& iface);
    bool hasWeatherSensor(const TProbe& iface) const;
    void startInterfaceTimers(TProbe& iface, bool on);
    void loadFromDatabase();
    void loadFromIni();
    void wireFlashManager(TProbe& iface, qint64 lastRecId);

    void processAnswer(TProbe& sensor, const QByteArray& answer);
    void measure(TProbe& sensor, const QByteArray& answer, const QByteArray& received, const QDateTime& time,
                 Source source);
    void relayLatch(TProbe& sensor);
    void writeLogLine(const QString& line);
    bool loggerSequenceCheck(TProbe& sensor, const QByteArray& answer, QByteArray* data, QDateTime* time);
    bool processFlashRecord(TProbe& iface, qint64 recId, const QByteArray& record);
    void startDownload(TProbe& iface);
    void logFlash(const TProbe& iface, const QString& message);

    // Weather-station step: false when the call ends here; otherwise the synthesized
    // measurement answer to go on with.
    bool weatherStep(TProbe& sensor, const QByteArray& answer, QByteArray* synthesized);
    void importWeatherHistory(TProbe& sensor);
    bool master() const;
    // Now, with its UTC offset fixed (see fixedOffset).
    QDateTime currentTime() const;

    TimeService& time_;
    ProbeLists& lists_;
    TransportFactory* transports_;
    TpSQLConnection* db_ = nullptr;
    MeasureStore* store_ = nullptr;
    QIODevice* csv_ = nullptr;
    std::unique_ptr<TSNMPPoller> snmp_;
    std::map<int, ViewObserver> observers_;
    int nextObserver_ = 1;
    int notifying_ = 0;
    bool removedWhileNotifying_ = false;
    bool loading_ = false;
    bool started_ = false;
    qint64 answersHandled_ = 0;
};

} // namespace cvx
