// The watchdog and SMS device on virtual time over the in-memory transports: set-up of
// the three connection types, the keep-alive, heartbeat answers, the parameter requests
// and the data-logger parameter block.

#include "event_fixture.h"
#include "devproto/ds_block.h"
#include "events/watchdog.h"

#include <QFileInfo>
#include <QStringEncoder>

using namespace cvx;
using namespace cvx::test;

namespace {

class Watchdog : public EventTest {
protected:
    Watchdog() { wdTransports.autoConnect = true; }
    ~Watchdog() override { wd.reset(); }
    WatchdogDevice& setUp(std::map<QString, QString> s)
    {
        wdSettings = std::move(s);
        wd = std::make_unique<WatchdogDevice>(
            time, probes, [this](const QString& k) { return wdSettings.count(k) ? wdSettings[k] : QString(); },
            &wdTransports);
        wd->SetUpWatchdog();
        time.advance(1);
        return *wd;
    }
    std::vector<Frame> sent(FakeLine* line) { return framesOf(line); }
    // A frame the device sends to the computer.
    static QByteArray fromDevice(quint32 address, int serial, const QByteArray& payload, TInfo info = nem_kerek_nyugtat)
    {
        TVBTProtocol enc;
        enc.Cimzett = vbt::PcAddress;
        enc.Felado = address;
        enc.Felado_rovid_cim = quint8(address);
        enc.CsomagSorszam = quint8(serial);
        enc.Info = info;
        return enc.EncodeFrame(payload);
    }

