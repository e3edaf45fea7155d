// What the simulated sensors, panels and DOV servers send, on virtual time.
#include "curve.h"
#include "json_reader.h"
#include "packed_time.h"
#include "sim_harness.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtEndian>
#include <gtest/gtest.h>

#include <cstring>

using namespace cvx::vbtsim;
using namespace cvx::vbtsim::test;

namespace {

QByteArray oneDevice(const QByteArray& device, const char* protocol = "VBT")
{
    return QByteArray(R"({"interfaces": [{"name": "srv", "protocol": ")") + protocol + R"(", "devices": [)" + device
           + "]}]}";
}

QByteArray poll(SimHarness& h, quint32 address)
{
    h.send(request(address, "c"));
    const Frame f = h.single();
    EXPECT_TRUE(f.payload.startsWith("AITGD"));
    return f.payload.mid(5);
}

} // namespace

struct LayoutCase {
    const char* name;
    const char* device;
    const char* data;
};

void PrintTo(const LayoutCase& c, std::ostream* os) { *os << c.name; }

class MeasurementLayout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(MeasurementLayout, FollowsTheSensorType)
{
    SimHarness h(oneDevice(GetParam().device));
    EXPECT_EQ(hexBytes(poll(h, 5)), hexBytes(hex(GetParam().data)));
}

INSTANTIATE_TEST_SUITE_P(
    Devices, MeasurementLayout,
    ::testing::Values(
        LayoutCase{"cabled_temperature", R"({"name":"s","address":5,"type":1,"values":{"T":-12.34}})", "2E FB"},
        LayoutCase{"temperature", R"({"name":"s","address":5,"type":2,"values":{"T":21.5}})", "66 08"},
        LayoutCase{"temperature_with_humidity", R"({"name":"s","address":5,"type":2,"values":{"T":21.5,"H":50}})",
                   "66 08 F4 01"},
        LayoutCase{"pt100", R"({"name":"s","address":5,"type":3,"values":{"T":120.5}})", "12 2F"},
        LayoutCase{"temperature_humidity", R"({"name":"s","address":5,"type":4,"values":{"T":22.45,"H":41.5}})",
                   "C5 08 9F 01"},
        LayoutCase{"temperature_humidity_pressure",
                   R"({"name":"s","address":5,"type":5,"values":{"T":23.4,"H":38.5,"P":1013.25}})",
                   "24 09 81 01 02 76 0F 00"},
        LayoutCase{"air_speed", R"({"name":"s","address":5,"type":7,"values":{"AV":1.25}})", "7D 00"},
        LayoutCase{"moisture", R"({"name":"s","address":5,"type":10,"values":{"T":18,"WState":1}})",
                   "08 07 00 00 01"},
        LayoutCase{"voltage", R"({"name":"s","address":5,"type":11,"values":{"U":231}})", "E7 00"},
        LayoutCase{"ups_sends_nothing", R"({"name":"s","address":5,"type":6})", ""},
        LayoutCase{"missing_value", R"({"name":"s","address":5,"type":4,"values":{"T":null,"H":"none"}})",
                   "20 4E 20 4E"},
        LayoutCase{"relay_panel_mask", R"({"name":"s","address":5,"type":8,"states":[1,0,1]})", "05"},
        LayoutCase{"input_panel_mask", R"({"name":"s","address":5,"type":9,"relays":2,"states":[0,1]})", "02"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Devices, ValuesFollowTheirCurvesOnTheSimulatorsClock)
{
    SimHarness h(oneDevice(R"({"name":"s","address":5,"type":4,"values":{
        "T":{"curve":"ramp","from":20,"to":30,"period":100},
        "H":{"curve":"steps","values":[40, null, 60],"period":10}}})"));
    EXPECT_EQ(poll(h, 5), hex("D0 07 90 01")); // 20.00, 40.0
    h.time().advance(15000);
    EXPECT_EQ(poll(h, 5), hex("66 08 20 4E")); // 21.50, no value
    h.time().advance(10000);
    EXPECT_EQ(poll(h, 5), hex("CA 08 58 02")); // 22.50, 60.0
    h.time().advance(10000);
    EXPECT_EQ(poll(h, 5), hex("2E 09 90 01")); // 23.50, 40.0 again: the steps wrap
}

TEST(Devices, CurveShapes)
{
    auto at = [](const char* json, double t) {
        return Curve::fromJson(QJsonDocument::fromJson(json).object()).valueAt(t).value_or(-999);
    };
    EXPECT_DOUBLE_EQ(at(R"({"curve":"sine","mean":20,"amplitude":2,"period":40})", 10), 22);
    EXPECT_NEAR(at(R"({"curve":"sine","mean":20,"amplitude":2,"period":40})", 30), 18, 1e-9);
    EXPECT_DOUBLE_EQ(at(R"({"curve":"square","mean":20,"amplitude":2,"period":40})", 19), 22);
    EXPECT_DOUBLE_EQ(at(R"({"curve":"square","mean":20,"amplitude":2,"period":40})", 21), 18);
    EXPECT_DOUBLE_EQ(at(R"({"curve":"triangle","from":0,"to":10,"period":40})", 10), 5);
    EXPECT_DOUBLE_EQ(at(R"({"curve":"triangle","from":0,"to":10,"period":40})", 30), 5);
    EXPECT_DOUBLE_EQ(at(R"({"curve":"ramp","from":0,"to":10,"period":40,"phase":10})", 0), 2.5);
    EXPECT_THROW(Curve::fromJson(QJsonDocument::fromJson(R"({"curve":"sine","mean":1})").object()),
                 std::runtime_error);
    EXPECT_THROW(Curve::fromText("warm"), std::runtime_error);
    EXPECT_FALSE(Curve::fromText("none").valueAt(0));
}

TEST(Devices, SetChangesAValueWhileRunning)
{
    SimHarness h(oneDevice(R"({"name":"s","address":5,"type":4})"));
    ASSERT_TRUE(h.control("set s T 30.01").ok);
    ASSERT_TRUE(h.control(R"(set s H {"curve": "square", "mean": 50, "amplitude": 10, "period": 60})").ok);
    EXPECT_EQ(poll(h, 5), hex("B9 0B 58 02"));
    EXPECT_FALSE(h.control("set s P 1000").ok);
    EXPECT_FALSE(h.control("set nobody T 1").ok);
    EXPECT_FALSE(h.control("set s T warm").ok);
}

TEST(Devices, CalibrationWrittenTakesEffectAfterTheRestart)
{
    SimHarness h(oneDevice(R"({"name":"s","address":5,"type":4,"restartSeconds":3,"values":{"T":23.4,"H":50}})"));
    // The temperature parameter at address 10: -200 (0x38 0xFF).
    h.send(request(5, QByteArray("CSYWE") + hex("0A 00 02 38 FF"), InfoNoAck, 1));
    EXPECT_EQ(h.single().payload, QByteArray("ASYWE"));
    h.send(request(5, QByteArray("CSYRE") + hex("0A 00 02"), InfoNoAck, 2));
    EXPECT_EQ(h.single().payload, QByteArray("ASYRE") + hex("38 FF"));
    EXPECT_EQ(poll(h, 5), hex("24 09 F4 01"));
    // Restart: the device hears nothing for restartSeconds (read at address 1).
    h.send(request(5, QByteArray("CSYRE") + hex("01 00 01"), InfoNoAck, 3));
    EXPECT_EQ(h.single().payload, QByteArray("ASYRE") + char(3));
    h.send(request(5, "CSYRS", InfoWantAck, 4));
    EXPECT_EQ(h.single().info, InfoAck);
    h.send(request(5, "c", InfoNoAck, 5));
    EXPECT_TRUE(h.frames().empty());
    h.time().advance(3000);
    EXPECT_EQ(poll(h, 5), hex("5C 08 F4 01")); // 23.40 - 2.00
}

TEST(Devices, ParameterAccessOutsideTheMemoryIsRejected)
{
    SimHarness h(oneDevice(R"({"name":"s","address":5,"type":1,"memorySize":256})"));
    h.send(request(5, QByteArray("CSYRE") + hex("FF 00 02")));
    EXPECT_EQ(h.single().payload, QByteArray("ASYER") + char(StatusBadLength));
    h.send(request(5, QByteArray("CSYWE") + hex("10 00 04 01 02")));
    EXPECT_EQ(h.single().payload, QByteArray("ASYER") + char(StatusBadLength));
    h.send(request(5, QByteArray("CSYRE") + hex("10")));
    EXPECT_EQ(h.single().payload, QByteArray("ASYER") + char(StatusBadLength));
}

TEST(Devices, ScenarioParametersArePreset)
{
    SimHarness h(oneDevice(R"({"name":"s","address":5,"type":1,"params":{"0x20":"DE AD BE EF"}})"));
    h.send(request(5, QByteArray("CSYRE") + hex("20 00 04")));
    EXPECT_EQ(h.single().payload, QByteArray("ASYRE") + hex("DE AD BE EF"));
}

TEST(Devices, RelayPanelSwitchesReportsAndRestartsToItsPowerOnStates)
{
    SimHarness h(oneDevice(R"({"name":"p","address":20,"type":8,"relays":4,"powerOn":[0,0,0,1],"restartSeconds":0})"));
    auto state = [&](int relay) {
        h.send(request(20, QByteArray("CRLGS") + char(relay)));
        return h.single().payload;
    };
    EXPECT_EQ(state(3), QByteArray("ARLGS") + char(1));
    h.send(request(20, QByteArray("CRLSO") + char(0), InfoWantAck));
    EXPECT_EQ(h.single().info, InfoAck);
    EXPECT_EQ(state(0), QByteArray("ARLGS") + char(1));
    h.send(request(20, QByteArray("CRLSC") + char(3), InfoWantAck, 18));
    h.frames();
    EXPECT_EQ(state(3), QByteArray("ARLGS") + char(0));
    EXPECT_EQ(poll(h, 20), hex("01"));
    h.send(request(20, QByteArray("CRLSD") + char(1) + char(1), InfoWantAck, 19));
    h.frames();
    h.send(request(20, QByteArray("CRLGD") + char(1), InfoNoAck, 20));
    EXPECT_EQ(h.single().payload, QByteArray("ARLGD") + char(1));
    h.send(request(20, "CSYRS", InfoNoAck, 21));
    EXPECT_EQ(poll(h, 20), hex("0A")); // power-on: relays 2 and 4 (1 and 3 counted from 0)
    h.send(request(20, QByteArray("CRLGS") + char(4)));
    EXPECT_EQ(h.single().payload, QByteArray("ASYER") + char(StatusUnknown));
    h.send(request(20, QByteArray("CRLSD") + char(1) + char(2)));
    EXPECT_EQ(h.single().payload, QByteArray("ASYER") + char(StatusUnknown));
    ASSERT_TRUE(h.control("set p R1 1").ok);
    EXPECT_EQ(poll(h, 20), hex("0B"));
    ASSERT_TRUE(h.control("set p R3 1").ok);
    EXPECT_EQ(poll(h, 20), hex("0F"));
    EXPECT_FALSE(h.control("set p R5 1").ok);
}

TEST(Devices, InputPanelCannotBeSwitched)
{
    SimHarness h(oneDevice(R"({"name":"p","address":20,"type":9,"relays":2})"));
    h.send(request(20, QByteArray("CRLSO") + char(0), InfoWantAck));
    const auto f = h.frames();
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[1].payload, QByteArray("ASYER") + char(StatusUnknown));
}

TEST(Devices, ClockIsSetAndRunsOn)
{
    SimHarness h(oneDevice(R"({"name":"s","address":5,"type":1})"));
    const QDateTime set(QDate(2024, 5, 21), QTime(9, 29, 7, 360));
    h.send(request(5, QByteArray("CRTSC") + encodePackedTime(set), InfoWantAck));
    EXPECT_EQ(h.single().info, InfoAck);
    h.time().advance(1500);
    h.send(request(5, "CRTGC"));
    const Frame f = h.single();
    ASSERT_EQ(f.payload.size(), 11);
    EXPECT_EQ(decodePackedTime(f.payload, 5), set.addMSecs(1500));
    h.send(request(5, QByteArray("CRTSC") + hex("0F D0")));
    EXPECT_EQ(h.single().payload, QByteArray("ASYER") + char(StatusBadLength));
}

TEST(Devices, SystemInformationRecord)
{
    SimHarness h(oneDevice(R"({"name":"s","address":5,"type":4,"info":{
        "id":"010203040506","version":"V2.10","model":"TH-100","built":"2024-01-15T10:30:00",
        "project":513,"rxBuffer":300,"txBuffer":200,"name":"Rack one","bootRevision":7,
        "cpu":9,"voltage":118,"extra":"AA BB"}})"));
    h.time().advance(65000);
    h.send(request(5, "CSYSI"));
    const QByteArray r = h.single().payload.mid(5);
    ASSERT_EQ(r.size(), 68);
    EXPECT_EQ(r.left(6), hex("01 02 03 04 05 06"));
    EXPECT_EQ(r.mid(6, 11), QByteArray("V2.10TH-100"));
    double days = 0;
    std::memcpy(&days, r.constData() + 17, 8);
    EXPECT_DOUBLE_EQ(days, 45306.4375);
    EXPECT_EQ(qFromLittleEndian<quint16>(r.constData() + 25), 513);
    EXPECT_EQ(quint8(r.at(27)), 4);
    EXPECT_EQ(qFromLittleEndian<quint16>(r.constData() + 28), 300);
    EXPECT_EQ(qFromLittleEndian<quint16>(r.constData() + 30), 200);
    EXPECT_EQ(r.mid(32, 24), QByteArray("Rack one                "));
    EXPECT_EQ(qFromLittleEndian<quint16>(r.constData() + 56), 7);
    EXPECT_EQ(qFromLittleEndian<quint32>(r.constData() + 58), 65u);
    EXPECT_EQ(quint8(r.at(62)), 0);
    EXPECT_EQ(quint8(r.at(63)), 9);
    EXPECT_EQ(qFromLittleEndian<quint16>(r.constData() + 64), 118);
    EXPECT_EQ(r.mid(66), hex("AA BB"));
}

