#pragma once
// TProbe: one runtime object per configured interface and per sensor. An interface
// reaches measuring devices (device server, bridge, adapter, data logger); a sensor is
// one measuring device, or one relay of a relay device, behind an interface. An object
// is an interface exactly when its SensorType is below 0.

#include "code_tables.h"
#include "measure_pipe.h"

#include <QDateTime>
#include <QMap>
#include <QString>

#include <array>
#include <deque>
#include <functional>
#include <memory>

namespace cvx {

class TVBTComms;
class TFlashManager;
class TNaplo;
class Timer;
struct WeatherStationState;

// Per measure type 1..20; index 0 unused.
using RawValueArray = std::array<qint64, MeasureTypeCount + 1>;
using ValueArray = std::array<double, MeasureTypeCount + 1>;
// One complete set of Values at one moment.
using TMeasuresRec = ValueArray;

// An event that keeps a relay switched on; entries are keyed by the event's id text.
struct RelayLockEntry {
    int eventId = 0;
    QString eventName;
};

class TProbe {
public:
    TProbe();
    ~TProbe();
    TProbe(const TProbe&) = delete;
    TProbe& operator=(const TProbe&) = delete;

    bool isInterface() const { return SensorType < 0; }

    int Id = 0;
    QString Name;
    TProbe* ParentInterface = nullptr;
    int ServerType = 0;
    int ProtocolType = 0;
    bool IsUsed = false;
    int SensorType = InterfaceSensorType;
    int RelayIndex = 0;            // relay number - 1, not below 0
    int Address = 0;               // device address of the link (Probe_address / Probe_type_address)
    qint64 PollInterval = 0;       // ms
    qint64 RecordingRate = 0;      // ms between two stored measurements

    std::unique_ptr<TVBTComms> Link;
    std::unique_ptr<TVBTComms> LoggerLink;
    // Held alone; shared_ptr only because it deletes types this header does not know.
    std::shared_ptr<TFlashManager> FlashManager;
    bool InSync = false;
    qint64 SavedLastRecID = -1;        // the logger record identifier the database holds
    std::unique_ptr<TNaplo> CommLog;

    // Sorted by the event id text; the events that keep this relay switched on.
    QMap<QString, RelayLockEntry> RelayLocks;

    int GraphShift = 0;
    double GraphAmp = 1.0;
    bool InvertRelay = false;

    RawValueArray RawValues{};
    ValueArray Values{};
    std::deque<TMeasuresRec> Recent;   // newest first, at most RecentLimit sets
    static constexpr int RecentLimit = 99;

    QString LastAnswer;
    QDateTime LastMeasureTime;         // null: none yet
    qint64 MeasureGap = 0;             // ms between the last two measurements
    QDateTime LastRecordTime;          // last stored live measurement
    QDateTime LastLoggerRecordTime;    // last stored measurement from logger records
    std::array<qint64, MeasureTypeCount + 1> LastRowIds{};
    bool Inactive = false;
    int EmptyRecordCount = 0;
    bool PollPending = false;
    TMeasurePipe TempWindow;
    bool AveragesReady = false;
    int Progress = 100;
    std::shared_ptr<WeatherStationState> Weather; // sensors of type 12 only; held alone

    bool RemoteActive = false;
    bool RemoteOnline = false;
    QDateTime RemoteTime;

    std::array<qint64, MeasureTypeCount + 1> CalibRaw{};

    // Interface timers.
    std::unique_ptr<Timer> SnmpTimer;
    std::unique_ptr<Timer> PanelTimer;
    std::unique_ptr<Timer> RestartTimer;
    std::unique_ptr<Timer> ClockTimer;

    // Called first when the object is destroyed (the model saves the logger record
    // identifier and withdraws the object's waiting packets from its interface's link).
    std::function<void(TProbe&)> OnDestroy;

    // What the monitor shows: on the master whether the object is used, whether its
    // interface's connection is up and the time of the last measurement; on a client
    // what the master last said.
    bool IsActive() const;
    bool IsOnline() const;
    QDateTime ValueTime() const;
    // The interface itself, or a sensor's interface (nullptr when it has none).
    const TProbe* OwningInterface() const { return isInterface() ? this : ParentInterface; }
    TProbe* OwningInterface() { return isInterface() ? this : ParentInterface; }
    // The record downloader of the interface (a sensor reaches its interface's).
    TFlashManager* OwningFlashManager() const;

    // Every value invalid (raw 20000, value 20000.0).
    void InvalidateValues();
    void SetInvalid(int measureType);
    bool HasValue(int measureType) const { return RawValues[measureType] != NoValueMarker; }

    // Names of the locking events, last entry first, separated by ",".
    QString RelayLockNames() const;
    // "not locked", or the text naming the events that hold the relay on.
    QString RelayStateText() const;
};

} // namespace cvx
