// Weather-station reads on virtual time, with answers built by hand: BCD decoding, the
// read cycle, history download and import with its filter.

#include "acquisition_fixture.h"

#include "acquisition/weather_station.h"

using namespace cvx;
using namespace cvx::test;

namespace {

qint64 rawOf(const QByteArray& slot)
{
    qint64 v = 0;
    for (int i = slot.size() - 1; i >= 0; --i)
        v = (v << 8) | quint8(slot[i]);
    if (slot.size() == 2)
        v = qint16(v);
    return v;
}

struct SlotCase {
    int index;
    QByteArray data;
    int width;
    qint64 raw;
};
void PrintTo(const SlotCase& c, std::ostream* os) { *os << "read " << c.index << " " << c.data.toHex(' ').toStdString(); }

class WeatherSlots : public ::testing::TestWithParam<SlotCase> {};

TEST_P(WeatherSlots, DecodeToTheirMeasurementBytes)
{
    const SlotCase& c = GetParam();
    const QByteArray slot = weather::SlotValue(c.index, c.data);
    ASSERT_EQ(slot.size(), c.width);
    EXPECT_EQ(rawOf(slot), c.raw);
}

INSTANTIATE_TEST_SUITE_P(
    Table, WeatherSlots,
    ::testing::Values(SlotCase{0, bytes({0x45, 0x29}), 2, -55},   // -0.55 °C
                      SlotCase{0, bytes({0x45, 0x52}), 2, 2245},  // 22.45 °C
                      SlotCase{3, bytes({0x00, 0x00}), 2, -3000}, // -30.00 °C
                      SlotCase{8, bytes({0x99, 0x99}), 2, 6999},
                      SlotCase{1, bytes({0x41}), 2, 410},
                      SlotCase{4, bytes({0x99}), 2, 990},
                      SlotCase{2, bytes({0x32, 0x01, 0xF1}), 4, 1013200}, // the high nibble of d2 is not used
                      SlotCase{5, bytes({0x10, 0xF1}), 2, 979},          // (1 * 256 + 16) * 3.6 = 979.2
                      SlotCase{5, bytes({0x05, 0x00}), 2, 18},           // 18.0
                      SlotCase{6, bytes({0xB7}), 1, 11},
                      SlotCase{9, bytes({0x34, 0x12, 0x01}), 4, 11234},
                      SlotCase{11, bytes({0x99, 0x99, 0x99}), 4, 999999}));

TEST(WeatherStationCodes, ShortDataGivesNoSlotAndBcdReadsBothNibbles)
{
    EXPECT_TRUE(weather::SlotValue(2, bytes({0x32, 0x01})).isEmpty());
    EXPECT_TRUE(weather::SlotValue(12, bytes({1, 2, 3})).isEmpty());
    EXPECT_EQ(weather::Bcd(0x29), 29);
    EXPECT_EQ(weather::ReadOf(13, 0).address, 0x06C6);
    EXPECT_EQ(weather::ReadOf(13, 5).address, 0x06C6 + 3000);
    EXPECT_EQ(weather::ReadOf(13, 5).count, 300);
    EXPECT_EQ(weather::ReadCommand(1, 0), QByteArray("CWSRM") + char(0xFB) + char(0x03) + char(1) + char(0));
}

// A weather station's memory as the module serves it, written by hand.
struct Record {
    double tIn, tOut, p, hIn, hOut;
    int rain;
    int windTenths;
    int dir;
};

QByteArray packRecord(const Record& r)
{
    const quint32 a = quint32(std::lround((r.tOut + 30) * 10)) * 1000 + quint32(std::lround((r.tIn + 30) * 10));
    const quint32 pmod = quint32(std::lround((r.p >= 1000 ? r.p - 1000 : r.p) * 10)) % 10000;
    const quint32 b = quint32(r.hIn) * 10000 + pmod;
    quint32 c[10];
    c[0] = a & 0xFF;
    c[1] = (a >> 8) & 0xFF;
    c[2] = ((a >> 16) & 0x0F) | ((b & 0x0F) << 4);
    c[3] = ((b >> 4) & 0x0F) | (((b >> 8) & 0x0F) << 4);
    c[4] = ((b >> 12) & 0x0F) | (((b >> 16) & 0x0F) << 4);
    c[5] = (int(r.hOut) / 10) * 16 + int(r.hOut) % 10;
    c[6] = r.rain & 0xFF;
    c[7] = ((r.rain >> 8) & 0x0F) | ((r.windTenths & 0x0F) << 4);
    c[8] = ((r.windTenths >> 4) & 0x0F) | (((r.windTenths >> 8) & 0x0F) << 4);
    c[9] = r.dir & 0x0F;
    QByteArray nibbles(19, '\0');
    for (int j = 0; j < 9; ++j) {
        nibbles[2 * j] = char(c[j] & 0x0F);
        nibbles[2 * j + 1] = char(c[j] >> 4);
    }
    nibbles[18] = char(c[9]);
    return nibbles;
}

class WeatherTest : public AcquisitionTest {
protected:
    WeatherTest()
    {
        addInterface(1, svDeviceServer, ptVBT, 2000);
        ws = &addSensor(12, 1, stWeatherStation, 6, 60000);
        buffer = QByteArray(1800, '\0');
    }

