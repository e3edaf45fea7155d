// Interfaces and sensors loaded from a local database and from the configuration
// file, their links and timers; recording into a real database.

#include "acquisition_fixture.h"

#include "acquisition/long_timer.h"
#include "acquisition/weather_station.h"
#include "devproto/binary_params.h"
#include "devproto/flash_manager.h"
#include "link/vbt_comms.h"
#include "store/connection_string.h"
#include "store/data_module.h"
#include "store/db_check.h"
#include "store/sql_query.h"

#include <QFileInfo>

using namespace cvx;
using namespace cvx::test;

namespace {

class DbModelTest : public AcquisitionTest {
protected:
    DbModelTest()
    {
        const QString conn = LocalConnectionString(home.file(QStringLiteral("acq.db")));
        QString error;
        created = CreateLocalDatabase(conn, &error);
        EXPECT_TRUE(created) << error.toStdString();
        dm = std::make_unique<TfDM>(time);
        EXPECT_TRUE(dm->OpenMainConnection(conn, &error)) << error.toStdString();
        acq->SetDatabase(&dm->conMainConnection, dm.get());
    }
    ~DbModelTest() override
    {
        acq.reset(); // saves through the connection
        dm.reset();
    }
    void exec(const QString& sql)
    {
        auto c = dm->conMainConnection.NewCommand(sql);
        QString error;
        ASSERT_TRUE(c->Execute(nullptr, &error)) << sql.toStdString() << ": " << error.toStdString();
    }
    QVariant scalar(const QString& sql)
    {
        dm->FlushMeasurements();
        auto q = dm->conMainConnection.NewQuery(sql);
        return q->Open() && !q->Eof() ? q->Value(0) : QVariant();
    }
    void addInterfaceRow(int id, const QString& name, int server, int protocol, const QString& ip, int port,
                         int interval, int address = 1, int lastRecId = 0, int relayLines = 0, int used = 1)
    {
        exec(QStringLiteral("INSERT INTO Probe_type (Probe_type_id, Probe_type_name, Server_type_code, "
                            "Protocol_type_code, IP, Port, Baudrate, Polling_interval, Probe_type_address, Last_RecID, "
                            "Is_used, Relekezeles) VALUES (%1, '%2', %3, %4, '%5', %6, 9600, %7, %8, %9, %10, %11)")
                 .arg(id)
                 .arg(name)
                 .arg(server)
                 .arg(protocol)
                 .arg(ip)
                 .arg(port)
                 .arg(interval)
                 .arg(address)
                 .arg(lastRecId)
                 .arg(used)
                 .arg(relayLines));
    }
    void addSensorRow(int id, int iface, int type, int address, int relayNumber = 1, int invert = 0,
                      int recording = 60000, int sampling = 2000, int used = 1)
    {
        exec(QStringLiteral("INSERT INTO Probe (Probe_id, Probe_name, Probe_type_id, Probe_address, Probe_is_used, "
                            "Sensor_type_code, Recording_rate, Sampling_rate, Relay_number, Graph_shift, Graph_amp, "
                            "Invert_relay) VALUES (%1, 'sensor %1', %2, %3, %4, %5, %6, %7, %8, 3, 1.5, %9)")
                 .arg(id)
                 .arg(iface)
                 .arg(address)
                 .arg(used)
                 .arg(type)
                 .arg(recording)
                 .arg(sampling)
                 .arg(relayNumber)
                 .arg(invert));
    }

