// Loading interfaces and sensors from the database or the configuration file, wiring
// their links and timers, activation.

#include "acquisition.h"

#include "long_timer.h"
#include "snmp_poller.h"
#include "weather_station.h"

#include "devproto/commands.h"
#include "link/vbt_comms.h"
#include "platform/snmp_client.h"
#include "platform/time_service.h"
#include "shell/app_paths.h"
#include "shell/catalogue.h"
#include "shell/config_file.h"
#include "shell/logs.h"
#include "shell/shell_state.h"
#include "shell/warnings.h"
#include "store/measure_store.h"
#include "store/sql_connection.h"
#include "store/sql_query.h"

#include <QDir>

#include <algorithm>
#include <limits>

namespace cvx {

namespace {

constexpr qint64 CommLogLimit = 50'000'000;
constexpr int ClockPeriodMs = 300'000;
constexpr int WeatherPollAnswerTimeoutMs = 20'000;
// Longest restart period taken from the configuration (about 19 000 years); beyond it
// the minutes would overflow the millisecond arithmetic.
constexpr qint64 MaxRestartMinutes = 10'000'000'000LL;

int timerInterval(qint64 ms) { return int(std::clamp<qint64>(ms, 1, std::numeric_limits<int>::max())); }

QString commLogPath(int id, const QString& name)
{
    QString folder = shellState().LogFolder;
    if (folder.isEmpty())
        folder = AppPaths::logFolder();
    return QDir(folder).filePath(QString::asprintf("%.3d ", id) + SafeFileName(name) + QStringLiteral(".commlog"));
}

// Panels and serial relay controllers are asked by the interface's panel timer, not
// polled through the interface's link in rotation: their links only carry the address.
bool polledByPanelTimer(int sensorType) { return isRelaySensorType(sensorType); }


} // namespace

AcquisitionHooks::AcquisitionHooks() : CloseOutdatedWarning([] { CloseAllSensorsDownWarningIfOutdated(); }) {}

struct Acquisition::InterfaceRow {
    int id = 0;
    QString name;
    int serverType = 2;
    int protocol = 1;
    QString ip;
    int port = 1001;
    int baud = 115200;
    qint64 pollInterval = 6000;
    quint32 address = 1;
    qint64 lastRecId = 0;
    bool used = true;
    bool relayLines = false;
};

struct Acquisition::SensorRow {
    int id = 0;
    QString name;
    int interfaceId = 0;
    quint32 address = 1;
    bool used = true;
    int sensorType = 4;
    int relayNumber = 1;
    int graphShift = 0;
    double graphAmp = 1.0;
    bool invertRelay = false;
    qint64 samplingRate = 0;
    qint64 recordingRate = 60000;
    QDateTime historyTime;
};

namespace {

Acquisition::InterfaceRow interfaceFromQuery(const TpSQLQuery& q);
Acquisition::SensorRow sensorFromQuery(const TpSQLQuery& q);

} // namespace

Acquisition::Acquisition(TimeService& time, ProbeLists& lists, TransportFactory* transports)
    : time_(time), lists_(lists), transports_(transports)
{
}

Acquisition::~Acquisition()
{
    // The objects' timers and link handlers call into this model.
    lists_.Clear();
    snmp_.reset();
}

bool Acquisition::master() const { return shellState().MasterMode; }

void Acquisition::SetDatabase(TpSQLConnection* connection, MeasureStore* store)
{
    db_ = connection;
    store_ = store;
}

int Acquisition::AddViewObserver(ViewObserver observer)
{
    const int handle = nextObserver_++;
    observers_.emplace(handle, std::move(observer));
    return handle;
}

void Acquisition::RemoveViewObserver(int handle)
{
    auto it = observers_.find(handle);
    if (it == observers_.end())
        return;
    if (notifying_ > 0) {
        it->second = nullptr; // erased when the notification is over
        removedWhileNotifying_ = true;
    } else {
        observers_.erase(it);
    }
}

// ------------------------------------------------------------------------- SNMP poller

TSNMPPoller* Acquisition::CreateSnmpPoller(std::unique_ptr<SnmpClient> client)
{
    QString prefix;
    if (db_) {
        auto q = db_->NewQuery(QStringLiteral("SELECT Cfg_value FROM Global_settings WHERE Cfg_key=:key"));
        q->SetParam(QStringLiteral("key"), QStringLiteral("SNMP_OID"));
        QString error;
        if (q->Open(&error) && !q->Eof())
            prefix = q->Value(0).toString().trimmed();
        else if (!error.isEmpty())
            LogLine(Fmt("errReadingGlobalSettingsIs", error));
    }
    if (!client)
        client = std::make_unique<NetSnmpClient>();
    snmp_ = std::make_unique<TSNMPPoller>(time_, lists_, std::move(client), prefix);
    snmp_->SetHandler([this](TProbe& sensor, const QByteArray& answer, quint16 code) {
        HandleAnswer(sensor, answer, code);
    });
    return snmp_.get();
}

void Acquisition::DestroySnmpPoller() { snmp_.reset(); }

// ---------------------------------------------------------------------------- loading

void Acquisition::LoadAll()
{
    loading_ = true;
    started_ = false;
    lists_.Clear();
    if (db_)
        loadFromDatabase();
    else
        loadFromIni();
    LogLine(Fmt("msgInterfacesRead", int(lists_.Interfaces.size())));
    LogLine(Fmt("labProbesRead", int(lists_.Sensors.size())));
    if (Hooks.PurgeTaskRelayLists)
        Hooks.PurgeTaskRelayLists();
    loading_ = false;
}

void Acquisition::loadFromDatabase()
{
    QString error;
    auto q = db_->NewQuery(QStringLiteral("SELECT * FROM Probe_type ORDER BY Probe_type_id"));
    if (!q->Open(&error)) {
        LogLine(Fmt("errLoadingInterfacesIs", error), true);
        return;
    }
    for (; !q->Eof(); q->Next()) {
        auto iface = std::make_unique<TProbe>();
        if (configureInterface(*iface, interfaceFromQuery(*q)))
            lists_.Interfaces.push_back(std::move(iface));
    }
    q->Close();
    if (lists_.Interfaces.empty())
        return;

    auto s = db_->NewQuery(QStringLiteral("SELECT * FROM Probe ORDER BY Probe_id"));
    if (!s->Open(&error)) {
        LogLine(Fmt("errLoadingSensorsIs", error), true);
        return;
    }
    for (; !s->Eof(); s->Next()) {
        auto sensor = std::make_unique<TProbe>();
        if (configureSensor(*sensor, sensorFromQuery(*s)))
            lists_.Sensors.push_back(std::move(sensor));
    }
}

void Acquisition::loadFromIni()
{
    IniInterfaceEntry ie;
    for (int n = 1; ReadIniInterface(n, &ie); ++n) {
        auto iface = std::make_unique<TProbe>();
        if (LoadInterfaceFromIni(*iface, ie))
            lists_.Interfaces.push_back(std::move(iface));
    }
    if (lists_.Interfaces.empty())
        return;
    IniSensorEntry se;
    for (int n = 1; ReadIniSensor(n, &se); ++n) {
        auto sensor = std::make_unique<TProbe>();
        if (LoadSensorFromIni(*sensor, se))
            lists_.Sensors.push_back(std::move(sensor));
    }
}

bool Acquisition::LoadInterface(TProbe& iface, int probeTypeId)
{
    if (!db_)
        return false;
    auto q = db_->NewQuery(QStringLiteral("SELECT * FROM Probe_type WHERE Probe_type_id=:id"));
    q->SetParam(QStringLiteral("id"), probeTypeId);
    QString error;
    if (!q->Open(&error)) {
        LogLine(Fmt("errLoadingInterfacesIs", error), true);
        return false;
    }
    if (q->Eof())
        return false;
    return configureInterface(iface, interfaceFromQuery(*q));
}

bool Acquisition::LoadSensor(TProbe& sensor, int probeId)
{
    if (!db_)
        return false;
    auto q = db_->NewQuery(QStringLiteral("SELECT * FROM Probe WHERE Probe_id=:id"));
    q->SetParam(QStringLiteral("id"), probeId);
    QString error;
    if (!q->Open(&error)) {
        LogLine(Fmt("errLoadingSensorsIs", error), true);
        return false;
    }
    if (q->Eof())
        return false;
    const SensorRow row = sensorFromQuery(*q);
    q->Close();
    return configureSensor(sensor, row);
}

bool Acquisition::LoadInterfaceFromIni(TProbe& iface, const IniInterfaceEntry& e)
{
    InterfaceRow row;
    row.id = e.number;
    row.name = e.name;
    row.serverType = e.serverType;
    row.protocol = e.protocol;
    row.ip = e.ip;
    row.port = e.port;
    row.baud = e.baud;
    row.pollInterval = e.interval;
    row.address = quint32(e.address);
    row.used = true;
    return configureInterface(iface, row);
}

bool Acquisition::LoadSensorFromIni(TProbe& sensor, const IniSensorEntry& e)
{
    SensorRow row;
    row.id = e.number;
    row.name = e.name;
    row.interfaceId = e.interfaceNumber;
    row.sensorType = e.type;
    row.address = quint32(e.address);
    row.used = true;
    if (const TProbe* iface = lists_.FindInterface(e.interfaceNumber))
        row.samplingRate = iface->PollInterval;
    return configureSensor(sensor, row);
}

namespace {

Acquisition::InterfaceRow interfaceFromQuery(const TpSQLQuery& q)
{
    Acquisition::InterfaceRow r;
    r.id = int(q.AsInteger(QStringLiteral("Probe_type_id")));
    r.name = q.AsString(QStringLiteral("Probe_type_name")).trimmed();
    r.serverType = int(q.AsInteger(QStringLiteral("Server_type_code"), 2));
    r.protocol = int(q.AsInteger(QStringLiteral("Protocol_type_code"), 1));
    r.ip = q.AsString(QStringLiteral("IP")).trimmed();
    r.port = int(q.AsInteger(QStringLiteral("Port"), 1001));
    r.baud = int(q.AsInteger(QStringLiteral("Baudrate"), 115200));
    r.pollInterval = q.AsInteger(QStringLiteral("Polling_interval"), 6000);
    r.address = quint32(q.AsInteger(QStringLiteral("Probe_type_address"), 1));
    r.lastRecId = q.AsInteger(QStringLiteral("Last_RecID"), 0);
    r.used = q.AsBoolean(QStringLiteral("Is_used"));
    r.relayLines = q.AsBoolean(QStringLiteral("Relekezeles"));
    return r;
}

Acquisition::SensorRow sensorFromQuery(const TpSQLQuery& q)
{
    Acquisition::SensorRow r;
    r.id = int(q.AsInteger(QStringLiteral("Probe_id")));
    r.name = q.AsString(QStringLiteral("Probe_name")).trimmed();
    r.interfaceId = int(q.AsInteger(QStringLiteral("Probe_type_id")));
    r.address = quint32(q.AsInteger(QStringLiteral("Probe_address"), 1));
    r.used = q.AsBoolean(QStringLiteral("Probe_is_used"));
    r.sensorType = int(q.AsInteger(QStringLiteral("Sensor_type_code"), 4));
    r.relayNumber = int(q.AsInteger(QStringLiteral("Relay_number"), 1));
    r.graphShift = int(q.AsInteger(QStringLiteral("Graph_shift"), 0));
    r.graphAmp = q.AsFloat(QStringLiteral("Graph_amp"), 1.0);
    r.invertRelay = q.AsBoolean(QStringLiteral("Invert_relay"));
    r.samplingRate = q.AsInteger(QStringLiteral("Sampling_rate"), 0);
    r.recordingRate = q.AsInteger(QStringLiteral("Recording_rate"), 0);
    r.historyTime = q.AsDateTime(QStringLiteral("ws_hist_ts"));
    return r;
}

} // namespace

// -------------------------------------------------------------------------- configuring

bool Acquisition::configureInterface(TProbe& iface, const InterfaceRow& row)
{
    if (!isValidServerType(row.serverType)) {
        LogLine(Fmt("errUnknownServerType", row.id, row.name, row.serverType), true);
        return false;
    }
    if (!isValidProtocolType(row.protocol)) {
        LogLine(Fmt("errUnknownProtocolType", row.id, row.name, row.protocol), true);
        return false;
    }
    iface.Id = row.id;
    iface.Name = row.name;
    iface.ParentInterface = nullptr;
    iface.ServerType = row.serverType;
    iface.ProtocolType = row.protocol;
    iface.SensorType = InterfaceSensorType;
    iface.Address = int(row.address);
    iface.IsUsed = row.used;

    if (!iface.CommLog)
        iface.CommLog = std::make_unique<TNaplo>(&time_);
    iface.CommLog->CloseFile();
    iface.CommLog->LogLimit = CommLogLimit;
    iface.CommLog->LogFile = commLogPath(row.id, row.name);
    iface.CommLog->Logging = true;

    if (!iface.Link)
        iface.Link = std::make_unique<TVBTComms>(time_, transports_);
    TVBTComms& link = *iface.Link;
    link.Port = row.port;
    link.Baud = row.baud;
    link.PollTimerInterval = timerInterval(row.pollInterval);
    link.Host = serverUsesSerialPort(row.serverType) ? QString() : row.ip;
    link.PollCmd = cmd::Poll;
    link.Pollingolo = !serverHasDataLogger(row.serverType) && (row.protocol == ptVBT || row.protocol == ptVBTW);
    link.MindenNaplozasa = serverHasDataLogger(row.serverType);
    link.DOV_to_VBT = row.protocol == ptDOV;
    link.Log_Raw_Data = row.protocol == ptDOV;
    link.SetVBTMode(row.protocol == ptVBTW ? PMDecodeBothEncodeVBTW : PMDecodeBothEncodeVBT);
    link.FindClientsByVBTWAddr = row.protocol == ptVBTW && shellState().UseVBTWAddresses;
    link.ReleVezerlesSorosPorton = row.relayLines;
    // SNMP agents are asked by the SNMP poller; the link only names the host.
    link.NoPortOpen = row.protocol == ptSNMP;
    // Weather stations answer slowly; their sensors raise this when they load.
    link.Timeout_Poll = hasWeatherSensor(iface) ? WeatherPollAnswerTimeoutMs : 100;
    link.LogWriter = iface.CommLog.get();
    TProbe* self = &iface;
    link.OnDisConnect = [self] { self->InSync = false; };

    if (!iface.LoggerLink)
        iface.LoggerLink = std::make_unique<TVBTComms>(time_, transports_);
    TVBTComms& logger = *iface.LoggerLink;
    logger.VBTAddress = row.address;
    logger.PortOwner = &link;
    logger.OnRead = TOnIncoming_tagged::keyed(self, "logger", [this, self](const QByteArray& s, quint16 code, int) {
        HandleLoggerEvent(*self, s, code);
    });
    wireFlashManager(iface, row.lastRecId);

    iface.PollInterval = row.pollInterval;
    iface.MeasureGap = row.pollInterval;
    iface.LastMeasureTime = QDateTime();
    iface.LastRecordTime = QDateTime();
    iface.InvalidateValues();
    createInterfaceTimers(iface);

    iface.OnDestroy = [this](TProbe& p) { SaveLastRecID(p); };
    return true;
}

bool Acquisition::hasWeatherSensor(const TProbe& iface) const
{
    for (const auto& s : lists_.Sensors)
        if (s->ParentInterface == &iface && s->SensorType == stWeatherStation)
            return true;
    return false;
}

void Acquisition::createInterfaceTimers(TProbe& iface)
{
    TProbe* self = &iface;
    if (!iface.SnmpTimer)
        iface.SnmpTimer = time_.createTimer([this, self] { SnmpTick(*self); });
    if (!iface.PanelTimer)
        iface.PanelTimer = time_.createTimer([this, self] { PanelTick(*self); });
    if (!iface.RestartTimer)
        iface.RestartTimer = std::make_unique<LongTimer>(time_, [this, self] { RestartTick(*self); });
    if (!iface.ClockTimer)
        iface.ClockTimer = time_.createTimer([this, self] { ClockTick(*self); });
    const bool snmpRunning = iface.SnmpTimer->isActive();
    const bool panelRunning = iface.PanelTimer->isActive();
    iface.SnmpTimer->setInterval(timerInterval(iface.PollInterval));
    iface.PanelTimer->setInterval(timerInterval(iface.PollInterval));
    iface.ClockTimer->setInterval(ClockPeriodMs);
    const qint64 minutes = std::min(shellState().Restart_everything_interval_minutes, MaxRestartMinutes);
    static_cast<LongTimer&>(*iface.RestartTimer).setLongInterval(std::max<qint64>(1, minutes) * 60'000);
    if (!snmpRunning)
        iface.SnmpTimer->stop();
    if (!panelRunning)
        iface.PanelTimer->stop();
}

void Acquisition::startInterfaceTimers(TProbe& iface, bool on)
{
    if (!iface.PanelTimer)
        return;
    const bool snmp = on && iface.ProtocolType == ptSNMP;
    if (snmp != iface.SnmpTimer->isActive())
        iface.SnmpTimer->setEnabled(snmp);
    if (on != iface.PanelTimer->isActive())
        iface.PanelTimer->setEnabled(on);
    const bool restart = on && shellState().Restart_everything_interval_minutes > 0;
    if (restart != iface.RestartTimer->isActive())
        iface.RestartTimer->setEnabled(restart);
    const bool clock = on && iface.LoggerLink && iface.LoggerLink->Active();
    if (clock != iface.ClockTimer->isActive())
        iface.ClockTimer->setEnabled(clock);
}

bool Acquisition::configureSensor(TProbe& sensor, const SensorRow& row)
{
    if (!isValidSensorType(row.sensorType)) {
        LogLine(Fmt("errUnknownSensorType", row.id, row.name, row.sensorType), true);
        return false;
    }
    TProbe* iface = lists_.FindInterface(row.interfaceId);
    if (!iface) {
        LogLine(Fmt("errSensorInterfaceMissing", row.id, row.name, row.interfaceId), true);
        return false;
    }
    sensor.Id = row.id;
    sensor.Name = row.name;
    sensor.ParentInterface = iface;
    sensor.ServerType = iface->ServerType;
    sensor.ProtocolType = iface->ProtocolType;
    sensor.SensorType = row.sensorType;
    sensor.RelayIndex = std::max(0, row.relayNumber - 1);
    sensor.GraphShift = row.graphShift;
    sensor.GraphAmp = row.graphAmp;
    sensor.InvertRelay = row.invertRelay;
    sensor.PollInterval = row.samplingRate;
    sensor.RecordingRate = row.recordingRate;
    sensor.IsUsed = row.used;
    sensor.Address = int(row.address);

    if (!sensor.Link)
        sensor.Link = std::make_unique<TVBTComms>(time_, transports_);
    TVBTComms& link = *sensor.Link;
    TProbe* self = &sensor;
    link.VBTAddress = row.address;
    link.OnRead = TOnIncoming_tagged::keyed(self, "answer", [this, self](const QByteArray& s, quint16 code, int) {
        HandleAnswer(*self, s, code);
    });
    link.Nyugtat_is_jelezze = true;
    link.Pollingolo = false;
    link.NoPortOpen = false;
    if (polledByPanelTimer(row.sensorType)) {
        link.PollCmd = CmdRelay(cmd::CRLGS, sensor.RelayIndex);
        link.PollAns = cmd::ARLGS;
        link.PortOwner = nullptr;
        link.NoPortOpen = true;
    } else if (row.sensorType == stWeatherStation) {
        if (!sensor.Weather)
            sensor.Weather = std::make_shared<WeatherStationState>();
        *sensor.Weather = WeatherStationState();
        // The last imported history time survives restarts in the sensor's row, so the
        // station's history is not imported again at every start.
        sensor.Weather->LastHistoryTime = row.historyTime;
        link.PollCmd = weather::ReadCommand(0, 0);
        link.PollAns = cmd::AWSRM;
        link.PortOwner = iface->Link.get();
        iface->Link->Timeout_Poll = WeatherPollAnswerTimeoutMs;
    } else {
        link.PollCmd = cmd::Poll;
        link.PollAns = cmd::AITGD;
        link.PortOwner = iface->Link.get();
    }
    if (row.sensorType != stWeatherStation)
        sensor.Weather.reset();

    sensor.LastMeasureTime = QDateTime();
    sensor.LastRecordTime = QDateTime();
    sensor.LastLoggerRecordTime = QDateTime();
    sensor.MeasureGap = sensor.PollInterval;
    sensor.LastRowIds.fill(0);
    sensor.EmptyRecordCount = 0;
    sensor.InvalidateValues();
    FillTempWindow(sensor);

    sensor.OnDestroy = [](TProbe& p) {
        // Panel polls waiting on the interface's link call back into this object.
        if (p.ParentInterface && p.ParentInterface->Link)
            p.ParentInterface->Link->ClearQueueByHandler(
                TOnIncoming_tagged::keyed(&p, "panel", [](const QByteArray&, quint16, int) {}));
    };
    return true;
}

// ------------------------------------------------------------------------- activation

void Acquisition::Activate(TProbe& object, bool on)
{
    if (object.isInterface()) {
        if (object.Link)
            object.Link->SetActive(on);
        if (object.LoggerLink)
            object.LoggerLink->SetActive(on && serverHasDataLogger(object.ServerType));
        startInterfaceTimers(object, on);
        return;
    }
    if (object.Link && !polledByPanelTimer(object.SensorType))
        object.Link->SetActive(on);
}

void Acquisition::StartAll()
{
    if (!master())
        return;
    for (const auto& iface : lists_.Interfaces)
        Activate(*iface, iface->IsUsed);
    for (const auto& sensor : lists_.Sensors)
        Activate(*sensor, sensor->IsUsed);
    started_ = true;
}

bool Acquisition::Reload(TProbe& object)
{
    Activate(object, false);
    bool ok = false;
    if (db_) {
        ok = object.isInterface() ? LoadInterface(object, object.Id) : LoadSensor(object, object.Id);
    } else if (object.isInterface()) {
        IniInterfaceEntry e;
        ok = ReadIniInterface(object.Id, &e) && LoadInterfaceFromIni(object, e);
    } else {
        IniSensorEntry e;
        ok = ReadIniSensor(object.Id, &e) && LoadSensorFromIni(object, e);
    }
    if (ok && started_ && master())
        Activate(object, object.IsUsed);
    return ok;
}

} // namespace cvx