    QByteArray answerFor(int address, const QByteArray& data, int status = 0)
    {
        return QByteArray("AWSRM") + char(status) + char(address & 0xFF) + char(address >> 8) + data;
    }
    void read(int index, const QByteArray& data) { acq->HandleAnswer(*ws, answerFor(weather::ReadOf(index, 0).address, data), 0); }
    // The live reads of a station at 22.45 °C indoors, -0.55 °C outdoors.
    void liveCycle()
    {
        read(0, bytes({0x45, 0x52}));
        read(1, bytes({0x41}));
        read(2, bytes({0x32, 0x01, 0x01}));
        read(3, bytes({0x45, 0x29}));
        read(4, bytes({0x80}));
        read(5, bytes({0x10, 0x01}));
        read(6, bytes({0xB0}));
        read(7, bytes({0x00, 0x28}));
        read(8, bytes({0x50, 0x35}));
        read(9, bytes({0x00, 0x00, 0x00}));
        read(10, bytes({0x50, 0x02, 0x00}));
        read(11, bytes({0x34, 0x12, 0x01}));
    }
    void putRecord(int k, const Record& r)
    {
        const QByteArray n = packRecord(r);
        for (int i = 0; i < 19; ++i) {
            const int nib = 19 * k + i;
            char& byte = buffer[nib / 2];
            byte = (nib % 2 == 0) ? char((quint8(byte) & 0xF0) | n[i]) : char((quint8(byte) & 0x0F) | (n[i] << 4));
        }
    }
    QByteArray settings(const QDateTime& newest, int intervalMinutes, int newestIndex, int count)
    {
        const auto bcd = [](int v) { return char((v / 10) * 16 + v % 10); };
        QByteArray s(10, '\0');
        s[0] = char((intervalMinutes - 1) & 0xFF);
        s[1] = char(((intervalMinutes - 1) >> 8) & 0x0F);
        s[3] = bcd(newest.time().minute());
        s[4] = bcd(newest.time().hour());
        s[5] = bcd(newest.date().day());
        s[6] = bcd(newest.date().month());
        s[7] = bcd(newest.date().year() - 2000);
        s[8] = char(newestIndex);
        s[9] = char(count);
        return s;
    }
    void historyBlocks()
    {
        for (int b = 0; b < 6; ++b) {
            ASSERT_EQ(ws->Link->PollCmd, weather::ReadCommand(13, b)) << "block " << b;
            acq->HandleAnswer(*ws, answerFor(weather::ReadOf(13, b).address, buffer.mid(300 * b, 300)), 0);
        }
    }

