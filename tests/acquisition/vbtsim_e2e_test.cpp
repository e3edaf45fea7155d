// End to end: the model loaded from a local database configured for a vbtsim
// scenario, started, polling the simulator over real TCP with every timer on virtual
// time; the Measure table then holds the scenario's values.

#include "acquisition_fixture.h"

#include "link_wait.h"
#include "platform/manual_time_service.h"
#include "store/connection_string.h"
#include "store/data_module.h"
#include "store/db_check.h"
#include "store/sql_query.h"
#include "vbtsim_process.h"

#include <QCoreApplication>

using namespace cvx;
using namespace cvx::test;

namespace {

constexpr int IoWaitMs = 60'000; // upper bound of every wait for real I/O

const char* Scenario = R"({"name": "acquisition", "interfaces": [
  {"name": "room", "protocol": "VBT", "tcp": {"port": 0}, "devices": [
    {"name": "rack", "address": 5, "type": 4, "values": {"T": 22.5, "H": 45.2}},
    {"name": "lab", "address": 6, "type": 5, "values": {"T": 19.25, "H": 50, "P": 1013.25}},
    {"name": "broken", "address": 8, "type": 4, "faults": {"broken": true}},
    {"name": "relays", "address": 20, "type": 8, "relays": 8, "states": [0, 1, 0, 0, 0, 0, 0, 0]}]},
  {"name": "roof", "protocol": "VBT", "tcp": {"port": 0}, "devices": [
    {"name": "ws", "address": 30, "type": 12, "values": {"T": -0.55, "H": 41, "P": 1013.2, "TOutd": 8.4,
      "HOutd": 72, "WndSp": 3.4, "WndDir": 6, "WndCh": 6.1, "Dewp": 3.6, "Rain1h": 0.3, "Rain24h": 2.7,
      "RainTot": 417.5}, "history": {"interval": 30, "records": 5}}]}]})";

class VbtsimEndToEnd : public ::testing::Test {
protected:
    VbtsimEndToEnd()
    {
        resetShellState();
        Catalogue::instance().select(Catalogue::Hungarian);
        shellState().MasterMode = true;
        shellState().LogFolder = home.path();
    }
    ~VbtsimEndToEnd() override
    {
        acq.reset();
        dm.reset();
        resetShellState();
    }
    void exec(const QString& sql)
    {
        auto c = dm->conMainConnection.NewCommand(sql);
        QString error;
        ASSERT_TRUE(c->Execute(nullptr, &error)) << sql.toStdString() << ": " << error.toStdString();
    }
    QString value(int probe, int mt)
    {
        dm->FlushMeasurements();
        auto q = dm->conMainConnection.NewQuery(
            QStringLiteral("SELECT Measure_value FROM Measure WHERE Probe_id=%1 AND Measure_type_code=%2 "
                           "ORDER BY Measure_datetime DESC")
                .arg(probe)
                .arg(mt));
        return q->Open() && !q->Eof() ? q->Value(0).toString() : QString();
    }
    int count(const QString& where)
    {
        dm->FlushMeasurements();
        auto q = dm->conMainConnection.NewQuery(QStringLiteral("SELECT COUNT(*) FROM Measure WHERE ") + where);
        return q->Open() && !q->Eof() ? q->Value(0).toInt() : -1;
    }
    // Real I/O until done, the model's timers on virtual time.
    bool pump(const std::function<bool()>& done)
    {
        const auto onTheLine = [this] {
            for (const auto& i : lists.Interfaces)
                if (waitingOnDevice(i->Link.get()) || waitingOnDevice(i->LoggerLink.get()))
                    return true;
            return false;
        };
        return pumpVirtualTime(time, onTheLine, done, IoWaitMs);
    }

    TempHome home;
    CapturedMainLog log;
    // The simulated station keeps the real date: virtual time starts there.
    ManualTimeService time{QDateTime::currentDateTime()};
    ProbeLists lists;
    std::unique_ptr<TfDM> dm;
    std::unique_ptr<Acquisition> acq;
};

