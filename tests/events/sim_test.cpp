// Tasks and the watchdog device against vbtsim on loopback: relays switched by an event
// whose threshold is crossed, and the watchdog parameters written and read back. The
// links run on the real event loop; the tests wait for real I/O with an upper bound.

#include "acquisition/probe.h"
#include "acquisition/probe_lists.h"
#include "events/event_engine.h"
#include "events/watchdog.h"
#include "link/vbt_comms.h"
#include "platform/process_launcher.h"
#include "platform/manual_time_service.h"
#include "platform/smtp_client.h"
#include "platform/sound_player.h"
#include "shell/catalogue.h"
#include "shell/shell_state.h"
#include "shell/warnings.h"
#include "link_wait.h"
#include "test_support.h"
#include "vbtsim_process.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

using namespace cvx;
using cvx::test::pumpVirtualTime;

namespace {

const QByteArray kScenario = R"({
  "name": "events",
  "interfaces": [
    {"name": "srv", "protocol": "VBT", "devices": [
      {"name": "th", "address": 5, "type": 4, "values": {"T": 21.5, "H": 45.2}},
      {"name": "panel", "address": 20, "type": 8, "relays": 4}
    ]},
    {"name": "gsm", "protocol": "VBT", "devices": [
      {"name": "watchdog", "kind": "watchdog", "address": 249, "smsFile": "sms.jsonl", "checkInterval": 3600,
       "failures": 3, "alarmPhone": "+36301112222", "alarmText": "PC down"}
    ]},
    {"name": "bridge", "protocol": "VBTW", "devices": [
      {"name": "logger", "kind": "logger", "address": 249, "interval": 254, "restartSeconds": 0,
       "watchdog": {"checkInterval": 7, "failures": 4, "pauseMinutes": 120}}
    ]}
  ]
})";

class NullSound final : public SoundPlayer {
public:
    bool isPlaying() const override { return false; }
    bool play(const QString&, QString* error) override
    {
        *error = QStringLiteral("no sound in tests");
        return false;
    }
};

class Simulated : public ::testing::Test {
protected:
    void SetUp() override
    {
        resetShellState();
        warningPanel().reset();
        Catalogue::instance().select(Catalogue::Hungarian);
        shellState().MasterMode = true;
        shellState().LOG_EVENTS = true;
        shellState().LogFolder = home.path();
        ASSERT_TRUE(sim.start(kScenario)) << sim.stderrText().toStdString();
    }
    void TearDown() override
    {
        engine.reset();
        wd.reset();
        probes.Clear();
        sim.quit();
        warningPanel().reset();
        resetShellState();
    }
    QString relayStates()
    {
        for (const QString& line : sim.control(QStringLiteral("status")))
            if (line.trimmed().startsWith(QStringLiteral("relays ")))
                return line.trimmed().section(u' ', 1, 1);
        return QString();
    }
    // A device is being waited for on one of the links in play.
    bool onTheLine() const
    {
        using test::waitingOnDevice;
        for (const auto& i : probes.Interfaces)
            if (waitingOnDevice(i->Link.get()) || waitingOnDevice(i->LoggerLink.get()))
                return true;
        return wd
            && (waitingOnDevice(wd->WatchdogPortLink()) || waitingOnDevice(wd->WatchdogClientLink())
                || waitingOnDevice(wd->WatchdogLink()));
    }
    bool pump(const std::function<bool()>& done, int realLimitMs = 20000)
    {
        return pumpVirtualTime(time, [this] { return onTheLine(); }, done, realLimitMs);
    }
    TProbe& connectInterface(int id, int port)
    {
        auto p = std::make_unique<TProbe>();
        p->Id = id;
        p->SensorType = InterfaceSensorType;
        p->ServerType = svDeviceServer;
        p->Link = std::make_unique<TVBTComms>(time);
        p->Link->Host = QStringLiteral("127.0.0.1");
        p->Link->Port = port;
        p->Link->SetActive(true);
        TVBTComms* link = p->Link.get();
        probes.Interfaces.push_back(std::move(p));
        EXPECT_TRUE(pump([link] { return link->Connected(); }));
        return *probes.Interfaces.back();
    }

    test::TempHome home;
    ManualTimeService time;
    test::VbtsimProcess sim;
    ProbeLists probes;
    NullSound sound;
    std::unique_ptr<EventEngine> engine;
    std::unique_ptr<WatchdogDevice> wd;
};

