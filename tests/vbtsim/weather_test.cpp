// The simulated weather-station module on virtual time: its memory map read the way
// the computer reads it, and its history ring.
#include "sim_harness.h"
#include "weather_device.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace cvx::vbtsim;
using namespace cvx::vbtsim::test;

namespace {

QByteArray scenario(const QByteArray& extra = {})
{
    return R"({"interfaces": [{"name": "srv", "devices": [
      {"name": "ws", "address": 30, "type": 12, "values": {
        "T": -0.55, "H": 41, "P": 1013.2, "TOutd": 8.4, "HOutd": 72, "WndSp": 3.4, "WndDir": 6,
        "WndCh": 6.1, "Dewp": 3.6, "Rain1h": 0.3, "Rain24h": 2.7, "RainTot": 417.5}, "history": {"interval": 30, "records": 5})"
           + extra + R"(}]}]})";
}

QByteArray cwsrm(int address, int count)
{
    QByteArray p = "CWSRM";
    p += char(address & 0xFF);
    p += char(address >> 8);
    p += char(count & 0xFF);
    p += char(count >> 8);
    return p;
}

QByteArray read(SimHarness& h, int address, int count)
{
    h.send(request(30, cwsrm(address, count)));
    return h.single().payload;
}

int bcd(quint8 b) { return (b >> 4) * 10 + (b & 0x0F); }

// The reader's formulas for the live values.
qint64 temperature(const QByteArray& d) { return (bcd(quint8(d[1])) - 30) * 100 + bcd(quint8(d[0])); }

} // namespace

TEST(Weather, IndoorTemperatureReadsAsTheReaderExpects)
{
    SimHarness h(scenario());
    // -0.55 °C: d1 = 0x29, d0 = 0x45, which the reader turns into -55.
    const QByteArray a = read(h, 0x0346, 2);
    EXPECT_EQ(a, QByteArray("AWSRM") + hex("00 46 03 45 29"));
    EXPECT_EQ(temperature(a.mid(8)), -55);
}

struct LiveCase {
    const char* name;
    int address;
    int count;
    const char* bytes;
    qint64 raw; // what the reader makes of them
};

void PrintTo(const LiveCase& c, std::ostream* os) { *os << c.name; }

class WeatherLive : public ::testing::TestWithParam<LiveCase> {};

TEST_P(WeatherLive, ValuesAreStoredInTheStationsCoding)
{
    SimHarness h(scenario());
    const LiveCase& c = GetParam();
    const QByteArray a = read(h, c.address, c.count);
    ASSERT_EQ(a.size(), 8 + c.count);
    const QByteArray d = a.mid(8);
    EXPECT_EQ(hexBytes(d), hexBytes(hex(c.bytes)));
    const auto b = [&](int i) { return quint8(d.at(i)); };
    qint64 raw = 0;
    switch (c.address) {
    case 0x0346:
    case 0x0373:
    case 0x03A0:
    case 0x03CE: raw = temperature(d); break;
    case 0x03FB:
    case 0x0419: raw = bcd(b(0)) * 10; break;
    case 0x05E2: raw = qint64(bcd(b(2) & 0x0F)) * 1000000 + bcd(b(1)) * 10000 + bcd(b(0)) * 100; break;
    case 0x0529: raw = qint64(std::nearbyint(((b(1) & 0x0F) * 256 + b(0)) * 3.6)); break;
    case 0x052C: raw = b(0) >> 4; break;
    default: raw = qint64(bcd(b(2))) * 10000 + bcd(b(1)) * 100 + bcd(b(0)); break;
    }
    EXPECT_EQ(raw, c.raw);
}

