// Tasks: relays with holds, locking and activating other events, messages, SMS,
// programs, sound, and what they write into the event's log and the warning panel.

#include "event_fixture.h"
#include "events/warning_calls.h"
#include "events/watchdog.h"

#include <QFileInfo>

using namespace cvx;
using namespace cvx::test;

namespace {

class Tasks : public EventTest {
protected:
    TEvent& plainEvent(int id, const QString& tasks = QString(), const QString& closing = QString())
    {
        return addEvent(id, [&](TEvent& e) {
            e.Condition_type_code = CTC_EVENT_TRIGGERED;
            e.Condition_type_code2 = CTC_EVENT_TRIGGERED;
            e.Task_list.setCommaText(tasks);
            e.Task_list2.setCommaText(closing);
        });
    }
    // The relay commands sent, each acknowledged by the panel as it arrives.
    std::vector<QByteArray> relayCommands()
    {
        size_t answered = 0;
        for (int i = 0; i < 100; ++i) {
            time.advance(10);
            acknowledgeAll(transports.tcp, answered);
        }
        std::vector<QByteArray> out;
        for (const auto& f : framesOf(transports.tcp))
            if (f.data.startsWith("CRLS"))
                out.push_back(f.data);
        return out;
    }
};

// ---- relays ---------------------------------------------------------------------------------

TEST_F(Tasks, RelayOffOfAHoldingEventRemovesOnlyItsOwnHold)
{
    TProbe& iface = addInterface(100);
    TProbe& relay = addRelay(20, iface, 2);
    TTask& hold = addTask(1, ttRelayHold, [](TTask& t) { t.Relay_list.setCommaText("20"); });
    TTask& off = addTask(2, ttRelayOff, [](TTask& t) { t.Relay_list.setCommaText("20"); });
    TEvent& a = plainEvent(1);
    TEvent& b = plainEvent(2);
    EXPECT_EQ(engine->RunTask(hold, a),
              "sensor20 (20/2) relé bekapcsolva tartva az es. lezárultáig (bekapcsolva tartják: event1)");
    engine->RunTask(hold, b);
    EXPECT_EQ(relay.RelayLocks.keys(), (QStringList{"1", "2"}));
    EXPECT_EQ(engine->RunTask(off, a),
              "sensor20 (20/2) relét nem kapcsoltam ki, mert zárolva van (bekapcsolva tartják: event2)");
    EXPECT_EQ(relay.RelayLocks.keys(), QStringList{"2"});
    EXPECT_EQ(engine->RunTask(off, b), "sensor20 (20/2) relé kikapcsolva");
    EXPECT_TRUE(relay.RelayLocks.isEmpty());
    EXPECT_EQ(relayCommands(),
              (std::vector<QByteArray>{QByteArray("CRLSO\x02", 6), QByteArray("CRLSO\x02", 6),
                                       QByteArray("CRLSC\x02", 6)}));
}

struct ToggleCase {
    const char* name;
    int lastState;
    bool heldByOther;
    const char* text;
    const char* command; // empty: none
};

class Toggle : public Tasks, public ::testing::WithParamInterface<ToggleCase> {};

TEST_P(Toggle, SwitchesByTheLastStateUnlessHeld)
{
    const ToggleCase c = GetParam();
    TProbe& iface = addInterface(100);
    TProbe& relay = addRelay(20, iface, 0);
    relay.RawValues[mtRState] = c.lastState;
    TTask& toggle = addTask(1, ttRelayToggle, [](TTask& t) { t.Relay_list.setCommaText("20"); });
    TEvent& e = plainEvent(1);
    if (c.heldByOther)
        relay.RelayLocks.insert("7", RelayLockEntry{7, "holder"});
    EXPECT_EQ(engine->RunTask(toggle, e), QString::fromUtf8(c.text));
    const auto cmds = relayCommands();
    if (*c.command) {
        ASSERT_EQ(cmds.size(), 1u);
        EXPECT_EQ(cmds[0], QByteArray(c.command, 6));
    } else {
        EXPECT_TRUE(cmds.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Toggle,
    ::testing::Values(ToggleCase{"off_switches_on", 0, false, "sensor20 (20/0) relé bekapcsolva ()", "CRLSO\0"},
                      ToggleCase{"on_switches_off", 1, false, "sensor20 (20/0) relé kikapcsolva", "CRLSC\0"},
                      ToggleCase{"on_and_held_stays", 1, true,
                                 "sensor20 (20/0) relét nem kapcsoltam ki, mert zárolva van (bekapcsolva tartják: holder)",
                                 ""},
                      ToggleCase{"off_and_held_switches_on", 0, true, "sensor20 (20/0) relé bekapcsolva ()", "CRLSO\0"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Tasks, TwoRelaysGiveTwoCommandsAndTheSecondText)
{
    TProbe& iface = addInterface(100);
    addRelay(20, iface, 0);
    addRelay(21, iface, 5);
    addSensor(22, stTempHumidity, &iface); // not a relay: skipped
    TTask& on = addTask(1, ttRelayOn, [](TTask& t) { t.Relay_list.setCommaText("20,22,x,21,99"); });
    EXPECT_EQ(engine->RunTask(on, plainEvent(1)), "sensor21 (21/5) relé bekapcsolva ()");
    EXPECT_EQ(relayCommands(),
              (std::vector<QByteArray>{QByteArray("CRLSO\x00", 6), QByteArray("CRLSO\x05", 6)}));
}

TEST_F(Tasks, NoRelayInTheList)
{
    addSensor(22);
    TTask& on = addTask(1, ttRelayOn, [](TTask& t) { t.Relay_list.setCommaText("22,99"); });
    EXPECT_EQ(engine->RunTask(on, plainEvent(1)), "Érvénytelen relék vannak megadva!");
}

TEST_F(Tasks, ClosingReleasesTheRelayHoldWithoutSwitchingIt)
{
    TProbe& iface = addInterface(100);
    TProbe& relay = addRelay(20, iface, 1);
    addTask(1, ttRelayHold, [](TTask& t) { t.Relay_list.setCommaText("20"); });
    TEvent& e = plainEvent(1, "1");
    e.SetActive(true);
    EXPECT_EQ(relay.RelayLocks.keys(), QStringList{"1"});
    e.SetActive(false);
    EXPECT_TRUE(relay.RelayLocks.isEmpty());
    EXPECT_EQ(logCount("A(z) sensor20 relét nem tartom tovább bekapcsolva. (Ettől még bekapcsolva maradhat!) Állapota "
                       "most: nincs zárolva"),
              1);
    EXPECT_EQ(relayCommands(), std::vector<QByteArray>{QByteArray("CRLSO\x01", 6)});
}

TEST_F(Tasks, AFailedRelayCommandIsWarnedAndLoggedInTheEvent)
{
    TProbe& iface = addInterface(100);
    addRelay(20, iface, 0);
    addTask(1, ttRelayOn, [](TTask& t) { t.Relay_list.setCommaText("20"); });
    TEvent& e = plainEvent(1, "1");
    e.SetActive(true);
    // The device never answers: the link gives up with "no answer".
    time.advance(5000);
    const QString text = "Nem sikerült átkapcsolni a relét. Ellenőrizze a készüléket és kapcsolat beállításait! "
                         "Hibakód: 5";
    EXPECT_TRUE(eventLogLines(e).contains(text));
    ASSERT_FALSE(warningPanel().memo().isEmpty());
    EXPECT_TRUE(warningPanel().memo().last().endsWith(text));
    EXPECT_FALSE(warningPanel().menuAlertsDisappear());
    EXPECT_TRUE(warningPanel().chboxAlertsDontDisappear());
}

TEST_F(Tasks, AnAnsweredRelayCommandWarnsNothing)
{
    TProbe& iface = addInterface(100);
    addRelay(20, iface, 0);
    addTask(1, ttRelayOn, [](TTask& t) { t.Relay_list.setCommaText("20"); });
    plainEvent(1, "1").SetActive(true);
    size_t answered = 0;
    for (int i = 0; i < 50; ++i) {
        time.advance(20);
        acknowledgeAll(transports.tcp, answered);
    }
    time.advance(5000);
    EXPECT_EQ(answered, 1u);
    EXPECT_TRUE(warningPanel().memo().isEmpty());
}

TEST_F(Tasks, SerialRelayControllerSwitchesTheModemLine)
{
    transports.devices[QStringLiteral("/dev/ttyRELAY")] = {};
    auto p = std::make_unique<TProbe>();
    p->Id = 100;
    p->SensorType = InterfaceSensorType;
    p->Link = std::make_unique<TVBTComms>(time, &transports);
    p->Link->SerialDevice = QStringLiteral("/dev/ttyRELAY");
    p->Link->ReleVezerlesSorosPorton = true;
    p->Link->SetActive(true);
    time.advance(1);
    probes.Interfaces.push_back(std::move(p));
    TProbe& relay = addRelay(30, *probes.Interfaces.back(), 1, stSerialRelay);
    TTask& on = addTask(1, ttRelayOn, [](TTask& t) { t.Relay_list.setCommaText("30"); });
    TTask& off = addTask(2, ttRelayOff, [](TTask& t) { t.Relay_list.setCommaText("30"); });
    engine->RunTask(on, plainEvent(1));
    ASSERT_NE(transports.serial, nullptr);
    EXPECT_TRUE(transports.serial->dtr) << "relay 2 is the DTR line";
    relay.RawValues[mtRState] = 1;
    engine->RunTask(off, *engine->FindEvent(1));
    EXPECT_FALSE(transports.serial->dtr);
}

TEST_F(Tasks, PurgeRemovesRelayIdsOfSensorsThatAreNotLoaded)
{
    TProbe& iface = addInterface(100);
    addRelay(20, iface);
    TTask& t = addTask(1, ttRelayOn, [](TTask& tk) { tk.Relay_list.setCommaText("5,x,6,20,7,8"); });
    engine->PurgeTaskRelayLists();
    EXPECT_EQ(t.Relay_list.texts(), QStringList{"20"});
}

// ---- other events -----------------------------------------------------------------------------

TEST_F(Tasks, LockTaskLocksUntilTheLockerCloses)
{
    addTask(1, ttLockEvents, [](TTask& t) { t.Event_list.setCommaText("2,3,404"); });
    TEvent& locker = plainEvent(1, "1");
    TEvent& a = plainEvent(2);
    TEvent& b = plainEvent(3);
    b.SetActive(true);
    locker.SetActive(true);
    EXPECT_FALSE(a.IsEnabled());
    EXPECT_FALSE(b.IsEnabled());
    EXPECT_TRUE(eventLogLines(locker).contains("  event3 (épp aktív) esemény zárolva"))
        << eventLogLines(locker).join("\n").toStdString();
    EXPECT_TRUE(eventLogLines(a).contains("event1 esemény zárolta (a következő események még zárolják: 1)"));
    b.SetActive(false);
    EXPECT_TRUE(b.Active) << "a locked event is not closed";
    locker.SetActive(false);
    EXPECT_TRUE(a.IsEnabled());
    EXPECT_TRUE(b.IsEnabled());
    EXPECT_TRUE(eventLogLines(locker).contains("A(z) event2 eseményt feloldom. (Állapota most: engedélyezve)"));
    b.SetActive(false);
    EXPECT_FALSE(b.Active);
}

TEST_F(Tasks, ActivateTaskTellsTheStateBeforeAndSkipsLockedEvents)
{
    addTask(1, ttActivateEvents, [](TTask& t) { t.Event_list.setCommaText("1,2,3"); });
    addTask(2, ttCloseEvents, [](TTask& t) { t.Event_list.setCommaText("2"); });
    TEvent& runner = plainEvent(1);
    TEvent& a = plainEvent(2);
    TEvent& b = plainEvent(3);
    TEvent& locker = plainEvent(4);
    b.Lock(locker);
    EXPECT_EQ(engine->RunTask(*engine->FindTask(1), runner), "event3 (most inaktív) eseményt aktiválni kellene, de le van tiltva");
    EXPECT_TRUE(a.Active);
    EXPECT_FALSE(b.Active);
    EXPECT_FALSE(runner.Active) << "the running event is not in its own list";
    EXPECT_EQ(engine->RunTask(*engine->FindTask(2), runner), "event2 (épp aktív) esemény lezárva");
    EXPECT_FALSE(a.Active);
}

TEST_F(Tasks, EventsActivatingAndClosingEachOtherInACircleStop)
{
    addTask(1, ttActivateEvents, [](TTask& t) { t.Event_list.setCommaText("2"); });
    addTask(2, ttCloseEvents, [](TTask& t) { t.Event_list.setCommaText("1"); });
    addTask(3, ttCloseEvents, [](TTask& t) { t.Event_list.setCommaText("2"); });
    addTask(4, ttActivateEvents, [](TTask& t) { t.Event_list.setCommaText("1"); });
    TEvent& a = plainEvent(1, "1", "3");
    TEvent& b = plainEvent(2, "2", "4");
    a.SetActive(true);
    EXPECT_TRUE(a.Active);
    EXPECT_TRUE(b.Active);
    EXPECT_GE(logCount("épp az aktiválása vagy a lezárása folyik"), 1);
}

// ---- messages --------------------------------------------------------------------------------

TEST_F(Tasks, MeasuredEventMessageNamesTheSensorValueAndLimit)
{
    addTask(1, ttSms, [](TTask& t) { t.Message_text = "Túl meleg: %f"; });
    TEvent& e = addEvent(1, [](TEvent& ev) {
        ev.Sensor_list.setCommaText("1");
        ev.Threshold1Value = 30.5;
        ev.Threshold1MeasureType = mtT;
        ev.Task_list.setCommaText("1");
    });
    TProbe& s = addSensor(1);
    measure(s, mtT, 31.25);
    ASSERT_TRUE(e.Active);
    const QString expected =
        "Corvalux esemény. (Szenzor: sensor1 Adatok: hőmérs.  felső hat.ért.: 30,5) Túl meleg: 31,25 ";
    ASSERT_EQ(warningPanel().memo().size(), 1);
    EXPECT_TRUE(warningPanel().memo()[0].endsWith(expected));
    EXPECT_FALSE(warningPanel().menuAlertsDisappear());
    // The SMS device is off: nothing is sent and nothing is logged as sent.
    EXPECT_EQ(logCount("SMS küldése"), 0);
}

struct CaptionCase {
    int measureType, thresholdType;
    const char* data;
};
class Captions : public Tasks, public ::testing::WithParamInterface<CaptionCase> {};

TEST_P(Captions, MeasureCaptionAndLimitText)
{
    const CaptionCase c = GetParam();
    addTask(1, ttSms, [](TTask& t) { t.Message_text = "x"; });
    TEvent& e = addEvent(1, [&](TEvent& ev) {
        ev.Threshold1MeasureType = c.measureType;
        ev.Threshold1Type = c.thresholdType;
        ev.Threshold1Value = 12;
    });
    engine->RunTask(*engine->FindTask(1), e);
    EXPECT_TRUE(warningPanel().memo().last().endsWith(QString::fromUtf8(c.data)));
}

INSTANTIATE_TEST_SUITE_P(Cases, Captions,
                         ::testing::Values(CaptionCase{1, 1, "(Szenzor:  Adatok: hőmérs.  felső hat.ért.: 12) x "},
                                           CaptionCase{2, 2, "(Szenzor:  Adatok: páratart.  alsó hat.ért.: 12) x "},
                                           CaptionCase{3, 1, "(Szenzor:  Adatok: légnyomás felső hat.ért.: 12) x "}));

TEST_F(Tasks, OtherEventsNameTheSensorLastHandedOverWhateverItWas)
{
    addTask(1, ttSms, [](TTask& t) { t.Message_text = "Ütemezett"; });
    TEvent& e = addEvent(1, [](TEvent& ev) {
        ev.Condition_type_code = CTC_PERIODIC;
        ev.Period = 1;
        ev.Task_list.setCommaText("1");
    });
    TEvent& locker = plainEvent(9);
    TProbe& a = addSensor(1);
    TProbe& b = addSensor(2);
    measure(a, mtT, 20);
    e.Lock(locker);
    measure(b, mtT, 20); // handed over while the event was locked: does not count
    e.Unlock(locker);
    EXPECT_EQ(e.LastSensor(), &a);
    advanceMinutes(1);
    EXPECT_TRUE(warningPanel().memo().last().endsWith("Corvalux esemény: event1 (Szenzor: sensor1) Ütemezett"));
    measure(b, mtT, 20);
    EXPECT_EQ(e.LastSensor(), &b);
}

TEST_F(Tasks, SmsWithTheDeviceOffStillWarnsAndReturnsNothing)
{
    TTask& sms = addTask(1, ttSms, [](TTask& t) {
        t.Message_destination = "+36301234567";
        t.Message_text = "Riasztás";
    });
    EXPECT_EQ(engine->RunTask(sms, plainEvent(1)), QString());
    EXPECT_EQ(warningPanel().memo().size(), 1);
    // Warnings that the task raised stay when all sensors are back: outdated warnings may
    // no longer disappear by themselves.
    EXPECT_FALSE(warningPanel().menuAlertsDisappear());
    warningPanel().AllSensorsDownShown = true;
    CloseAllSensorsDownWarningIfOutdated();
    EXPECT_TRUE(warningPanel().visible());
}

// ---- SMS through the watchdog device ----------------------------------------------------------

struct SmsCase {
    const char* name;
    QString destination, message;
    QByteArray destinationField, messageField;
};

class SmsLayout : public ::testing::TestWithParam<SmsCase> {};

TEST_P(SmsLayout, FieldsAreCutAndPadded)
{
    const SmsCase c = GetParam();
    const QByteArray cmd = SmsCommand(c.destination, c.message);
    ASSERT_EQ(cmd.size(), 145);
    EXPECT_EQ(cmd.left(5), "CGSSM");
    EXPECT_EQ(cmd.mid(5, 20), c.destinationField);
    EXPECT_EQ(cmd.mid(25, 120), c.messageField);
}

QByteArray padded(const QByteArray& b, int n) { return b + QByteArray(n - b.size(), ' '); }

INSTANTIATE_TEST_SUITE_P(
    Cases, SmsLayout,
    ::testing::Values(
        SmsCase{"short", "+3630123", "Hi", padded(QByteArray("+3630123\0", 9), 20), padded(QByteArray("Hi\0", 3), 120)},
        SmsCase{"twenty_characters_lose_the_zero", QString(20, u'9'), "x", QByteArray(20, '9'),
                padded(QByteArray("x\0", 2), 120)},
        SmsCase{"nineteen_keep_it", QString(19, u'9'), "x", QByteArray(19, '9') + QByteArray(1, '\0'),
                padded(QByteArray("x\0", 2), 120)},
        SmsCase{"long_message_cut", "1", QString(130, u'a'), padded(QByteArray("1\0", 2), 20), QByteArray(120, 'a')},
        SmsCase{"accents_single_byte", "1", QStringLiteral("őű"), padded(QByteArray("1\0", 2), 20),
                padded(QByteArray("\xF5\xFB\0", 3), 120)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Tasks, SmsGoesToTheWatchdogDeviceAndItsFailureIsWarned)
{
    FakeTransports wdTransports(&time);
    wdTransports.autoConnect = true;
    std::map<QString, QString> wdSettings{{"Use_SMSHw", "-1"}, {"WatchdogType", "2"}, {"SMSTcpPort", "5001"},
                                          {"SMSTcpAddr", "77"}};
    WatchdogDevice wd(time, probes, [&](const QString& k) { return wdSettings.count(k) ? wdSettings[k] : QString(); },
                      &wdTransports);
    wd.SetUpWatchdog();
    time.advance(1);
    ASSERT_TRUE(wd.WatchdogEnabled());
    engine->SetWatchdog(&wd);
    TTask& sms = addTask(1, ttSms, [](TTask& t) {
        t.Message_destination = "+36301234567";
        t.Message_text = "Riasztás";
    });
    TEvent& e = plainEvent(3, "1");
    e.SetActive(true);
    EXPECT_TRUE(eventLogLines(e).contains(
        "  SMS küldése. Cím: +36301234567 Üzenet: Corvalux esemény: event3 (Szenzor: ) Riasztás Készülékcím: 77"))
        << eventLogLines(e).join("\n").toStdString();
    time.advance(50);
    std::vector<Frame> frames = framesOf(wdTransports.tcp);
    auto it = std::find_if(frames.begin(), frames.end(), [](const Frame& f) { return f.data.startsWith("CGSSM"); });
    ASSERT_NE(it, frames.end());
    EXPECT_EQ(it->to, 77u);
    EXPECT_EQ(it->data, SmsCommand("+36301234567", "Corvalux esemény: event3 (Szenzor: ) Riasztás"));
    // No answer within the 15 s the command waits, nor in the 30 and 45 s of its repeats.
    time.advance(89000);
    EXPECT_TRUE(warningPanel().memo().size() == 1);
    time.advance(2000);
    EXPECT_TRUE(eventLogLines(e).contains("Az SMS elküldése nem sikerült! Hibakód: 5"));
    EXPECT_TRUE(warningPanel().memo().last().endsWith("Az SMS elküldése nem sikerült! Hibakód: 5"));
    engine->FreeAll();
    engine->SetWatchdog(nullptr);
    (void)sms;
}

TEST_F(Tasks, FreeingATaskWithdrawsItsQueuedCommands)
{
    TProbe& iface = addInterface(100);
    addRelay(20, iface, 0);
    addRelay(21, iface, 1);
    TTask& on = addTask(1, ttRelayOn, [](TTask& t) { t.Relay_list.setCommaText("20,21"); });
    engine->RunTask(on, plainEvent(1));
    EXPECT_EQ(iface.Link->QueueCount(), 2);
    engine->FreeTasks();
    EXPECT_EQ(iface.Link->QueueCount(), 0);
    time.advance(10000);
    EXPECT_TRUE(warningPanel().memo().isEmpty()) << "withdrawn commands report nothing";
}

// ---- programs -------------------------------------------------------------------------------------

TEST_F(Tasks, CommandResultTexts)
{
    TTask& cmd = addTask(1, ttCommand, [](TTask& t) {
        t.exec_cmd = "/opt/tools/alarm.sh";
        t.exec_params = "  \"two words\" plain \"say \"\"hi\"\"\" ";
    });
    TEvent& e = plainEvent(1);
    EXPECT_EQ(engine->RunTask(cmd, e),
              "A(z) \"/opt/tools/alarm.sh   \"two words\" plain \"say \"\"hi\"\"\"\" parancs sikeresen végrehajtva. "
              "Eredménykód: 4242");
    ASSERT_EQ(launcher.calls.size(), 1u);
    EXPECT_EQ(launcher.calls[0].arguments, (QStringList{"two words", "plain", "say \"hi\""}));
    launcher.result = LaunchResult{false, 2, "Program not found"};
    cmd.exec_params.clear();
    EXPECT_EQ(engine->RunTask(cmd, e), "A(z) \"/opt/tools/alarm.sh\" parancs végrehajtása nem sikerült. Eredménykód: 2");
}

// ---- sound ----------------------------------------------------------------------------------------

TEST_F(Tasks, SoundPlaysOnceAtATimeAndProblemsAreLogged)
{
    const QString file = home.file("alarm.wav");
    writeFile(file, "RIFF");
    TEvent& e = addEvent(1, [&](TEvent& ev) {
        ev.Condition_type_code = CTC_EVENT_TRIGGERED;
        ev.Sound_enabled = true;
        ev.SndFile = file;
    });
    e.SetActive(true);
    EXPECT_EQ(sound.played, QStringList{file});
    e.SetActive(false);
    e.SetActive(true); // still playing
    EXPECT_EQ(sound.played.size(), 1);
    e.SetActive(false);
    sound.playing = false;
    sound.fail = "no sound output on this computer";
    e.SetActive(true);
    EXPECT_TRUE(eventLogLines(e).contains("Hiba történt a hangjelzés lejátszásakor: no sound output on this computer"));
    e.SetActive(false);
    e.SndFile = home.file("missing.wav");
    e.SetActive(true);
    EXPECT_TRUE(eventLogLines(e).contains("Nem találom a megadott hangállományt: " + home.file("missing.wav")));
    EXPECT_TRUE(e.Active) << "sound problems never stop the activation";
}

// ---- logs -------------------------------------------------------------------------------------------

TEST_F(Tasks, EventLogFileNameAndSettingsLines)
{
    TEvent& e = addEvent(7, [](TEvent& ev) {
        ev.Event_name = QStringLiteral("Szerver: 50% terem. 2");
        ev.Sensor_list.setCommaText("1, 2");
        ev.Threshold1Value = 27.5;
    });
    EXPECT_EQ(QFileInfo(e.Log_->file()).fileName(), "007 Szerver_ 50 terem_ 2.eventlog");
    const QStringList lines = eventLogLines(e);
    EXPECT_TRUE(lines.contains("Event_id: 7"));
    EXPECT_TRUE(lines.contains("Threshold: 27,5"));
    EXPECT_TRUE(lines.contains("Sensor_list: 1,2"));
    EXPECT_TRUE(lines.contains("Event_is_used: -1"));
    EXPECT_EQ(lines.size(), 23);
    EXPECT_EQ(logCount("[007        \"Szerver: 50% terem. 2\" esemény:] Event_id: 7"), 1);
}

TEST_F(Tasks, NothingIsLoggedWithEventLoggingOff)
{
    shellState().LOG_EVENTS = false;
    TEvent& e = plainEvent(1);
    e.SetActive(true);
    EXPECT_TRUE(eventLogLines(e).isEmpty());
    EXPECT_EQ(logCount("esemény:]"), 0);
}

TEST(WarningCalls, WithWarningsOffFailuresStillReachTheLog)
{
    resetShellState();
    warningPanel().reset();
    CapturedMainLog log;
    warningPanel().setMenuAlertsEnabled(false);
    ShowOrLogWarning("SMS failed");
    EXPECT_FALSE(warningPanel().visible());
    EXPECT_TRUE(log.contains("SMS failed"));
    warningPanel().reset();
}

} // namespace