    bool created = false;
    std::unique_ptr<TfDM> dm;
};

TEST_F(DbModelTest, LoadAllBuildsAndWiresTheModelAndSkipsBrokenRows)
{
    addInterfaceRow(7, QStringLiteral("Szerver/1: B"), 2, 1, QStringLiteral("127.0.0.1"), 4001, 2000);
    addInterfaceRow(8, QStringLiteral("soros"), 4, 1, QStringLiteral("10.0.0.9"), 3, 6000, 1, 0, 1);
    addInterfaceRow(9, QStringLiteral("logger"), 3, 4, QStringLiteral("127.0.0.1"), 4002, 60000, 249, 100);
    addInterfaceRow(10, QStringLiteral("snmp"), 1, 3, QStringLiteral("127.0.0.1:1161"), 161, 10000);
    addInterfaceRow(11, QStringLiteral("dov"), 1, 2, QStringLiteral("127.0.0.1"), 4003, 2000);
    addInterfaceRow(12, QStringLiteral("broken"), 9, 1, QStringLiteral("127.0.0.1"), 4004, 2000);
    addSensorRow(1, 7, stTempHumidity, 5);
    addSensorRow(2, 7, stRelayPanel, 20, /*relay number*/ 0, /*invert*/ 1);
    addSensorRow(3, 7, 99, 6);
    addSensorRow(4, 99, stTempHumidity, 7);
    addSensorRow(5, 9, stWeatherStation, 6);
    addSensorRow(6, 12, stTempHumidity, 8);
    addSensorRow(7, 10, stSNMPClimate, 3);
    int purged = 0;
    acq->Hooks.PurgeTaskRelayLists = [&] { ++purged; };

    acq->LoadAll();

    ASSERT_EQ(lists.Interfaces.size(), 5u);
    ASSERT_EQ(lists.Sensors.size(), 4u);
    EXPECT_TRUE(log.contains(QStringLiteral("5 csatoló beolvasva.")));
    EXPECT_TRUE(log.contains(QStringLiteral("4 szenzor beolvasva.")));
    EXPECT_TRUE(log.contains(Fmt("errUnknownServerType", 12, QStringLiteral("broken"), 9)));
    EXPECT_TRUE(log.contains(Fmt("errUnknownSensorType", 3, QStringLiteral("sensor 3"), 99)));
    EXPECT_TRUE(log.contains(Fmt("errSensorInterfaceMissing", 4, QStringLiteral("sensor 4"), 99)));
    EXPECT_TRUE(log.contains(Fmt("errSensorInterfaceMissing", 6, QStringLiteral("sensor 6"), 12)));
    EXPECT_EQ(purged, 1);
    EXPECT_FALSE(acq->Loading());

    TProbe* tcp = lists.FindInterface(7);
    ASSERT_TRUE(tcp);
    EXPECT_EQ(tcp->SensorType, -1);
    EXPECT_TRUE(tcp->isInterface());
    EXPECT_EQ(tcp->Link->Host, "127.0.0.1");
    EXPECT_EQ(tcp->Link->Port, 4001);
    EXPECT_EQ(tcp->Link->PollTimerInterval, 2000);
    EXPECT_TRUE(tcp->Link->Pollingolo);
    EXPECT_EQ(tcp->Link->PollCmd, "c");
    EXPECT_FALSE(tcp->Link->MindenNaplozasa);
    EXPECT_EQ(tcp->Link->VBTMode(), PMDecodeBothEncodeVBT);
    EXPECT_EQ(tcp->LoggerLink->PortOwner, tcp->Link.get());
    EXPECT_EQ(tcp->LoggerLink->VBTAddress, 1u);
    EXPECT_EQ(QFileInfo(tcp->CommLog->LogFile).fileName(), "007 Szerver_1_ B.commlog");
    EXPECT_EQ(QFileInfo(tcp->CommLog->LogFile).absolutePath(), QFileInfo(home.path()).absoluteFilePath());
    EXPECT_EQ(tcp->CommLog->LogLimit, 50'000'000);
    EXPECT_TRUE(tcp->CommLog->Logging);
    EXPECT_EQ(tcp->Link->LogWriter, tcp->CommLog.get());
    EXPECT_EQ(tcp->MeasureGap, 2000);

    TProbe* serial = lists.FindInterface(8);
    EXPECT_TRUE(serial->Link->Host.isEmpty()) << "a serial bridge has no host";
    EXPECT_EQ(serial->Link->Port, 3);
    EXPECT_EQ(serial->Link->Baud, 9600);
    EXPECT_TRUE(serial->Link->ReleVezerlesSorosPorton);

    TProbe* logger = lists.FindInterface(9);
    EXPECT_FALSE(logger->Link->Pollingolo) << "the logger polls its sensors itself";
    EXPECT_TRUE(logger->Link->MindenNaplozasa);
    EXPECT_EQ(logger->Link->VBTMode(), PMDecodeBothEncodeVBTW);
    EXPECT_EQ(logger->LoggerLink->VBTAddress, 249u);
    EXPECT_EQ(logger->Link->Timeout_Poll, 20'000) << "a weather station answers slowly";

    TProbe* snmp = lists.FindInterface(10);
    EXPECT_FALSE(snmp->Link->Pollingolo);
    EXPECT_TRUE(snmp->Link->NoPortOpen);
    TProbe* dov = lists.FindInterface(11);
    EXPECT_TRUE(dov->Link->DOV_to_VBT);
    EXPECT_TRUE(dov->Link->Log_Raw_Data);

    TProbe* th = lists.FindSensor(1);
    ASSERT_TRUE(th);
    EXPECT_EQ(th->ParentInterface, tcp);
    EXPECT_EQ(th->ServerType, 2);
    EXPECT_EQ(th->ProtocolType, 1);
    EXPECT_EQ(th->Link->PortOwner, tcp->Link.get());
    EXPECT_EQ(th->Link->VBTAddress, 5u);
    EXPECT_EQ(th->Link->PollCmd, "c");
    EXPECT_EQ(th->Link->PollAns, "AITGD");
    EXPECT_EQ(th->PollInterval, 2000);
    EXPECT_EQ(th->RecordingRate, 60000);
    EXPECT_EQ(th->GraphShift, 3);
    EXPECT_DOUBLE_EQ(th->GraphAmp, 1.5);
    EXPECT_TRUE(th->AveragesReady);
    EXPECT_EQ(th->RawValues[mtT], NoValueMarker);

    TProbe* relay = lists.FindSensor(2);
    EXPECT_EQ(relay->RelayIndex, 0) << "relay number 0 counts as relay 1";
    EXPECT_TRUE(relay->InvertRelay);
    EXPECT_EQ(relay->Link->PortOwner, nullptr);
    EXPECT_EQ(relay->Link->PollCmd, QByteArray("CRLGS") + char(0));
    EXPECT_EQ(lists.FindSensorByAddress(tcp, 20), relay);

    TProbe* ws = lists.FindSensor(5);
    EXPECT_EQ(ws->Link->PollCmd, QByteArray("CWSRM") + char(0x46) + char(0x03) + char(2) + char(0));
    EXPECT_EQ(ws->Link->PollAns, "AWSRM");
    ASSERT_TRUE(ws->Weather);
    EXPECT_EQ(ws->Weather->ReadIndex, -1);

    EXPECT_EQ(lists.FindSensor(-1), nullptr);
    EXPECT_EQ(lists.FindSensor(3), nullptr);
}

TEST_F(DbModelTest, WithoutAnyInterfaceNoSensorIsRead)
{
    addInterfaceRow(1, QStringLiteral("broken"), 2, 7, QStringLiteral("h"), 1, 1000);
    addSensorRow(1, 1, stTempHumidity, 5);
    acq->LoadAll();
    EXPECT_TRUE(lists.Interfaces.empty());
    EXPECT_TRUE(lists.Sensors.empty());
    EXPECT_TRUE(log.contains(Fmt("errUnknownProtocolType", 1, QStringLiteral("broken"), 7)));
    EXPECT_TRUE(log.contains(QStringLiteral("0 szenzor beolvasva.")));
    EXPECT_FALSE(log.contains(Fmt("errSensorInterfaceMissing", 1, QStringLiteral("sensor 1"), 1)));
}

TEST_F(DbModelTest, ReloadTakesTheChangedRowAndActivatesAgain)
{
    addInterfaceRow(1, QStringLiteral("a"), 2, 1, QStringLiteral("127.0.0.1"), 4001, 2000);
    addInterfaceRow(2, QStringLiteral("b"), 2, 1, QStringLiteral("127.0.0.1"), 4002, 2000);
    addSensorRow(1, 1, stTempHumidity, 5);
    acq->LoadAll();
    acq->StartAll();
    TProbe* s = lists.FindSensor(1);
    ASSERT_TRUE(s->Link->Active());
    EXPECT_TRUE(lists.FindInterface(1)->Link->Active());

    exec(QStringLiteral("UPDATE Probe SET Probe_type_id=2, Probe_address=9, Recording_rate=5000, "
                        "Probe_name='renamed' WHERE Probe_id=1"));
    ASSERT_TRUE(acq->Reload(*s));
    EXPECT_EQ(s->Name, "renamed");
    EXPECT_EQ(s->RecordingRate, 5000);
    EXPECT_EQ(s->ParentInterface, lists.FindInterface(2));
    EXPECT_EQ(s->Link->PortOwner, lists.FindInterface(2)->Link.get());
    EXPECT_TRUE(s->Link->Active());
    EXPECT_TRUE(lists.FindInterface(2)->Link->Clients().contains(s->Link.get()));
    EXPECT_FALSE(lists.FindInterface(1)->Link->Clients().contains(s->Link.get()));

    exec(QStringLiteral("UPDATE Probe SET Probe_is_used=0 WHERE Probe_id=1"));
    ASSERT_TRUE(acq->Reload(*s));
    EXPECT_FALSE(s->Link->Active()) << "an unused sensor stays inactive";

    exec(QStringLiteral("DELETE FROM Probe WHERE Probe_id=1"));
    EXPECT_FALSE(acq->Reload(*s));
}

TEST_F(DbModelTest, StartAllActivatesOnTheMasterOnly)
{
    addInterfaceRow(1, QStringLiteral("a"), 2, 1, QStringLiteral("127.0.0.1"), 4001, 2000);
    addInterfaceRow(2, QStringLiteral("unused"), 2, 1, QStringLiteral("127.0.0.1"), 4002, 2000, 1, 0, 0, 0);
    addSensorRow(1, 1, stTempHumidity, 5);
    addSensorRow(2, 1, stTempHumidity, 6, 1, 0, 60000, 2000, 0);
    acq->LoadAll();
    shellState().MasterMode = false;
    acq->StartAll();
    EXPECT_FALSE(lists.FindInterface(1)->Link->Active());
    EXPECT_FALSE(lists.FindInterface(1)->PanelTimer->isActive());
    shellState().MasterMode = true;
    acq->StartAll();
    EXPECT_TRUE(acq->Started());
    EXPECT_TRUE(lists.FindInterface(1)->Link->Active());
    EXPECT_TRUE(lists.FindInterface(1)->PanelTimer->isActive());
    EXPECT_FALSE(lists.FindInterface(1)->LoggerLink->Active()) << "not a data logger";
    EXPECT_FALSE(lists.FindInterface(1)->ClockTimer->isActive());
    EXPECT_FALSE(lists.FindInterface(2)->Link->Active());
    EXPECT_TRUE(lists.FindSensor(1)->Link->Active());
    EXPECT_FALSE(lists.FindSensor(2)->Link->Active());
    acq->Activate(*lists.FindInterface(1), false);
    EXPECT_FALSE(lists.FindInterface(1)->Link->Active());
    EXPECT_FALSE(lists.FindInterface(1)->PanelTimer->isActive());
}

TEST_F(DbModelTest, TemperatureWindowIsFilledFromStoredTemperatures)
{
    addInterfaceRow(1, QStringLiteral("a"), 2, 1, QStringLiteral("127.0.0.1"), 4001, 2000);
    addSensorRow(1, 1, stTempHumidity, 5);
    addSensorRow(2, 1, stVoltage, 6);
    const auto at = [&](int minutesAgo) {
        return now().addSecs(-60 * minutesAgo).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
    };
    const auto row = [&](int probe, int mt, const QString& value, int minutesAgo) {
        exec(QStringLiteral("INSERT INTO Measure (Measure_value, Probe_id, Measure_type_code, Measure_datetime) "
                            "VALUES ('%1', %2, %3, '%4')")
                 .arg(value)
                 .arg(probe)
                 .arg(mt)
                 .arg(at(minutesAgo)));
    };
    row(1, mtT, QStringLiteral("2000"), 30);
    row(1, mtT, QStringLiteral("2100 "), 30); // same time: skipped
    row(1, mtT, QStringLiteral("2200"), 10);
    row(1, mtT, QStringLiteral("abc"), 5);    // not an integer: skipped
    row(1, mtT, QStringLiteral("3000"), 200); // older than the window
    row(1, mtH, QStringLiteral("9999"), 1);   // not a temperature
    row(2, mtT, QStringLiteral("1000"), 1);   // another sensor

    acq->LoadAll();
    TProbe* s = lists.FindSensor(1);
    EXPECT_TRUE(s->AveragesReady);
    EXPECT_EQ(s->TempWindow.Count(), 2);
    EXPECT_EQ(s->RawValues[mtTAv], 2100);
    EXPECT_EQ(s->RawValues[mtTMin], 2000);
    EXPECT_EQ(s->RawValues[mtTMax], 2200);
    EXPECT_TRUE(log.contains(
        QStringLiteral("Average temp. calculated for probe sensor 1. TOpen: 0 TRead: 0 Record count: 2")));
    EXPECT_FALSE(lists.FindSensor(2)->AveragesReady) << "a voltage sensor has no temperature window";

    AverageWindowMinutes() = 20;
    acq->RefillAllTempWindows();
    EXPECT_EQ(s->TempWindow.Count(), 1);
    EXPECT_EQ(s->RawValues[mtTAv], 2200);
}

TEST_F(DbModelTest, MeasurementsAreRecordedAndTheNewestRowsUpdatedInTheDatabase)
{
    addInterfaceRow(1, QStringLiteral("a"), 2, 1, QStringLiteral("127.0.0.1"), 4001, 2000);
    addSensorRow(1, 1, stTempHumidity, 5, 1, 0, 60000);
    acq->LoadAll();
    TProbe* s = lists.FindSensor(1);
    const QString t0 = now().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
    acq->HandleAnswer(*s, aitgd({2245, 415}), 0);
    EXPECT_EQ(scalar(QStringLiteral("SELECT COUNT(*) FROM Measure WHERE Probe_id=1")).toInt(), 6);
    EXPECT_EQ(scalar(QStringLiteral("SELECT Measure_value FROM Measure WHERE Measure_type_code=1")).toString(), "2245");
    EXPECT_EQ(scalar(QStringLiteral("SELECT Measure_id FROM Measure WHERE Measure_type_code=1")).toLongLong(),
              s->LastRowIds[mtT]);

    time.advance(20'000);
    const QString t1 = now().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
    acq->HandleAnswer(*s, aitgd({2300, 430}), 0);
    EXPECT_EQ(scalar(QStringLiteral("SELECT COUNT(*) FROM Measure WHERE Probe_id=1")).toInt(), 6);
    EXPECT_EQ(scalar(QStringLiteral("SELECT Measure_value FROM Measure WHERE Measure_type_code=1")).toString(), "2300");
    EXPECT_EQ(scalar(QStringLiteral("SELECT Measure_value FROM Measure WHERE Measure_type_code=2")).toString(), "430");
    EXPECT_EQ(scalar(QStringLiteral("SELECT Measure_datetime FROM Measure WHERE Measure_type_code=1")).toString(), t1);
    EXPECT_EQ(scalar(QStringLiteral("SELECT Measure_value FROM Measure WHERE Measure_type_code=18")).toString(), "2272")
        << "the average of 22.45 and 23.00 is 22.725: 2272 (ties to even)";

    time.advance(40'000);
    acq->HandleAnswer(*s, aitgd({2400, 440}), 0);
    EXPECT_EQ(scalar(QStringLiteral("SELECT COUNT(*) FROM Measure WHERE Probe_id=1")).toInt(), 12);
    EXPECT_EQ(scalar(QStringLiteral("SELECT COUNT(*) FROM Measure WHERE Measure_datetime='%1'").arg(t0)).toInt(), 0)
        << "the first rows moved to the time of their last update";
}

TEST_F(DbModelTest, NothingIsStoredWhileRecordingIsSuspended)
{
    addInterfaceRow(1, QStringLiteral("a"), 2, 1, QStringLiteral("127.0.0.1"), 4001, 2000);
    addSensorRow(1, 1, stTempHumidity, 5);
    acq->LoadAll();
    shellState().RecordingSuspended = true;
    acq->HandleAnswer(*lists.FindSensor(1), aitgd({2245, 415}), 0);
    EXPECT_EQ(scalar(QStringLiteral("SELECT COUNT(*) FROM Measure")).toInt(), 0);
    EXPECT_TRUE(lists.FindSensor(1)->HasValue(mtT));
}

TEST_F(DbModelTest, TheLastLoggerRecordIdentifierIsKeptInTheInterfaceRow)
{
    addInterfaceRow(1, QStringLiteral("logger"), 3, 1, QStringLiteral("127.0.0.1"), 4001, 60000, 249, 100);
    addSensorRow(1, 1, stTempHumidity, 5);
    acq->LoadAll();
    TProbe* logger = lists.FindInterface(1);
    ASSERT_TRUE(logger->FlashManager);
    EXPECT_EQ(logger->FlashManager->LastRecIDOnPC(), 100);
    EXPECT_EQ(logger->FlashManager->FirmwareType(), FMFWCorvalux);
    EXPECT_EQ(logger->FlashManager->VBTPort(), logger->LoggerLink.get());
    EXPECT_EQ(logger->OwningFlashManager(), logger->FlashManager.get());
    EXPECT_EQ(lists.FindSensor(1)->OwningFlashManager(), logger->FlashManager.get());

    QByteArray rec = IntToParam4(101) + EncodePackedDateTime(now()) + 'g' + char(5) + char(0) + le16(2000) + le16(400);
    rec.resize(21, '\0');
    acq->HandleLoggerEvent(*logger, QByteArray("EELDL") + rec, 0);
    EXPECT_EQ(scalar(QStringLiteral("SELECT Last_RecID FROM Probe_type WHERE Probe_type_id=1")).toInt(), 101);
    logger->FlashManager->SetLastRecIDOnPC(140);
    lists.Clear(); // destroying the interface saves its identifier
    EXPECT_EQ(scalar(QStringLiteral("SELECT Last_RecID FROM Probe_type WHERE Probe_type_id=1")).toInt(), 140);
}

// ------------------------------------------------------------------ ini-file mode

TEST_F(AcquisitionTest, IniFileModeNumbersEntriesFromOneAndSkipsBrokenOnes)
{
    writeFile(home.iniPath(), "[INTERFACES]\n"
                              "INTERFACE1_NAME=first\nINTERFACE1_TIPUS=2\nINTERFACE1_PROTOKOL=1\nINTERFACE1_PORT=4001\n"
                              "INTERFACE1_IP=127.0.0.1\nINTERFACE1_INTERVAL=3000\n"
                              "INTERFACE2_NAME=serial\nINTERFACE2_TIPUS=4\nINTERFACE2_PORT=101\nINTERFACE2_IP=1.2.3.4\n"
                              "INTERFACE3_NAME=bad\nINTERFACE3_TIPUS=42\n"
                              "[SENSORS]\n"
                              "SENSOR1_NAME=rack\nSENSOR1_INTERFACE=1\nSENSOR1_TYPE=5\nSENSOR1_ADDRESS=7\n"
                              "SENSOR2_NAME=lost\nSENSOR2_INTERFACE=3\nSENSOR2_TYPE=4\n"
                              "SENSOR3_NAME=odd\nSENSOR3_INTERFACE=2\nSENSOR3_TYPE=0\n"
                              "SENSOR4_NAME=door\nSENSOR4_INTERFACE=2\nSENSOR4_TYPE=9\nSENSOR4_ADDRESS=3\n");
    acq->SetDatabase(nullptr, nullptr);
    acq->LoadAll();
    ASSERT_EQ(lists.Interfaces.size(), 2u);
    ASSERT_EQ(lists.Sensors.size(), 2u);
    EXPECT_EQ(lists.Interfaces[0]->Id, 1);
    EXPECT_EQ(lists.Interfaces[1]->Id, 2);
    EXPECT_TRUE(lists.Interfaces[1]->Link->Host.isEmpty());
    EXPECT_EQ(lists.Interfaces[1]->Link->Port, 101) << "the link maps 101 to /dev/ttyUSB1";
    TProbe* rack = lists.FindSensor(1);
    ASSERT_TRUE(rack);
    EXPECT_EQ(rack->ParentInterface, lists.FindInterface(1));
    EXPECT_EQ(rack->Address, 7);
    EXPECT_EQ(rack->PollInterval, 3000);
    EXPECT_TRUE(rack->IsUsed);
    EXPECT_TRUE(rack->AveragesReady) << "no database: an empty window is all there is";
    EXPECT_EQ(lists.FindSensor(4)->ParentInterface, lists.FindInterface(2));
    EXPECT_TRUE(log.contains(QStringLiteral("2 csatoló beolvasva.")));
    EXPECT_TRUE(log.contains(QStringLiteral("2 szenzor beolvasva.")));

    // A measurement without a database is shown, not stored.
    acq->HandleAnswer(*rack, aitgd({2000, 500}) + le32(101325), 0);
    EXPECT_TRUE(rack->HasValue(mtP));
    EXPECT_TRUE(store.adds.empty());
}

// ------------------------------------------------------------------ interface timers

TEST(LongTimer, FiresAfterAPeriodBeyondThirtyTwoBits)
{
    ManualTimeService time;
    int fired = 0;
    LongTimer t(time, [&] { ++fired; });
    const qint64 period = 3'600'000LL * 60'000; // the configuration default, 3 600 000 minutes
    t.setLongInterval(period);
    t.start();
    const qint64 start = time.tickMs();
    EXPECT_EQ(t.deadlineTick(), start + period);
    EXPECT_EQ(t.interval(), std::numeric_limits<int>::max());
    EXPECT_LE(time.msUntilNextTimer(), LongTimer::MaxStepMs);
    time.advance(period - 1);
    EXPECT_EQ(fired, 0);
    time.advance(1);
    EXPECT_EQ(fired, 1);
    EXPECT_EQ(t.deadlineTick(), start + 2 * period);
    t.stop();
    time.advance(2 * period);
    EXPECT_EQ(fired, 1);

    t.setSingleShot(true);
    t.start(5);
    time.advance(20);
    EXPECT_EQ(fired, 2);
    EXPECT_FALSE(t.isActive());
}

TEST_F(AcquisitionTest, RestartAndClockTimersBroadcastTheirCommands)
{
    shellState().Restart_everything_interval_minutes = 2;
    transports.autoConnect = true;
    TProbe& logger = addInterface(1, svBridgeWithLogger, ptVBT, 60000);
    acq->StartAll();
    ASSERT_TRUE(logger.Link->Connected());
    EXPECT_TRUE(logger.LoggerLink->Active());
    EXPECT_TRUE(logger.ClockTimer->isActive());
    EXPECT_EQ(static_cast<LongTimer&>(*logger.RestartTimer).longInterval(), 120'000);
    time.advance(120'000);
    auto frames = framesOn(*transports.tcp);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].data, "CSYRS");
    EXPECT_EQ(frames[0].to, 255u);
    EXPECT_EQ(frames[0].info, nem_kerek_nyugtat);

    time.advance(180'000); // 300 s: the clock, and the second restart at 240 s
    frames = framesOn(*transports.tcp);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[1].data, "CSYRS");
    EXPECT_EQ(frames[2].data, QByteArray("CRTSC") + EncodePackedDateTime(now()));
    EXPECT_EQ(frames[2].to, 255u);
}

TEST_F(AcquisitionTest, RestartPeriodOfTheDefaultConfigurationIsKeptWhole)
{
    TProbe& iface = addInterface(1);
    acq->StartAll();
    EXPECT_TRUE(iface.RestartTimer->isActive());
    EXPECT_EQ(static_cast<LongTimer&>(*iface.RestartTimer).longInterval(), 3'600'000LL * 60'000);
    shellState().Restart_everything_interval_minutes = 0;
    acq->Activate(iface, false);
    acq->Activate(iface, true);
    EXPECT_FALSE(iface.RestartTimer->isActive()) << "0 switches it off";
}

TEST_F(AcquisitionTest, PanelTimerPollsRelayPanelsThroughTheInterfaceLink)
{
    transports.autoConnect = true;
    TProbe& iface = addInterface(1, svDeviceServer, ptVBT, 2000);
    TProbe& panel = addSensor(2, 1, stRelayPanel, 20);
    panel.RelayIndex = 3;
    TProbe& unused = addSensor(3, 1, stInputPanel, 21);
    unused.IsUsed = false;
    acq->StartAll();
    EXPECT_FALSE(panel.Link->Active()) << "a panel's own link only carries its address";
    time.advance(2000);
    time.advance(5);
    auto frames = framesOn(*transports.tcp);
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.back().data, QByteArray("CRLGS") + char(3));
    EXPECT_EQ(frames.back().to, 20u);
    // The panel answers: its state arrives through the poll's read handler.
    TVBTProtocol device;
    device.VBTMode = PMVBTOnly;
    device.Cimzett = 250;
    device.Felado = 20;
    device.Felado_rovid_cim = 20;
    device.CsomagSorszam = quint8(frames.back().serial);
    transports.tcp->feed(device.EncodeFrame(QByteArray("ARLGS") + char(1)));
    time.advance(2);
    EXPECT_EQ(panel.RawValues[mtRState], 1);
    for (const auto& f : framesOn(*transports.tcp))
        EXPECT_NE(f.to, 21u) << "an unused panel is not asked";
    EXPECT_EQ(iface.Link->QueueCount(), 0);
}

TEST_F(AcquisitionTest, DestroyingASensorWithdrawsItsWaitingPanelPolls)
{
    TProbe& iface = addInterface(1, svDeviceServer, ptVBT, 1000); // never connects: polls wait
    addSensor(2, 1, stRelayPanel, 20);
    addSensor(3, 1, stRelayPanel, 21);
    acq->StartAll();
    time.advance(1000);
    ASSERT_EQ(iface.Link->QueueCount(), 2);
    lists.Sensors.erase(lists.Sensors.begin()); // sensor 2 goes
    ASSERT_EQ(iface.Link->QueueCount(), 1);
    EXPECT_EQ(iface.Link->QueuedPacket(0)->Address, 21u);
}

TEST_F(AcquisitionTest, SnmpTimerMarksTheInterfacesSensorsPending)
{
    TProbe& snmp = addInterface(1, svDeviceServer, ptSNMP, 10'000);
    TProbe& a = addSensor(2, 1, stSNMPClimate, 1);
    TProbe& b = addSensor(3, 1, stSNMPClimate, 2);
    b.IsUsed = false;
    addInterface(4);
    TProbe& other = addSensor(5, 4, stTempHumidity, 1);
    acq->StartAll();
    EXPECT_TRUE(snmp.SnmpTimer->isActive());
    EXPECT_FALSE(lists.FindInterface(4)->SnmpTimer->isActive());
    time.advance(10'000);
    EXPECT_TRUE(a.PollPending);
    EXPECT_FALSE(b.PollPending);
    EXPECT_FALSE(other.PollPending);
}

} // namespace
