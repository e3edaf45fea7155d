// Answers into measurements on virtual time, with a store that remembers every write.

#include "acquisition_fixture.h"

#include "acquisition/measure_decode.h"
#include "shell/warnings.h"

using namespace cvx;
using namespace cvx::test;

namespace {

class AnswerTest : public AcquisitionTest {
protected:
    AnswerTest()
    {
        iface = &addInterface(1);
        th = &addSensor(10, 1, stTempHumidity, 5, 60000);
    }
    void answer(TProbe& s, const QByteArray& a, quint16 code = 0) { acq->HandleAnswer(s, a, code); }

    TProbe* iface = nullptr;
    TProbe* th = nullptr;
};

TEST_F(AnswerTest, FirstAnswerIsStoredAtOnceAndASecondWithinTheRecordingRateUpdatesItsRows)
{
    const QDateTime t0 = now();
    answer(*th, aitgd({2245, 415}));
    // T, H, Ue, TAv, TMin, TMax: one row each.
    ASSERT_EQ(store.adds.size(), 6u);
    EXPECT_TRUE(store.updates.empty());
    const auto rowsT = store.rowsOf(10, mtT);
    ASSERT_EQ(rowsT.size(), 1u);
    EXPECT_EQ(rowsT[0].value, "2245");
    EXPECT_EQ(rowsT[0].time, t0);
    EXPECT_EQ(store.rowsOf(10, mtH)[0].value, "415");
    EXPECT_EQ(th->LastRowIds[mtT], rowsT[0].id);
    EXPECT_EQ(th->LastRecordTime, t0);

    time.advance(30'000);
    const QDateTime t1 = now();
    answer(*th, aitgd({2310, 420}));
    EXPECT_EQ(store.adds.size(), 6u) << "within the recording rate no new rows";
    EXPECT_EQ(store.updates.size(), 6u);
    const auto updatedT = store.rowsOf(10, mtT);
    ASSERT_EQ(updatedT.size(), 1u);
    EXPECT_EQ(updatedT[0].value, "2310");
    EXPECT_EQ(updatedT[0].time, t1) << "the newest row carries the latest time";
    EXPECT_EQ(store.rowsOf(10, mtH)[0].value, "420");
    EXPECT_EQ(th->LastRecordTime, t0);
    EXPECT_EQ(th->MeasureGap, 30'000);

    time.advance(30'000);
    answer(*th, aitgd({2320, 421}));
    EXPECT_EQ(store.adds.size(), 12u) << "a full recording period later: new rows";
    EXPECT_EQ(store.rowsOf(10, mtT).size(), 2u);
    EXPECT_EQ(store.rowsOf(10, mtT)[0].value, "2310") << "the earlier row keeps its last update";
}

TEST_F(AnswerTest, EightFFBytesGiveNoValidValueAndStoreNothing)
{
    TProbe& t1 = addSensor(11, 1, stCabledTemperature, 6);
    for (TProbe* s : {th, &t1}) {
        answer(*s, QByteArray("AITGD") + QByteArray(8, char(0xFF)));
        for (int l = 1; l <= MeasureTypeCount; ++l)
            EXPECT_FALSE(s->HasValue(l)) << s->Name.toStdString() << " measure type " << l;
        EXPECT_EQ(s->Values[mtT], NoValue);
    }
    EXPECT_TRUE(store.adds.empty());
    EXPECT_EQ(th->Recent.size(), 1u) << "the answer still counts as a measurement";
}

TEST_F(AnswerTest, ImplausibleTemperatureIsNotStoredYetMovesTheWindow)
{
    answer(*th, aitgd({2000, 500}));
    store.clear();
    time.advance(60'000);
    answer(*th, aitgd({13000, 500})); // 130.00 °C
    EXPECT_FALSE(th->HasValue(mtT));
    EXPECT_TRUE(store.rowsOf(10, mtT).empty()) << "no temperature row for 130 °C";
    EXPECT_EQ(store.rowsOf(10, mtTAv).size(), 1u);
    EXPECT_EQ(th->TempWindow.Count(), 2);
    EXPECT_DOUBLE_EQ(th->Values[mtTAv], 75.0); // (20 + 130) / 2
    EXPECT_EQ(th->RawValues[mtTAv], 7500);
    EXPECT_FALSE(th->HasValue(mtTMax)) << "130 °C is out of range as a maximum too";
    EXPECT_EQ(th->RawValues[mtTMin], 2000);
    EXPECT_FALSE(th->HasValue(mtUe)) << "no moisture without a valid temperature";
}

TEST_F(AnswerTest, EquilibriumMoistureFollowsTheFormula)
{
    // The Wood Handbook's table gives about 9.2 % at 20 °C and 50 %.
    EXPECT_NEAR(EquilibriumMoisture(20, 50), 9.2721, 1e-4);
    EXPECT_NEAR(EquilibriumMoisture(-5, 80), 16.5145, 1e-4);
    answer(*th, aitgd({2000, 500}));
    EXPECT_EQ(th->RawValues[mtUe], 927);
    EXPECT_NEAR(th->Values[mtUe], 9.2721, 1e-4);
    EXPECT_EQ(store.rowsOf(10, mtUe)[0].value, "927");
}

struct RelayCase {
    bool invert;
    int reported;
    int state;
};
void PrintTo(const RelayCase& c, std::ostream* os)
{
    *os << (c.invert ? "inverted" : "plain") << " reports " << c.reported;
}

class RelayStates : public AnswerTest, public ::testing::WithParamInterface<RelayCase> {};

TEST_P(RelayStates, ShowTheReportedStateOrItsInverse)
{
    TProbe& relay = addSensor(20, 1, stRelayPanel, 20);
    relay.InvertRelay = GetParam().invert;
    answer(relay, QByteArray("ARLGS") + char(GetParam().reported));
    EXPECT_EQ(relay.RawValues[mtRState], GetParam().state);
    EXPECT_EQ(relay.Values[mtRState], double(GetParam().state));
}

INSTANTIATE_TEST_SUITE_P(Table, RelayStates,
                         ::testing::Values(RelayCase{false, 0, 0}, RelayCase{false, 1, 1}, RelayCase{false, 5, 1},
                                           RelayCase{true, 0, 1}, RelayCase{true, 1, 0}, RelayCase{true, 7, 0}));

TEST_F(AnswerTest, RelayReportedOffWhileAnEventHoldsItIsSwitchedOnAgainWithCRLSO)
{
    TProbe& relay = addSensor(20, 1, stRelayPanel, 20);
    relay.RelayIndex = 2;
    acq->Activate(*iface, true); // not connected: packets wait in the link's queue
    answer(relay, QByteArray("ARLGS") + char(0));
    EXPECT_EQ(iface->Link->QueueCount(), 0) << "no lock, no latch";

    relay.RelayLocks.insert("7", {7, "Hőség"});
    answer(relay, QByteArray("ARLGS") + char(1));
    EXPECT_EQ(iface->Link->QueueCount(), 0) << "already on";
    answer(relay, QByteArray("ARLGS") + char(0));
    ASSERT_EQ(iface->Link->QueueCount(), 1);
    const TKuldendo* p = iface->Link->QueuedPacket(0);
    EXPECT_EQ(p->Data, QByteArray("CRLSO") + char(2));
    EXPECT_EQ(p->Address, 20u);
    EXPECT_TRUE(p->ExpectedAnswer.isEmpty());

    shellState().MasterMode = false;
    answer(relay, QByteArray("ARLGS") + char(0));
    EXPECT_EQ(iface->Link->QueueCount(), 1) << "a client never switches relays";
}

TEST_F(AnswerTest, SerialRelayControllerIsReadAndLatchedThroughTheModemLines)
{
    transports.devices[QStringLiteral("/dev/ttyS0")] = {};
    IniInterfaceEntry e;
    e.number = 2;
    e.name = QStringLiteral("serial");
    e.serverType = svSerialBridge;
    e.port = 1; // COM1
    e.interval = 1000;
    auto p = std::make_unique<TProbe>();
    ASSERT_TRUE(acq->LoadInterfaceFromIni(*p, e));
    p->Link->ReleVezerlesSorosPorton = true;
    TProbe& serial = *p;
    lists.Interfaces.push_back(std::move(p));
    TProbe& relay = addSensor(30, 2, stSerialRelay, 1);
    relay.RelayIndex = 1; // relay 2: the DTR line
    acq->StartAll();
    ASSERT_TRUE(serial.Link->Connected());
    ASSERT_TRUE(transports.serial);
    EXPECT_EQ(transports.serial->device, "/dev/ttyS0");

    time.advance(1000); // panel tick reads the line
    EXPECT_EQ(relay.RawValues[mtRState], 0);
    relay.RelayLocks.insert("3", {3, "A"});
    time.advance(1000);
    EXPECT_TRUE(transports.serial->dtr) << "latched on";
    EXPECT_TRUE(transports.serial->history.contains("dtr=1"));
    time.advance(1000);
    EXPECT_EQ(relay.RawValues[mtRState], 1);
}

TEST_F(AnswerTest, ErrorsAcknowledgementsAndUnknownMnemonicsDoNothing)
{
    int notified = 0;
    acq->AddViewObserver([&](TProbe&, bool, qint64) { ++notified; });
    answer(*th, aitgd({2000, 500}), 5);
    answer(*th, "CSYAC");
    answer(*th, aitgd({2000, 500}).replace(0, 5, "ASYER"));
    EXPECT_EQ(notified, 0);
    EXPECT_TRUE(store.adds.empty());
    EXPECT_FALSE(th->LastMeasureTime.isValid());
    answer(*th, aitgd({2000})); // too short for the humidity
    EXPECT_TRUE(th->HasValue(mtT));
    EXPECT_FALSE(th->HasValue(mtH));
    EXPECT_EQ(notified, 1);
}

TEST_F(AnswerTest, RecentKeepsTheNewest99SetsNewestFirst)
{
    for (int i = 0; i < 120; ++i) {
        answer(*th, aitgd({2000 + i, 500}));
        time.advance(1000);
    }
    ASSERT_EQ(th->Recent.size(), 99u);
    EXPECT_DOUBLE_EQ(th->Recent.front()[mtT], 21.19);
    EXPECT_DOUBLE_EQ(th->Recent.back()[mtT], 20.21);
}

TEST_F(AnswerTest, AveragesAreNotStoredBeforeTheWindowWasFilledFromTheDatabase)
{
    th->AveragesReady = false;
    answer(*th, aitgd({2000, 500}));
    EXPECT_EQ(store.rowsOf(10, mtT).size(), 1u);
    EXPECT_TRUE(store.rowsOf(10, mtTAv).empty());
    EXPECT_TRUE(th->HasValue(mtTAv)) << "shown, just not stored";
    EXPECT_EQ(th->LastRowIds[mtTAv], 0);
}

TEST_F(AnswerTest, AMeasurementClearsInactiveAndClosesTheOutdatedAllSensorsWarning)
{
    int closes = 0;
    acq->Hooks.CloseOutdatedWarning = [&] { ++closes; };
    th->Inactive = true;
    answer(*th, aitgd({2000, 500}));
    EXPECT_FALSE(th->Inactive);
    EXPECT_EQ(closes, 1);
    EXPECT_EQ(th->MeasureGap, iface->PollInterval);
    answer(*th, aitgd({2000, 500}));
    EXPECT_EQ(closes, 1);
}

TEST_F(AnswerTest, DefaultWarningHookClosesThePanelWhenItShowsTheAllSensorsWarning)
{
    warningPanel().reset();
    ShowWarning(QStringLiteral("all down"));
    warningPanel().AllSensorsDownShown = true;
    ASSERT_TRUE(warningPanel().visible());
    th->Inactive = true;
    answer(*th, aitgd({2000, 500}));
    EXPECT_FALSE(warningPanel().visible());
    warningPanel().reset();
}

TEST_F(AnswerTest, ViewsEventsAndClientRepliesHearOfEveryMeasurementOnTheMaster)
{
    std::vector<std::pair<bool, qint64>> views;
    int events = 0, replies = 0;
    const int h = acq->AddViewObserver([&](TProbe& s, bool recorded, qint64 period) {
        EXPECT_EQ(&s, th);
        views.emplace_back(recorded, period);
    });
    acq->Hooks.EvaluateEvents = [&](TProbe& s) {
        EXPECT_EQ(&s, th);
        ++events;
    };
    acq->Hooks.StartClientReplyTimer = [&] { ++replies; };
    answer(*th, aitgd({2000, 500}));
    time.advance(2000);
    answer(*th, aitgd({2000, 500}));
    ASSERT_EQ(views.size(), 2u);
    EXPECT_EQ(views[0], std::make_pair(true, qint64(2000)));
    EXPECT_EQ(views[1], std::make_pair(false, qint64(2000)));
    EXPECT_EQ(events, 2);
    EXPECT_EQ(replies, 2);

    // An observer that leaves while it is told.
    int second = 0;
    int h2 = 0;
    h2 = acq->AddViewObserver([&](TProbe&, bool, qint64) {
        ++second;
        acq->RemoveViewObserver(h2);
    });
    answer(*th, aitgd({2000, 500}));
    answer(*th, aitgd({2000, 500}));
    EXPECT_EQ(second, 1);
    acq->RemoveViewObserver(h);

    shellState().MasterMode = false;
    answer(*th, aitgd({2000, 500}));
    EXPECT_EQ(events, 4) << "a client evaluates no events";
}

TEST_F(AnswerTest, AClientNeitherStoresNorUpdates)
{
    shellState().MasterMode = false;
    answer(*th, aitgd({2000, 500}));
    EXPECT_TRUE(store.adds.empty());
    EXPECT_TRUE(store.updates.empty());
    EXPECT_TRUE(th->HasValue(mtT));
}

TEST_F(AnswerTest, EncipheredRowsAreNeverRewrittenWithAPlainValue)
{
    store.encrypt = true;
    answer(*th, aitgd({2000, 500}));
    EXPECT_EQ(store.adds.size(), 6u);
    EXPECT_EQ(th->LastRowIds[mtT], 0);
    time.advance(1000);
    answer(*th, aitgd({2100, 500}));
    EXPECT_TRUE(store.updates.empty());
}

TEST_F(AnswerTest, TheTextLogGetsOneLinePerRecordedMeasurement)
{
    QBuffer csv;
    csv.open(QIODevice::WriteOnly);
    acq->SetMeasurementLog(&csv);
    answer(*th, aitgd({2245, 415}));
    time.advance(1000);
    answer(*th, aitgd({2246, 415})); // not recorded: no line
    const QStringList lines = QString::fromUtf8(csv.data()).split(u'\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 1);
    EXPECT_EQ(lines[0], "s10\t2024.05.21. 10:00:00\tT22,45\tH41,5\tUe7,9\tTAv22,45\tTMin22,45\tTMax22,45");
}

TEST_F(AnswerTest, SetRemoteValueAppliesOneValueAndRecomputesTheMoisture)
{
    shellState().MasterMode = false;
    std::vector<bool> recorded;
    acq->AddViewObserver([&](TProbe&, bool r, qint64 period) {
        recorded.push_back(r);
        EXPECT_EQ(period, acq->ClientRefreshPeriodMs);
    });
    th->Inactive = true;
    th->RawValues[mtP] = 1000; // not carried: cleared
    th->Values[mtP] = 1;
    const QDateTime t = now().addSecs(-5);
    acq->SetRemoteValue(*th, mtT, t, 20.0, true, true, true);
    EXPECT_EQ(th->RawValues[mtT], 2000);
    EXPECT_FALSE(th->HasValue(mtP));
    EXPECT_FALSE(th->HasValue(mtUe)) << "no humidity yet";
    acq->SetRemoteValue(*th, mtH, t, 50.0, true, false, false);
    EXPECT_EQ(th->RawValues[mtH], 500);
    EXPECT_EQ(th->RawValues[mtUe], 927);
    EXPECT_TRUE(th->RemoteActive);
    EXPECT_FALSE(th->RemoteOnline);
    EXPECT_FALSE(th->Inactive);
    EXPECT_EQ(th->LastMeasureTime, t);
    EXPECT_EQ(recorded, (std::vector<bool>{true, false}));
    acq->SetRemoteValue(*th, mtT, t, NoValue, true, true, false);
    EXPECT_FALSE(th->HasValue(mtT));
    EXPECT_TRUE(store.adds.empty());
}

TEST_F(AnswerTest, IsActiveIsOnlineAndValueTimeDependOnTheMode)
{
    th->IsUsed = true;
    th->RemoteActive = false;
    answer(*th, aitgd({2000, 500}));
    EXPECT_TRUE(th->IsActive());
    EXPECT_FALSE(th->IsOnline()) << "the interface is not connected";
    EXPECT_EQ(th->ValueTime(), now());
    shellState().MasterMode = false;
    th->RemoteOnline = true;
    th->RemoteTime = now().addSecs(-60);
    EXPECT_FALSE(th->IsActive());
    EXPECT_TRUE(th->IsOnline());
    EXPECT_EQ(th->ValueTime(), now().addSecs(-60));
}

TEST(MeasureDecode, WidthsSignsAndPositions)
{
    TProbe s;
    s.SensorType = stTempHumidityPressure;
    qint64 raw = 0;
    double value = 0;
    QByteArray data = le16(-550) + le16(415) + le32(101325);
    ASSERT_TRUE(DecodeValue(s, data, mtT, &raw, &value));
    EXPECT_EQ(raw, -550);
    EXPECT_DOUBLE_EQ(value, -5.5);
    ASSERT_TRUE(DecodeValue(s, data, mtP, &raw, &value));
    EXPECT_EQ(raw, 101325);
    EXPECT_DOUBLE_EQ(value, 101.325);
    EXPECT_FALSE(DecodeValue(s, data, mtAV, &raw, &value)) << "absent for this sensor type";
    EXPECT_EQ(raw, NoValueMarker);
    EXPECT_FALSE(DecodeValue(s, data.left(7), mtP, &raw, &value)) << "too short";
    s.SensorType = stWeatherStation;
    QByteArray ws(31, '\0');
    ws[14] = char(0xF3); // wind direction, one signed byte
    ASSERT_TRUE(DecodeValue(s, ws, mtWndDir, &raw, &value));
    EXPECT_EQ(raw, -13);
    EXPECT_FALSE(DecodeValue(s, QByteArray(8, char(0xFF)), mtT, &raw, &value));
    QByteArray longData(300, '\0');
    s.SensorType = stVoltage;
    EXPECT_TRUE(DecodeValue(s, longData, mtU, &raw, &value));
    EXPECT_EQ(RoundHalfEven(2.5), 2);
    EXPECT_EQ(RoundHalfEven(3.5), 4);
    EXPECT_EQ(RoundHalfEven(-5.5), -6);
}

} // namespace