    TProbe* ws = nullptr;
    QByteArray buffer;
};

TEST_F(WeatherTest, TwelveLiveReadsMakeOneMeasurementOfTheWholeStation)
{
    EXPECT_EQ(ws->Link->PollCmd, weather::ReadCommand(0, 0));
    read(0, bytes({0x45, 0x52}));
    EXPECT_EQ(ws->Weather->ReadIndex, 1);
    EXPECT_EQ(ws->Link->PollCmd, weather::ReadCommand(1, 0));
    EXPECT_EQ(ws->LastMeasureTime, now()) << "a partial read keeps the sensor alive";
    EXPECT_TRUE(store.adds.empty());
    EXPECT_TRUE(ws->Recent.empty());

    time.advance(1000);
    liveCycle();
    EXPECT_EQ(ws->Link->PollCmd, weather::ReadCommand(12, 0)) << "the history settings come next";
    ASSERT_EQ(ws->Recent.size(), 1u);
    EXPECT_EQ(ws->RawValues[mtT], 2245);
    EXPECT_EQ(ws->RawValues[mtH], 410);
    EXPECT_EQ(ws->RawValues[mtP], 1013200);
    EXPECT_DOUBLE_EQ(ws->Values[mtTOutd], -0.55);
    EXPECT_EQ(ws->RawValues[mtHOutd], 800);
    EXPECT_EQ(ws->RawValues[mtWndSp], 979);
    EXPECT_EQ(ws->RawValues[mtWndDir], 11);
    EXPECT_EQ(ws->RawValues[mtWndCh], -200);
    EXPECT_EQ(ws->RawValues[mtDewp], 550);
    EXPECT_EQ(ws->RawValues[mtRain1h], 0);
    EXPECT_EQ(ws->RawValues[mtRain24h], 250);
    EXPECT_EQ(ws->RawValues[mtRainTot], 11234);
    EXPECT_TRUE(ws->HasValue(mtUe));
    EXPECT_EQ(ws->Progress, 100);
    EXPECT_EQ(store.rowsOf(12, mtTOutd).at(0).value, "-55");

    // The next read of any value gives a new measurement from the kept slots.
    read(3, bytes({0x00, 0x30}));
    EXPECT_EQ(ws->Recent.size(), 2u);
    EXPECT_EQ(ws->RawValues[mtTOutd], 0);
    EXPECT_EQ(ws->RawValues[mtT], 2245);
}

TEST_F(WeatherTest, AnAnswerForNoKnownAddressRestartsTheCycleAndABadStatusIsIgnored)
{
    read(0, bytes({0x45, 0x52}));
    read(1, bytes({0x41}));
    EXPECT_EQ(ws->Link->PollCmd, weather::ReadCommand(2, 0));
    acq->HandleAnswer(*ws, answerFor(0x1234, bytes({1, 2, 3})), 0);
    EXPECT_EQ(ws->Weather->ReadIndex, 0);
    EXPECT_EQ(ws->Link->PollCmd, weather::ReadCommand(0, 0));
    acq->HandleAnswer(*ws, answerFor(weather::ReadOf(0, 0).address, bytes({0x00, 0x20}), 1), 0);
    EXPECT_EQ(ws->Weather->Slots[0], weather::SlotValue(0, bytes({0x45, 0x52}))) << "status 1: ignored";
    acq->HandleAnswer(*ws, answerFor(weather::ReadOf(2, 0).address, bytes({0x32, 0x01})), 0);
    EXPECT_TRUE(ws->Weather->Slots[2].isEmpty()) << "too short for its read";
}

TEST_F(WeatherTest, HistoryIsDownloadedInSixBlocksAndImportedThroughTheFilter)
{
    const QDateTime newest(QDate(2024, 5, 21), QTime(9, 30));
    putRecord(2, {21.5, 10.2, 1013.2, 45, 70, 12, 35, 4});  // 09:30
    putRecord(1, {21.0, 9.8, 995.0, 46, 72, 12, 20, 3});    // 09:00
    putRecord(0, {60.0, 9.0, 1012.0, 47, 71, 11, 0, 2});    // 08:30: 60 °C indoors is implausible
    putRecord(174, {20.0, 8.0, 1011.0, 48, 73, 10, 5, 1});  // 08:00
    liveCycle();
    store.clear();
    const auto rowIdsBefore = ws->LastRowIds;

    acq->HandleAnswer(*ws, answerFor(0x06B2, settings(newest, 30, 2, 4)), 0);
    EXPECT_TRUE(ws->Weather->HistoryMode);
    EXPECT_EQ(ws->Weather->HistoryInterval, 30);
    EXPECT_EQ(ws->Weather->NewestHistoryTime, newest);
    EXPECT_EQ(ws->Progress, 0) << "a measurement during the download shows its progress";
    historyBlocks();
    EXPECT_FALSE(ws->Weather->HistoryMode);
    EXPECT_EQ(ws->Link->PollCmd, weather::ReadCommand(0, 0)) << "the live cycle goes on";

    EXPECT_TRUE(log.contains(QStringLiteral("WS history settings: ")));
    EXPECT_TRUE(log.contains(QStringLiteral("WS history data #5: ")));
    EXPECT_TRUE(log.contains(QStringLiteral("Rec#174 = ")));
    EXPECT_TRUE(log.contains(QStringLiteral("Eldobva: 2024-05-21 08:30 hőmérséklet")));
    EXPECT_TRUE(log.contains(QStringLiteral("4 korábbi mérés adata letöltve.")));
    // Three accepted records, eight rows each, at their own times.
    ASSERT_EQ(store.adds.size(), 24u);
    const auto t = store.rowsOf(12, mtT);
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[0].time, newest);
    EXPECT_EQ(t[0].value, "2150");
    EXPECT_EQ(t[1].time, newest.addSecs(-1800));
    EXPECT_EQ(t[2].time, newest.addSecs(-5400)) << "08:00; 08:30 was dropped";
    EXPECT_EQ(store.rowsOf(12, mtP)[0].value, "1013200");
    EXPECT_EQ(store.rowsOf(12, mtP)[1].value, "995000");
    EXPECT_EQ(store.rowsOf(12, mtTOutd)[0].value, "1020");
    EXPECT_EQ(store.rowsOf(12, mtH)[0].value, "450");
    EXPECT_EQ(store.rowsOf(12, mtHOutd)[0].value, "700");
    EXPECT_EQ(store.rowsOf(12, mtWndSp)[0].value, "35");
    EXPECT_EQ(store.rowsOf(12, mtWndDir)[0].value, "4");
    EXPECT_EQ(store.rowsOf(12, mtRainTot)[0].value, "1200");
    EXPECT_EQ(ws->LastRowIds, rowIdsBefore) << "history rows are not the newest live rows";
    EXPECT_EQ(ws->Weather->LastHistoryTime, newest);