TEST_F(VbtsimEndToEnd, PolledValuesOfTheScenarioReachTheMeasureTable)
{
    VbtsimProcess sim;
    ASSERT_TRUE(sim.start(Scenario)) << sim.stderrText().toStdString();
    const QString conn = LocalConnectionString(home.file(QStringLiteral("e2e.db")));
    QString error;
    ASSERT_TRUE(CreateLocalDatabase(conn, &error)) << error.toStdString();
    dm = std::make_unique<TfDM>(time);
    ASSERT_TRUE(dm->OpenMainConnection(conn, &error)) << error.toStdString();
    exec(QStringLiteral("INSERT INTO Probe_type (Probe_type_id, Probe_type_name, Server_type_code, Protocol_type_code, "
                        "IP, Port, Baudrate, Polling_interval, Probe_type_address, Is_used) VALUES "
                        "(1, 'room', 2, 1, '127.0.0.1', %1, 115200, 500, 1, 1)")
             .arg(sim.port(QStringLiteral("room"))));
    exec(QStringLiteral("INSERT INTO Probe_type (Probe_type_id, Probe_type_name, Server_type_code, Protocol_type_code, "
                        "IP, Port, Baudrate, Polling_interval, Probe_type_address, Is_used) VALUES "
                        "(2, 'roof', 2, 1, '127.0.0.1', %1, 115200, 200, 1, 1)")
             .arg(sim.port(QStringLiteral("roof"))));
    // A third interface points at a port nobody listens on; a row names an unknown type.
    exec(QStringLiteral("INSERT INTO Probe_type (Probe_type_id, Probe_type_name, Server_type_code, Protocol_type_code, "
                        "IP, Port, Baudrate, Polling_interval, Probe_type_address, Is_used) VALUES "
                        "(3, 'closed', 2, 1, '127.0.0.1', 9, 115200, 500, 1, 1)"));
    const auto sensor = [&](int id, int iface, int address, int type, int relay = 1) {
        exec(QStringLiteral("INSERT INTO Probe (Probe_id, Probe_name, Probe_type_id, Probe_address, Probe_is_used, "
                            "Sensor_type_code, Recording_rate, Sampling_rate, Relay_number) VALUES "
                            "(%1, 'p%1', %2, %3, 1, %4, 60000, 500, %5)")
                 .arg(id)
                 .arg(iface)
                 .arg(address)
                 .arg(type)
                 .arg(relay));
    };
    sensor(1, 1, 5, stTempHumidity);
    sensor(2, 1, 6, stTempHumidityPressure);
    sensor(3, 1, 20, stRelayPanel, 2);
    sensor(4, 1, 8, stTempHumidity);
    sensor(5, 2, 30, stWeatherStation);
    sensor(6, 3, 5, stTempHumidity);
    sensor(7, 1, 9, 77);

    acq = std::make_unique<Acquisition>(time, lists, nullptr);
    acq->SetDatabase(&dm->conMainConnection, dm.get());
    acq->LoadAll();
    ASSERT_EQ(lists.Interfaces.size(), 3u);
    ASSERT_EQ(lists.Sensors.size(), 6u);
    acq->StartAll();

    ASSERT_TRUE(pump([&] {
        return !value(1, mtH).isEmpty() && !value(2, mtP).isEmpty() && !value(3, mtRState).isEmpty()
            && !value(5, mtTOutd).isEmpty() && count(QStringLiteral("Probe_id=5 AND Measure_type_code=16")) >= 6;
    })) << sim.stderrText().toStdString();

    EXPECT_EQ(value(1, mtT), "2250");
    EXPECT_EQ(value(1, mtH), "452");
    EXPECT_FALSE(value(1, mtUe).isEmpty());
    EXPECT_EQ(value(2, mtT), "1925");
    EXPECT_EQ(value(2, mtH), "500");
    EXPECT_EQ(value(2, mtP), "1013250");
    EXPECT_EQ(value(3, mtRState), "1");
    EXPECT_EQ(count(QStringLiteral("Probe_id=4")), 0) << "a broken element gives no value at all";
    EXPECT_EQ(value(5, mtT), "-55");
    EXPECT_EQ(value(5, mtH), "410");
    EXPECT_EQ(value(5, mtP), "1013200");
    EXPECT_EQ(value(5, mtTOutd), "840");
    EXPECT_EQ(value(5, mtWndSp), "122"); // 3.4 m/s read as 34 tenths, times 3.6
    EXPECT_EQ(value(5, mtWndDir), "6");
    EXPECT_EQ(value(5, mtRainTot), "41750");
    EXPECT_TRUE(log.contains(QStringLiteral("5 korábbi mérés adata letöltve."))) << "the station's history";
    // History records keep whole millimetres of rain and one decimal of temperature.
    EXPECT_EQ(count(QStringLiteral("Probe_id=5 AND Measure_type_code=16 AND Measure_value='41800'")), 5);
    EXPECT_EQ(count(QStringLiteral("Probe_id=5 AND Measure_type_code=1 AND Measure_value='-50'")), 5);
    EXPECT_EQ(count(QStringLiteral("Probe_id=6")), 0);
    EXPECT_TRUE(lists.FindInterface(1)->Link->Connected());
    EXPECT_FALSE(lists.FindInterface(3)->Link->Connected()) << "nobody listens there";
    EXPECT_GT(acq->AnswersHandled(), 5);
    // The rows of one sensor hold the latest values between recordings: only one row
    // per measure type in the first minute.
    EXPECT_EQ(count(QStringLiteral("Probe_id=1 AND Measure_type_code=1")), 1);
}

} // namespace