TEST_F(Simulated, RelayFollowsTheEventThatCrossesItsThreshold)
{
    TProbe& iface = connectInterface(100, sim.port("srv"));
    auto sensor = std::make_unique<TProbe>();
    sensor->Id = 1;
    sensor->Name = QStringLiteral("rack");
    sensor->SensorType = stTempHumidity;
    sensor->IsUsed = true;
    sensor->ParentInterface = &iface;
    probes.Sensors.push_back(std::move(sensor));
    TProbe& rack = *probes.Sensors.back();
    auto relay = std::make_unique<TProbe>();
    relay->Id = 20;
    relay->Name = QStringLiteral("fan");
    relay->SensorType = stRelayPanel;
    relay->IsUsed = true;
    relay->Address = 20;
    relay->RelayIndex = 1;
    relay->ParentInterface = &iface;
    relay->RawValues[mtRState] = 0;
    probes.Sensors.push_back(std::move(relay));
    TProbe& fan = *probes.Sensors.back();

    EventPlatform platform;
    platform.sound = &sound;
    engine = std::make_unique<EventEngine>(time, probes, nullptr, platform);
    auto hold = std::make_unique<TTask>();
    hold->Task_id = 1;
    hold->Task_type_code = ttRelayHold;
    hold->Relay_list.setCommaText("20");
    engine->AddTask(std::move(hold));
    auto off = std::make_unique<TTask>();
    off->Task_id = 2;
    off->Task_type_code = ttRelayOff;
    off->Relay_list.setCommaText("20");
    engine->AddTask(std::move(off));
    auto e = std::make_unique<TEvent>(*engine);
    e->Event_id = 1;
    e->Event_name = QStringLiteral("overheat");
    e->Sensor_list.setCommaText("1");
    e->Sensor_list2.setCommaText("1");
    e->Threshold1Value = 30;
    e->Threshold2Value = 25;
    e->Threshold2Type = ThresholdLower;
    e->Task_list.setCommaText("1");
    e->Task_list2.setCommaText("2");
    TEvent& event = engine->AddEvent(std::move(e));
    event.Prepare(home.path());
    engine->RebuildIndex();

    ASSERT_EQ(relayStates(), "0000");
    rack.Values[mtT] = 31.5;
    rack.RawValues[mtT] = 3150;
    engine->EvaluateAll(rack);
    ASSERT_TRUE(event.Active);
    EXPECT_TRUE(fan.RelayLocks.contains("1"));
    EXPECT_TRUE(pump([&] { return relayStates() == "0100"; })) << relayStates().toStdString();

    fan.RawValues[mtRState] = 1;
    rack.Values[mtT] = 24;
    rack.RawValues[mtT] = 2400;
    engine->EvaluateAll(rack);
    ASSERT_FALSE(event.Active);
    EXPECT_TRUE(fan.RelayLocks.isEmpty());
    EXPECT_TRUE(pump([&] { return relayStates() == "0000"; })) << relayStates().toStdString();
    EXPECT_TRUE(warningPanel().memo().isEmpty()) << "the panel acknowledged every command";
}