    FakeTransports wdTransports{&time};
    std::map<QString, QString> wdSettings;
    std::unique_ptr<WatchdogDevice> wd;
};

struct SetUpCase {
    const char* name;
    bool master;
    std::map<QString, QString> settings;
    bool enabled;
    QString host;     // of the port link
    int port;
    quint32 address;
};

class SetUpTable : public Watchdog, public ::testing::WithParamInterface<SetUpCase> {};

TEST_P(SetUpTable, LinksFollowTheSettings)
{
    const SetUpCase c = GetParam();
    shellState().MasterMode = c.master;
    transports.devices["/dev/ttyS2"] = {};
    wdTransports.devices["/dev/ttyS2"] = {};
    WatchdogDevice& w = setUp(c.settings);
    EXPECT_EQ(w.WatchdogEnabled(), c.enabled);
    EXPECT_EQ(w.WatchdogTimer().isActive(), c.enabled);
    if (!c.enabled) {
        EXPECT_EQ(w.WatchdogLink(), nullptr);
        return;
    }
    ASSERT_NE(w.WatchdogPortLink(), nullptr);
    EXPECT_EQ(w.WatchdogPortLink()->Host, c.host);
    EXPECT_EQ(w.WatchdogPortLink()->Port, c.port);
    EXPECT_EQ(w.WatchdogLink(), w.WatchdogClientLink());
    EXPECT_EQ(w.WatchdogLink()->VBTAddress, c.address);
    EXPECT_EQ(w.WatchdogLink()->PortOwner, w.WatchdogPortLink());
    EXPECT_TRUE(w.WatchdogLink()->AutoAnswer);
    ASSERT_NE(w.WatchdogCommLog(), nullptr);
    EXPECT_EQ(QFileInfo(w.WatchdogCommLog()->LogFile).fileName(), "WatchDog.commlog");
    EXPECT_EQ(w.WatchdogCommLog()->LogLimit, c.host.isEmpty() ? 50'000'000 : 10'000'000);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SetUpTable,
    ::testing::Values(
        SetUpCase{"client_instance", false, {{"Use_SMSHw", "-1"}, {"WatchdogType", "2"}}, false, {}, 0, 0},
        SetUpCase{"not_in_use", true, {{"Use_SMSHw", "0"}, {"WatchdogType", "2"}}, false, {}, 0, 0},
        SetUpCase{"unknown_type", true, {{"Use_SMSHw", "-1"}, {"WatchdogType", "7"}}, false, {}, 0, 0},
        SetUpCase{"type1_unknown_interface", true, {{"Use_SMSHw", "-1"}, {"WatchdogType", "1"}, {"WatchdogID", "55"}},
                  false, {}, 0, 0},
        SetUpCase{"tcp_defaults", true,
                  {{"Use_SMSHw", "-1"}, {"WatchdogType", "2"}, {"SMSTcpHost", ""}, {"SMSTcpPort", "abc"}}, true,
                  "localhost", 1001, 249},
        SetUpCase{"tcp_given", true,
                  {{"Use_SMSHw", "true"}, {"WatchdogType", "2"}, {"SMSTcpHost", "gsm.local"}, {"SMSTcpPort", "4100"},
                   {"SMSTcpAddr", "12"}},
                  true, "gsm.local", 4100, 12},
        SetUpCase{"serial", true, {{"Use_SMSHw", "-1"}, {"WatchdogType", "0"}, {"SMSHwPort", "3"}, {"SMSHwAddr", "9"}},
                  true, "", 3, 9}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Watchdog, Type1AtADataLoggerUsesItsLoggerLinkWithoutLinksOfItsOwn)
{
    TProbe& iface = addInterface(7);
    iface.ServerType = svBridgeWithLogger;
    iface.LoggerLink = std::make_unique<TVBTComms>(time, &transports);
    iface.LoggerLink->PortOwner = iface.Link.get();
    iface.LoggerLink->VBTAddress = 249;
    iface.LoggerLink->SetActive(true);
    WatchdogDevice& w = setUp({{"Use_SMSHw", "-1"}, {"WatchdogType", "1"}, {"WatchdogID", "7"}});
    EXPECT_TRUE(w.WatchdogEnabled());
    EXPECT_EQ(w.WatchdogLink(), iface.LoggerLink.get());
    EXPECT_EQ(w.WatchdogPortLink(), nullptr);
    EXPECT_EQ(w.WatchdogClientLink(), nullptr);
    EXPECT_EQ(w.WatchdogCommLog(), nullptr);
    EXPECT_FALSE(QFileInfo::exists(home.file("WatchDog.commlog")));
    const size_t before = sent(transports.tcp).size();
    time.advance(3000);
    const auto frames = sent(transports.tcp);
    ASSERT_EQ(frames.size(), before + 1);
    EXPECT_EQ(frames.back().data, "AGSWD");
    EXPECT_EQ(frames.back().to, 249u);
}

TEST_F(Watchdog, ALoggerLinkThatIsGoneIsNeverUsed)
{
    TProbe& iface = addInterface(7);
    iface.ServerType = svBridgeWithLogger;
    iface.LoggerLink = std::make_unique<TVBTComms>(time, &transports);
    iface.LoggerLink->PortOwner = iface.Link.get();
    iface.LoggerLink->SetActive(true);
    WatchdogDevice& w = setUp({{"Use_SMSHw", "-1"}, {"WatchdogType", "1"}, {"WatchdogID", "7"}});
    ASSERT_NE(w.WatchdogLink(), nullptr);
    engine->SetWatchdog(&w);
    TTask& sms = addTask(1, ttSms, [](TTask& t) { t.Message_destination = "1"; });
    TEvent& e = addEvent(1, [](TEvent&) {});
    probes.Clear(); // the shell's stop destroys the interfaces
    EXPECT_EQ(w.WatchdogLink(), nullptr);
    time.advance(9000); // keep-alive ticks
    EXPECT_EQ(engine->RunTask(sms, e), QString());
    std::optional<quint16> code;
    w.SetWatchdogFunction(true, [&](quint16 c, const QString&) { code = c; });
    EXPECT_EQ(code, std::optional<quint16>(2));
    engine->SetWatchdog(nullptr);
}

TEST_F(Watchdog, Type1AtADeviceServerTalksToAddress249AndAnswersHeartbeats)
{
    TProbe& iface = addInterface(7);
    WatchdogDevice& w = setUp({{"Use_SMSHw", "-1"}, {"WatchdogType", "1"}, {"WatchdogID", "7"}});
    ASSERT_TRUE(w.WatchdogEnabled());
    EXPECT_EQ(w.WatchdogLink()->PortOwner, iface.Link.get());
    EXPECT_EQ(w.WatchdogLink()->VBTAddress, 249u);
    const size_t before = sent(transports.tcp).size();
    transports.tcp->feed(fromDevice(249, 17, "CGSWD"));
    time.advance(1);
    const auto frames = sent(transports.tcp);
    ASSERT_EQ(frames.size(), before + 1);
    EXPECT_EQ(frames.back().data, "AGSWD");
    EXPECT_EQ(frames.back().serial, 17);
    EXPECT_EQ(frames.back().to, 249u);
}

TEST_F(Watchdog, KeepAliveEveryThreeSecondsNotWhileStopping)
{
    WatchdogDevice& w = setUp({{"Use_SMSHw", "-1"}, {"WatchdogType", "2"}, {"SMSTcpPort", "4100"}});
    ASSERT_TRUE(w.WatchdogEnabled());
    time.advance(9000);
    auto frames = sent(wdTransports.tcp);
    ASSERT_EQ(frames.size(), 3u);
    for (const Frame& f : frames) {
        EXPECT_EQ(f.data, "AGSWD");
        EXPECT_EQ(f.to, 249u);
        EXPECT_EQ(f.info, nem_kerek_nyugtat);
    }
    shellState().Stopping = true;
    time.advance(9000);
    EXPECT_EQ(sent(wdTransports.tcp).size(), 3u);
    shellState().Stopping = false;
    // The device asks; the answer carries its serial.
    wdTransports.tcp->feed(fromDevice(249, 17, "CGSWD"));
    time.advance(1);
    frames = sent(wdTransports.tcp);
    EXPECT_EQ(frames.back().data, "AGSWD");
    EXPECT_EQ(frames.back().serial, 17);
}

TEST_F(Watchdog, ADisconnectedSerialPortLogsTheRefusalEveryTick)
{
    WatchdogDevice& w = setUp({{"Use_SMSHw", "-1"}, {"WatchdogType", "0"}, {"SMSHwPort", "4"}});
    ASSERT_TRUE(w.WatchdogEnabled());
    time.advance(9000);
    QFile f(home.file("WatchDog.commlog"));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(f.readAll()).count("NINCS KAPCS"), 3);
}

// ---- parameters -------------------------------------------------------------------------------

struct WriteCase {
    const char* name;
    WatchdogParameterTexts values;
    QList<QByteArray> payloads; // empty: refused
};

class WriteRequests : public ::testing::TestWithParam<WriteCase> {};

TEST_P(WriteRequests, PayloadsOfAStandAloneDevice)
{
    const WriteCase c = GetParam();
    QString refusal;
    EXPECT_EQ(WatchdogDevice::StandAloneWriteRequests(c.values, &refusal), c.payloads);
    EXPECT_EQ(refusal.isEmpty(), !c.payloads.isEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WriteRequests,
    ::testing::Values(
        WriteCase{"seven_digit_phone",
                  {"", "300", "4", "6", "1234567", "Leallt a gep"},
                  {QByteArray("CSYWE") + bytes({73, 0, 2, 44, 1}), QByteArray("CSYWE") + bytes({75, 0, 1, 4}),
                   QByteArray("CSYWE") + bytes({72, 0, 1, 6}),
                   QByteArray("CSYWE") + bytes({76, 0, 8}) + QByteArray("1234567\0", 8),
                   QByteArray("CSYWE") + bytes({96, 0, 13}) + QByteArray("Leallt a gep\0", 13), QByteArray("CSYEE")}},
        WriteCase{"long_phone_cut_without_zero",
                  {"", "x", "", "y", " 1234567890123456789012345 ", ""},
                  {QByteArray("CSYWE") + bytes({73, 0, 2, 5, 0}), QByteArray("CSYWE") + bytes({75, 0, 1, 2}),
                   QByteArray("CSYWE") + bytes({72, 0, 1, 2}),
                   QByteArray("CSYWE") + bytes({76, 0, 20}) + QByteArray("12345678901234567890"),
                   QByteArray("CSYWE") + bytes({96, 0, 1}) + QByteArray(1, '\0'), QByteArray("CSYEE")}},
        WriteCase{"byte_too_large_is_refused", {"", "5", "256", "1", "1", "x"}, {}},
        WriteCase{"interval_too_large_is_refused", {"", "65536", "2", "1", "1", "x"}, {}},
        WriteCase{"negative_is_refused", {"", "5", "2", "-1", "1", "x"}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Watchdog, ReadWhereOnlyTheThirdFailsStaysWritable)
{
    WatchdogDevice& w = setUp({{"Use_SMSHw", "-1"}, {"WatchdogType", "2"}, {"SMSTcpPort", "4100"}});
    std::vector<WatchdogDevice::ReadReport> reports;
    w.ReadWatchdogParameters([&](const WatchdogDevice::ReadReport& r) { reports.push_back(r); });
    // Play the device: answer each read as it comes, except the third.
    size_t seen = 0;
    const QList<QByteArray> answers = {bytes({44, 1}), bytes({200}), QByteArray(),
                                       QByteArray("+36301234567\0\xff\xff", 15), QByteArray(" Leállt\r\n\0zz", 12)};
    for (int step = 0; step < 20000 && reports.size() < 5; ++step) {
        time.advance(10);
        const auto frames = sent(wdTransports.tcp);
        for (; seen < frames.size(); ++seen) {
            const Frame& f = frames[seen];
            if (!f.data.startsWith("CSYRE"))
                continue;
            const int address = uchar(f.data[5]);
            const int index = address == 73 ? 0 : address == 75 ? 1 : address == 72 ? 2 : address == 76 ? 3 : 4;
            if (index == 2)
                continue; // silent
            QStringEncoder enc("windows-1250");
            QByteArray payload = index == 4 ? QByteArray(enc.encode(QStringLiteral(" Leállt\r\n"))) + QByteArray("\0zz", 3)
                                            : answers[index];
            wdTransports.tcp->feed(fromDevice(249, f.serial, QByteArray("ASYRE") + payload));
        }
    }
    ASSERT_EQ(reports.size(), 5u);
    std::sort(reports.begin(), reports.end(), [](auto& a, auto& b) { return a.tag < b.tag; });
    EXPECT_EQ(reports[0].value, "300");
    EXPECT_EQ(reports[1].value, "200") << "a byte is unsigned";
    EXPECT_NE(reports[2].code, 0);
    EXPECT_EQ(reports[3].value, "+36301234567");
    EXPECT_EQ(reports[4].value, "Leállt");
    EXPECT_TRUE(reports[4].last);
    EXPECT_TRUE(reports[4].information);
    EXPECT_TRUE(reports[4].message.startsWith("Figyelem: Ezek a paraméterek"));
    EXPECT_TRUE(w.ParametersWritable());
}

TEST_F(Watchdog, CancelledRequestsNeverReport)
{
    WatchdogDevice& w = setUp({{"Use_SMSHw", "-1"}, {"WatchdogType", "2"}, {"SMSTcpPort", "4100"}});
    int reports = 0;
    w.ReadWatchdogParameters([&](const WatchdogDevice::ReadReport&) { ++reports; });
    w.SetWatchdogFunction(true, [&](quint16, const QString&) { ++reports; });
    w.CancelDeviceRequests();
    time.advance(60000);
    EXPECT_EQ(reports, 0);
}

TEST_F(Watchdog, SwitchingWithoutAnswerShowsTheDeviceText)
{
    WatchdogDevice& w = setUp({{"Use_SMSHw", "-1"}, {"WatchdogType", "2"}, {"SMSTcpPort", "4100"}});
    std::optional<std::pair<quint16, QString>> result;
    w.SetWatchdogFunction(false, [&](quint16 code, const QString& text) { result = {code, text}; });
    time.advance(10);
    const auto frames = sent(wdTransports.tcp);
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.back().data, "CGSAD");
    time.advance(10000);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->first, 5);
    EXPECT_TRUE(result->second.startsWith("A készülék nem válaszol.") && result->second.endsWith("Hibakód: 5"));
}

// ---- the data-logger parameter block ------------------------------------------------------------

TEST(LoggerBlock, PauseIsStoredInMinutesAndReadBackInHours)
{
    QByteArray block(dsblock::BlockSize, char(0x11));
    WatchdogParameterTexts v{"", "7", "", "3", "+3620", "Watchdog riasztás"};
    QString refusal;
    ASSERT_TRUE(SetLoggerWatchdogFields(block, v, &refusal)) << refusal.toStdString();
    EXPECT_EQ(uchar(block[2421]), 180);
    EXPECT_EQ(uchar(block[2419]), 7);
    EXPECT_EQ(uchar(block[2420]), 3) << "the logger's default";
    EXPECT_EQ(uchar(block[0]), 2);
    EXPECT_EQ(uchar(block[187 + 4]), 3);
    EXPECT_EQ(uchar(block[187 + 12]), 0);
    EXPECT_EQ(uchar(block[187 + 13]), 255);
    EXPECT_EQ(uchar(block[187 + 16]), 1);
    EXPECT_EQ(uchar(block[187 + 0]), 0xFF);
    EXPECT_EQ(uchar(block[459]), 0);
    EXPECT_EQ(block.mid(464, 6), QByteArray("+3620\0", 6));
    EXPECT_EQ(uchar(block[470]), 0xFF);
    EXPECT_EQ(uchar(block[1]), 0x11) << "the rest of the block is kept";
    const WatchdogParameterTexts back = LoggerWatchdogFields(block);
    EXPECT_EQ(back.AlarmPauseHours, "3");
    EXPECT_EQ(back.AlarmPhone, "+3620");
    EXPECT_EQ(back.AlarmText, "Watchdog riasztás");
    EXPECT_EQ(back.CheckInterval, "7");

    const QByteArray before = block;
    v.AlarmPauseHours = "5";
    EXPECT_FALSE(SetLoggerWatchdogFields(block, v, &refusal));
    EXPECT_TRUE(refusal.contains("(5)"));
    EXPECT_EQ(block, before);
}

} // namespace