INSTANTIATE_TEST_SUITE_P(
    Weather, WeatherLive,
    ::testing::Values(LiveCase{"T_indoor", 0x0346, 2, "45 29", -55},
                      LiveCase{"H_indoor", 0x03FB, 1, "41", 410},
                      LiveCase{"P", 0x05E2, 3, "32 01 01", 1013200},
                      LiveCase{"T_outdoor", 0x0373, 2, "40 38", 840},
                      LiveCase{"H_outdoor", 0x0419, 1, "72", 720},
                      LiveCase{"wind_speed", 0x0529, 2, "22 00", 122},
                      LiveCase{"wind_direction", 0x052C, 1, "60", 6},
                      LiveCase{"wind_chill", 0x03A0, 2, "10 36", 610},
                      LiveCase{"dew_point", 0x03CE, 2, "60 33", 360},
                      LiveCase{"rain_1h", 0x04B4, 3, "30 00 00", 30},
                      LiveCase{"rain_24h", 0x0497, 3, "70 02 00", 270},
                      LiveCase{"rain_total", 0x04D2, 3, "50 17 04", 41750}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Weather, PollAnswersTheAssembledMeasurementData)
{
    SimHarness h(scenario());
    h.send(request(30, "c"));
    const QByteArray d = h.single().payload.mid(5);
    ASSERT_EQ(d.size(), 31);
    EXPECT_EQ(d, hex("C9 FF 9A 01 D0 75 0F 00 48 03 D0 02 7A 00 06 62 02 68 01 1E 00 00 00 0E 01 00 00 16 A3 00 00"));
}

TEST(Weather, MissingValuesAndReadFailures)
{
    SimHarness h(scenario());
    ASSERT_TRUE(h.control("set ws TOutd none").ok);
    EXPECT_EQ(read(h, 0x0373, 2).mid(8), hex("AA AA"));
    h.send(request(30, cwsrm(0x17F0, 300)));
    EXPECT_EQ(h.single().payload, QByteArray("AWSRM") + hex("02 F0 17"));
    ASSERT_TRUE(h.control("fault ws broken once").ok);
    h.send(request(30, cwsrm(0x0346, 2)));
    EXPECT_EQ(h.single().payload, QByteArray("AWSRM") + hex("01 46 03"));
    h.send(request(30, "CWSRM"));
    EXPECT_EQ(h.single().payload, QByteArray("ASYER") + char(StatusBadLength));
}

namespace {

// The history as the computer downloads it: six blocks of 300 bytes from 0x06C6, 600
// nibbles apart, unpacked into nibbles (the low half first).
QVector<int> historyNibbles(SimHarness& h)
{
    QVector<int> n;
    for (int block = 0; block < 6; ++block) {
        const int address = 0x06C6 + 600 * block;
        const QByteArray a = read(h, address, std::min(300, 0x13CF - address));
        EXPECT_EQ(quint8(a.at(5)), 0);
        for (char c : a.mid(8)) {
            n << (quint8(c) & 0x0F) << (quint8(c) >> 4);
        }
    }
    return n;
}

struct HistoryRecord {
    double tIn, tOut, p, hIn, hOut, wind;
    int rain, dir;
};

HistoryRecord decode(const QVector<int>& n, int k)
{
    quint8 c[10];
    for (int j = 0; j < 10; ++j)
        c[j] = quint8(n[19 * k + 2 * j] | (j < 9 ? n[19 * k + 2 * j + 1] << 4 : 0));
    HistoryRecord r;
    const int a = ((c[2] & 0x0F) << 16) + (c[1] << 8) + c[0];
    r.tIn = (a % 1000) / 10.0 - 30;
    r.tOut = (a - a % 1000) / 10000.0 - 30;
    const int b = (c[2] >> 4) + ((c[3] & 0x0F) << 4) + ((c[3] >> 4) << 8) + ((c[4] & 0x0F) << 12) + ((c[4] >> 4) << 16);
    r.p = (b % 10000) / 10.0 + 1000;
    if (r.p > 1500)
        r.p -= 1000;
    r.hIn = (b - b % 10000) / 10000;
    r.hOut = bcd(c[5]);
    r.rain = ((c[7] & 0x0F) << 8) + c[6];
    r.wind = ((c[7] >> 4) + ((c[8] & 0x0F) << 4) + ((c[8] >> 4) << 8)) / 10.0;
    r.dir = c[9] & 0x0F;
    return r;
}

} // namespace

TEST(Weather, HistorySettingsAndRecordsDecodeWithTheReadersFormulas)
{
    SimHarness h(scenario());
    // interval - 1 = 29; newest record 2024-05-21 09:00 (the clock at start); index 4 of 5.
    EXPECT_EQ(read(h, 0x06B2, 10).mid(8), hex("1D 00 00 00 09 21 05 24 04 05"));
    const QVector<int> n = historyNibbles(h);
    ASSERT_GE(n.size(), 19 * 175);
    const HistoryRecord r = decode(n, 4);
    EXPECT_NEAR(r.tIn, -0.55, 0.051); // kept to a tenth
    EXPECT_NEAR(r.tOut, 8.4, 1e-9);
    EXPECT_NEAR(r.p, 1013.2, 1e-9);
    EXPECT_EQ(r.hIn, 41);
    EXPECT_EQ(r.hOut, 72);
    EXPECT_EQ(r.rain, 418);
    EXPECT_NEAR(r.wind, 3.4, 1e-9);
    EXPECT_EQ(r.dir, 6);
    // Below 1000 hPa the pressure travels as it is.
    ASSERT_TRUE(h.control("set ws P 987.6").ok);
    ASSERT_TRUE(h.control("measure ws").ok);
    EXPECT_NEAR(decode(historyNibbles(h), 5).p, 987.6, 1e-9);
}

TEST(Weather, OlderRecordsFollowTheCurvesAtTheirOwnTimes)
{
    SimHarness h(R"({"interfaces": [{"name": "srv", "devices": [
      {"name": "ws", "address": 30, "type": 12, "values": {"T": {"curve": "ramp", "from": 10, "to": 30, "period": 100000, "phase": 50000}},
       "history": {"interval": 60, "records": 3}}]}]})");
    h.time().advance(7200 * 1000); // the ramp is 20 °C per 100000 s
    const QVector<int> n = historyNibbles(h);
    // Records from two hours and one hour before the start, and at the start.
    EXPECT_NEAR(decode(n, 0).tIn, 20 - 7200 * 20.0 / 100000, 0.051);
    EXPECT_NEAR(decode(n, 1).tIn, 20 - 3600 * 20.0 / 100000, 0.051);
    EXPECT_NEAR(decode(n, 2).tIn, 20.0, 0.051);
    // Two hours later the station has added two records of its own.
    EXPECT_EQ(read(h, 0x06B2, 10).mid(8), hex("3B 00 00 00 11 21 05 24 04 05"));
    EXPECT_NEAR(decode(n, 4).tIn, 20 + 7200 * 20.0 / 100000, 0.051);
}

TEST(Weather, TheHistoryRingWrapsAfter175Records)
{
    SimHarness h(scenario().replace(R"("records": 5)", R"("records": 174)"));
    EXPECT_EQ(read(h, 0x06B2, 10).mid(16), hex("AD AE"));
    h.time().advance(30 * 60 * 1000);
    EXPECT_EQ(read(h, 0x06B2, 10).mid(16), hex("AE AF"));
    h.time().advance(30 * 60 * 1000);
    EXPECT_EQ(read(h, 0x06B2, 10).mid(16), hex("00 AF"));
}

TEST(Weather, AStationWithoutHistoryReportsNone)
{
    SimHarness h(scenario().replace(R"("records": 5)", R"("records": 0)"));
    EXPECT_EQ(read(h, 0x06B2, 10).mid(8), hex("1D 00 00 00 00 00 00 00 00 00"));
}