    // The station moves on by one record: only that one is new.
    putRecord(3, {22.0, 11.0, 1014.0, 44, 69, 13, 40, 5});
    store.clear();
    acq->HandleAnswer(*ws, answerFor(0x06B2, settings(newest, 30, 2, 4)), 0);
    EXPECT_FALSE(ws->Weather->HistoryMode) << "nothing newer than what was imported";
    acq->HandleAnswer(*ws, answerFor(0x06B2, settings(newest.addSecs(1800), 30, 3, 5)), 0);
    ASSERT_TRUE(ws->Weather->HistoryMode);
    historyBlocks();
    const auto again = store.rowsOf(12, mtT);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].time, newest.addSecs(1800));
    EXPECT_EQ(again[0].value, "2200");
}

TEST_F(WeatherTest, ABlockWithABadStatusEndsTheDownloadAndNoRecordsStartNone)
{
    acq->HandleAnswer(*ws, answerFor(0x06B2, settings(QDateTime(QDate(2024, 5, 21), QTime(9, 0)), 30, 0, 0)), 0);
    EXPECT_FALSE(ws->Weather->HistoryMode) << "no stored records";
    EXPECT_EQ(ws->Link->PollCmd, weather::ReadCommand(0, 0));
    QByteArray noDate = settings(QDateTime(QDate(2024, 5, 21), QTime(9, 0)), 30, 0, 5);
    noDate[6] = char(0x13); // month 13
    acq->HandleAnswer(*ws, answerFor(0x06B2, noDate), 0);
    EXPECT_FALSE(ws->Weather->HistoryMode) << "no valid time";

    acq->HandleAnswer(*ws, answerFor(0x06B2, settings(QDateTime(QDate(2024, 5, 21), QTime(9, 0)), 30, 0, 5)), 0);
    ASSERT_TRUE(ws->Weather->HistoryMode);
    acq->HandleAnswer(*ws, answerFor(weather::ReadOf(13, 0).address, buffer.left(300)), 0);
    EXPECT_EQ(ws->Link->PollCmd, weather::ReadCommand(13, 1));
    acq->HandleAnswer(*ws, answerFor(weather::ReadOf(13, 1).address, QByteArray(), 2), 0);
    EXPECT_FALSE(ws->Weather->HistoryMode);
    EXPECT_EQ(ws->Link->PollCmd, weather::ReadCommand(0, 0));
    EXPECT_TRUE(store.adds.empty());
}

TEST(WeatherStationCodes, HistoryRecordsDecodeFromTheirNibbles)
{
    std::vector<quint8> nibbles(3601, 0);
    const QByteArray n = packRecord({-5.5, 12.3, 1002.5, 55, 81, 257, 123, 15});
    for (int i = 0; i < 19; ++i)
        nibbles[19 * 7 + i] = quint8(n[i]);
    const WeatherHistoryRecord r = weather::DecodeHistoryRecord(nibbles, 7);
    EXPECT_NEAR(r.TIndoor, -5.5, 1e-9);
    EXPECT_NEAR(r.TOutdoor, 12.3, 1e-9);
    EXPECT_NEAR(r.Pressure, 1002.5, 1e-9);
    EXPECT_EQ(r.HIndoor, 55);
    EXPECT_EQ(r.HOutdoor, 81);
    EXPECT_EQ(r.RainCount, 257);
    EXPECT_NEAR(r.WindSpeed, 12.3, 1e-9);
    EXPECT_EQ(r.WindDir, 15);
    EXPECT_EQ(weather::RecordNibbles(nibbles, 7), n);
    const QByteArray buffer = bytes({0x21, 0x43});
    const auto u = weather::UnpackNibbles(buffer);
    EXPECT_EQ(u.size(), 3601u);
    EXPECT_EQ((std::vector<quint8>(u.begin(), u.begin() + 5)), (std::vector<quint8>{1, 2, 3, 4, 0}));
}

} // namespace