TEST_F(Simulated, WatchdogParametersAreWrittenAndReadBack)
{
    std::map<QString, QString> settings{{"Use_SMSHw", "-1"},
                                        {"WatchdogType", "2"},
                                        {"SMSTcpHost", "127.0.0.1"},
                                        {"SMSTcpPort", QString::number(sim.port("gsm"))}};
    wd = std::make_unique<WatchdogDevice>(time, probes, [&](const QString& k) { return settings[k]; });
    wd->SetUpWatchdog();
    ASSERT_TRUE(wd->WatchdogEnabled());
    ASSERT_TRUE(pump([&] { return wd->WatchdogPortLink()->Connected(); }));

    std::vector<WatchdogDevice::WriteReport> written;
    QString refusal;
    ASSERT_TRUE(wd->WriteWatchdogParameters({"", "300", "4", "6", "+36301234567", "A szerver leállt!"},
                                            [&](const WatchdogDevice::WriteReport& r) { written.push_back(r); },
                                            &refusal));
    ASSERT_TRUE(pump([&] { return written.size() == 6; }, 20000));
    for (const auto& r : written)
        EXPECT_EQ(r.code, 0) << "tag " << r.tag;
    EXPECT_TRUE(written.back().last);

    std::vector<WatchdogDevice::ReadReport> read;
    wd->ReadWatchdogParameters([&](const WatchdogDevice::ReadReport& r) { read.push_back(r); });
    ASSERT_TRUE(pump([&] { return read.size() == 5; }, 20000));
    EXPECT_EQ(read[0].value, "300");
    EXPECT_EQ(read[1].value, "4");
    EXPECT_EQ(read[2].value, "6");
    EXPECT_EQ(read[3].value, "+36301234567");
    EXPECT_EQ(read[4].value, "A szerver leállt!");
    EXPECT_TRUE(wd->ParametersWritable());

    std::optional<std::pair<quint16, QString>> switched;
    wd->SetWatchdogFunction(false, [&](quint16 code, const QString& text) { switched = {code, text}; });
    ASSERT_TRUE(pump([&] { return switched.has_value(); }));
    EXPECT_EQ(switched->first, 0);
    EXPECT_TRUE(switched->second.startsWith("A watchdog funkció kikapcsolva."));

    std::optional<QString> version;
    wd->ReadDeviceVersion([&](quint16, const QString& text, const QString&) { version = text; });
    ASSERT_TRUE(pump([&] { return version.has_value(); }));
    EXPECT_TRUE(version->startsWith("verziószám: ")) << version->toStdString();
}

TEST_F(Simulated, SmsTaskReachesTheGsmDevice)
{
    std::map<QString, QString> settings{{"Use_SMSHw", "-1"},
                                        {"WatchdogType", "2"},
                                        {"SMSTcpHost", "127.0.0.1"},
                                        {"SMSTcpPort", QString::number(sim.port("gsm"))}};
    wd = std::make_unique<WatchdogDevice>(time, probes, [&](const QString& k) { return settings[k]; });
    wd->SetUpWatchdog();
    ASSERT_TRUE(pump([&] { return wd->WatchdogPortLink()->Connected(); }));
    EventPlatform platform;
    platform.sound = &sound;
    engine = std::make_unique<EventEngine>(time, probes, nullptr, platform);
    engine->SetWatchdog(wd.get());
    auto sms = std::make_unique<TTask>();
    sms->Task_id = 1;
    sms->Task_type_code = ttSms;
    sms->Message_destination = QStringLiteral("+36209876543");
    sms->Message_text = QStringLiteral("Túlmelegedés: %f °C");
    engine->AddTask(std::move(sms));
    auto sensor = std::make_unique<TProbe>();
    sensor->Id = 1;
    sensor->Name = QStringLiteral("rack");
    sensor->SensorType = stTempHumidity;
    sensor->IsUsed = true;
    probes.Sensors.push_back(std::move(sensor));
    TProbe& rack = *probes.Sensors.back();
    auto e = std::make_unique<TEvent>(*engine);
    e->Event_id = 4;
    e->Event_name = QStringLiteral("Hőség");
    e->Sensor_list.setCommaText("1");
    e->Threshold1Value = 30;
    e->Task_list.setCommaText("1");
    TEvent& event = engine->AddEvent(std::move(e));
    event.Prepare(home.path());
    engine->RebuildIndex();
    rack.Values[mtT] = 31.5;
    rack.RawValues[mtT] = 3150;
    engine->EvaluateAll(rack);
    ASSERT_TRUE(event.Active);

    QFile capture(sim.dir() + QStringLiteral("/sms.jsonl"));
    ASSERT_TRUE(pump([&] { return capture.exists() && capture.size() > 0; })) << sim.stderrText().toStdString();
    ASSERT_TRUE(capture.open(QIODevice::ReadOnly));
    const QJsonObject sent = QJsonDocument::fromJson(capture.readLine()).object();
    EXPECT_EQ(sent["from"].toString(), "computer");
    EXPECT_EQ(sent["number"].toString(), "+36209876543");
    EXPECT_EQ(sent["text"].toString(),
              "Corvalux esemény. (Szenzor: rack Adatok: hőmérs.  felső hat.ért.: 30) Túlmelegedés: 31,50 °C");
    // The device acknowledged: no failure was reported.
    QCoreApplication::processEvents();
    EXPECT_EQ(warningPanel().memo().size(), 1) << warningPanel().memo().join(u'\n').toStdString();
}