TEST(Devices, ShortSystemInformationRecordForOldFirmware)
{
    SimHarness h(oneDevice(R"({"name":"s","address":5,"type":4,"info":{"length":28}})"));
    h.send(request(5, "CSYSI"));
    EXPECT_EQ(h.single().payload.size(), 5 + 28);
}

TEST(Devices, DovServerSendsItsLineEveryPeriod)
{
    SimHarness h(oneDevice(R"({"name":"d","period":2,"prefix":"DEV01","channels":[21.5,-3.25,null]})", "DOV"));
    h.time().advance(1999);
    EXPECT_TRUE(h.port.written.isEmpty());
    h.time().advance(1);
    EXPECT_EQ(h.port.written, QByteArray("DEV01*T0=+021.50C T1=-003.25C T2=----C\r\n"));
    h.port.written.clear();
    ASSERT_TRUE(h.control("fault d garbage once 41 42").ok);
    ASSERT_TRUE(h.control("set d T2 7").ok);
    h.time().advance(2000);
    EXPECT_EQ(h.port.written, QByteArray("ABDEV01*T0=+021.50C T1=-003.25C T2=+007.00C\r\n"));
    h.port.written.clear();
    ASSERT_TRUE(h.control("fault d silence once").ok);
    h.time().advance(2000);
    EXPECT_TRUE(h.port.written.isEmpty());
    // Frames sent to a DOV server are ignored.
    h.send(request(1, "c"));
    EXPECT_TRUE(h.port.written.isEmpty());
}