TEST_F(Simulated, HeartbeatsAreAnsweredUntilTheProgramStops)
{
    std::map<QString, QString> settings{{"Use_SMSHw", "-1"},
                                        {"WatchdogType", "2"},
                                        {"SMSTcpHost", "127.0.0.1"},
                                        {"SMSTcpPort", QString::number(sim.port("gsm"))}};
    wd = std::make_unique<WatchdogDevice>(time, probes, [&](const QString& k) { return settings[k]; });
    wd->SetUpWatchdog();
    ASSERT_TRUE(pump([&] { return wd->WatchdogPortLink()->Connected(); }));
    auto status = [&] {
        for (const QString& line : sim.control(QStringLiteral("status")))
            if (line.contains(QStringLiteral("missed now")))
                return line;
        return QString();
    };
    // Each check sends the heartbeat; the automatic answer makes the next check a good one.
    bool answered = false;
    for (int i = 0; i < 50 && !answered; ++i) {
        sim.control(QStringLiteral("check watchdog"));
        pump([] { return false; }, 50);
        answered = status().contains(QStringLiteral("missed now 0, alarms 0"));
    }
    EXPECT_TRUE(answered) << status().toStdString();

    wd->TearDown(); // the program stops: nobody answers any more
    // The first check still counts the answer to the last heartbeat; three misses follow.
    for (int i = 0; i < 4; ++i)
        sim.control(QStringLiteral("check watchdog"));
    EXPECT_TRUE(status().contains(QStringLiteral("alarms 1"))) << status().toStdString();
    QFile capture(sim.dir() + QStringLiteral("/sms.jsonl"));
    ASSERT_TRUE(capture.open(QIODevice::ReadOnly));
    const QJsonObject alarm = QJsonDocument::fromJson(capture.readLine()).object();
    EXPECT_EQ(alarm["from"].toString(), "watchdog");
    EXPECT_EQ(alarm["number"].toString(), "+36301112222");
}

TEST_F(Simulated, DataLoggerWatchdogStoresThePauseInMinutes)
{
    TProbe& iface = connectInterface(30, sim.port("bridge"));
    iface.ServerType = svBridgeWithLogger;
    iface.LoggerLink = std::make_unique<TVBTComms>(time);
    iface.LoggerLink->PortOwner = iface.Link.get();
    iface.LoggerLink->VBTAddress = 249;
    iface.LoggerLink->SetActive(true);
    std::map<QString, QString> settings{{"Use_SMSHw", "-1"}, {"WatchdogType", "1"}, {"WatchdogID", "30"}};
    wd = std::make_unique<WatchdogDevice>(time, probes, [&](const QString& k) { return settings[k]; });
    wd->SetUpWatchdog();
    ASSERT_EQ(wd->WatchdogLink(), iface.LoggerLink.get());

    std::optional<WatchdogParameterTexts> fields;
    wd->ReadLoggerWatchdogParameters([&](quint16 code, const WatchdogParameterTexts& f, const QString&) {
        EXPECT_EQ(code, 0);
        fields = f;
    });
    ASSERT_TRUE(pump([&] { return fields.has_value(); }, 30000));
    EXPECT_EQ(fields->CheckInterval, "7");
    EXPECT_EQ(fields->AlarmPauseHours, "2");
    ASSERT_TRUE(wd->ParametersWritable());

    std::optional<quint16> written;
    WatchdogParameterTexts v = *fields;
    v.AlarmPauseHours = QStringLiteral("3");
    v.AlarmPhone = QStringLiteral("+36301234567");
    v.AlarmText = QStringLiteral("A gép nem válaszol");
    ASSERT_TRUE(wd->WriteLoggerWatchdogParameters(v, [&](quint16 code, const QString&) { written = code; }));
    ASSERT_TRUE(pump([&] { return written.has_value(); }, 30000));
    EXPECT_EQ(*written, 0);

    fields.reset();
    ASSERT_TRUE(pump([&] { return iface.LoggerLink->QueueCount() == 0; }, 30000));
    wd->ReadLoggerWatchdogParameters([&](quint16, const WatchdogParameterTexts& f, const QString&) { fields = f; });
    ASSERT_TRUE(pump([&] { return fields.has_value(); }, 30000));
    EXPECT_EQ(fields->AlarmPauseHours, "3");
    EXPECT_EQ(fields->AlarmPhone, "+36301234567");
    EXPECT_EQ(fields->AlarmText, "A gép nem válaszol");
    EXPECT_EQ(fields->OperatingMode, "0");
}

} // namespace