TEST(Devices, DovTemperatureHumidityFormat)
{
    SimHarness h(oneDevice(R"({"name":"d","format":"th","period":1,"values":{"T":21.5,"H":45.2}})", "DOV"));
    ASSERT_TRUE(h.control("measure d").ok);
    EXPECT_EQ(h.port.written, QByteArray("*T=21.5C H=45.2%\r\n"));
}

// ---- scenario errors ------------------------------------------------------------------

struct ScenarioErrorCase {
    const char* name;
    const char* scenario;
    const char* message;
};

void PrintTo(const ScenarioErrorCase& c, std::ostream* os) { *os << c.name; }

class ScenarioErrors : public ::testing::TestWithParam<ScenarioErrorCase> {};

TEST_P(ScenarioErrors, NameThePlaceAndTheMistake)
{
    cvx::ManualTimeService time;
    SimLog log(time);
    log.setEchoToStderr(false);
    Simulator sim(time, log);
    try {
        sim.load(GetParam().scenario);
        FAIL() << "accepted";
    } catch (const ScenarioError& e) {
        EXPECT_TRUE(e.text().contains(QString::fromUtf8(GetParam().message))) << e.text().toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Devices, ScenarioErrors,
    ::testing::Values(
        ScenarioErrorCase{"not_json", "{\"interfaces\": [", "not valid JSON at line 1"},
        ScenarioErrorCase{"no_interfaces", R"({"interfaces": []})", "interfaces: lists no interface"},
        ScenarioErrorCase{"unknown_key", R"({"interfaces": [{"name":"a","devices":[{"name":"s","address":5,"type":1,"colour":1}]}]})",
                          "interfaces[0].devices[0]: unknown key(s): colour"},
        ScenarioErrorCase{"bad_address", R"({"interfaces": [{"name":"a","devices":[{"name":"s","address":250,"type":1}]}]})",
                          "interfaces[0].devices[0].address: must be an address from 1 to 249"},
        ScenarioErrorCase{"twice", R"({"interfaces": [{"name":"a","devices":[{"name":"s","address":5,"type":1},{"name":"t","address":5,"type":1}]}]})",
                          "address: 5 is used twice"},
        ScenarioErrorCase{"same_name", R"({"interfaces": [{"name":"a","devices":[{"name":"a","address":5,"type":1}]}]})",
                          "the name \"a\" is used twice"},
        ScenarioErrorCase{"no_name", R"({"interfaces": [{"name":"a","devices":[{"address":5,"type":1}]}]})",
                          "devices[0].name: is required"},
        ScenarioErrorCase{"value_not_carried", R"({"interfaces": [{"name":"a","devices":[{"name":"s","address":5,"type":1,"values":{"H":40}}]}]})",
                          "sensor type 1 sends no \"H\""},
        ScenarioErrorCase{"bad_curve", R"({"interfaces": [{"name":"a","devices":[{"name":"s","address":5,"type":1,"values":{"T":{"curve":"zigzag"}}}]}]})",
                          "unknown curve \"zigzag\""},
        ScenarioErrorCase{"bad_protocol", R"({"interfaces": [{"name":"a","protocol":"X"}]})", "protocol: must be VBT, VBTW or DOV"},
        ScenarioErrorCase{"snmp_sensor", R"({"interfaces": [{"name":"a","devices":[{"name":"s","address":5,"type":15}]}]})",
                          "read over SNMP"},
        ScenarioErrorCase{"bad_fault", R"({"interfaces": [{"name":"a","devices":[{"name":"s","address":5,"type":1,"faults":{"asyer":{"status":300}}}]}]})",
                          "faults.asyer"},
        ScenarioErrorCase{"interface_fault_on_device", R"({"interfaces": [{"name":"a","devices":[{"name":"s","address":5,"type":1,"faults":{"refuse":true}}]}]})",
                          "is a fault of the interface"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Devices, ScenarioFaultsAreInForceFromTheStart)
{
    SimHarness h(oneDevice(R"({"name":"s","address":5,"type":1,"faults":{"nack":1,"garbage":{"count":1,"bytes":"EE"}}})"));
    h.send(request(5, "c"));
    EXPECT_EQ(h.single().info, InfoNack);
    EXPECT_EQ(h.skipped, hex("EE"));
    h.send(request(5, "c"));
    EXPECT_EQ(h.single().info, InfoNoAck);
}

TEST(Devices, ControlCommandsReportMistakes)
{
    SimHarness h(oneDevice(R"({"name":"s","address":5,"type":1})"));
    EXPECT_FALSE(h.control("fault s bogus on").ok);
    EXPECT_FALSE(h.control("fault s nack maybe").ok);
    EXPECT_FALSE(h.control("fault s refuse on").ok);
    EXPECT_FALSE(h.control("fault srv nack on").ok);
    EXPECT_FALSE(h.control("drop nowhere").ok);
    EXPECT_FALSE(h.control("erase s").ok);
    EXPECT_FALSE(h.control("frobnicate").ok);
    EXPECT_TRUE(h.control("help").ok);
    const auto status = h.control("status");
    ASSERT_TRUE(status.ok);
    EXPECT_TRUE(status.lines.join('\n').contains("device s sensor type 1 address 5"));
    EXPECT_TRUE(h.control("fault s nack 2").ok);
    EXPECT_TRUE(h.control("status").lines.join('\n').contains("faults: nack(2)"));
    EXPECT_TRUE(h.control("clock s 2030-01-02T03:04:05").ok);
    EXPECT_EQ(h.device("s")->clock(), QDateTime(QDate(2030, 1, 2), QTime(3, 4, 5)));
    EXPECT_TRUE(h.control("quit").quit);
}
