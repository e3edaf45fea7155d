// Thresholds with sustain times, closing thresholds, lost and revived sensors, the rate
// of change, activation limits and time windows, on virtual time.

#include "event_fixture.h"

using namespace cvx;
using namespace cvx::test;

namespace {

class Conditions : public EventTest {
protected:
    // A temperature event over 30 °C on sensors 1 and 2 that starts the marker program.
    TEvent& overheat(int sustain, std::function<void(TEvent&)> more = {})
    {
        markerTask();
        return addEvent(1, [&](TEvent& e) {
            e.Condition_type_code = CTC_MEASURED;
            e.Condition_type_code2 = CTC_MEASURED;
            e.Sensor_list.setCommaText("1,2");
            e.Sensor_list2.setCommaText("1,2");
            e.Threshold1Value = 30;
            e.Threshold1Type = ThresholdUpper;
            e.Threshold1MeasureType = mtT;
            e.Threshold2Value = 25;
            e.Threshold2Type = ThresholdLower;
            e.Threshold2MeasureType = mtT;
            e.Sustain = sustain;
            e.Task_list.setCommaText("900");
            if (more)
                more(e);
        });
    }
};

struct SustainCase {
    int sustain;
    double secondsToFirstFire; // from the first crossing, measuring every 30 s
};

class SustainTimes : public Conditions, public ::testing::WithParamInterface<SustainCase> {};

TEST_P(SustainTimes, ActivatesOnTheFirstMeasurementAfterTheWholeMinutes)
{
    const SustainCase c = GetParam();
    TEvent& e = overheat(c.sustain);
    TProbe& s = addSensor(1);
    const QDateTime first = time.localNow();
    for (int i = 0; i < 60 && !e.Active; ++i) {
        measure(s, mtT, 31);
        if (!e.Active)
            time.advance(30000);
    }
    ASSERT_TRUE(e.Active);
    EXPECT_EQ(first.secsTo(time.localNow()), qint64(c.secondsToFirstFire));
    ASSERT_EQ(launcher.calls.size(), 1u);
    EXPECT_EQ(logCount("határérték-túllépés a(z) sensor1 szenzoron: 31,00 (nagyobb mint 30,00)"), 1)
        << log.lines().join("\n").toStdString();
}

INSTANTIATE_TEST_SUITE_P(Minutes, SustainTimes,
                         ::testing::Values(SustainCase{0, 0}, SustainCase{1, 60}, SustainCase{10, 600}));

TEST_F(Conditions, SustainCountsWholeMinutesNotSeconds)
{
    TEvent& e = overheat(10);
    TProbe& s = addSensor(1);
    measure(s, mtT, 31);
    time.advance(10 * 60000 - 1);
    measure(s, mtT, 31);
    EXPECT_FALSE(e.Active) << "9 min 59.999 s is 9 whole minutes";
    time.advance(1);
    measure(s, mtT, 31);
    EXPECT_TRUE(e.Active);
}

TEST_F(Conditions, AWallClockJumpNeitherShortensNorStretchesTheSustain)
{
    TEvent& e = overheat(10);
    TProbe& s = addSensor(1);
    measure(s, mtT, 31);
    time.setLocalNow(time.localNow().addSecs(3600));
    measure(s, mtT, 31);
    EXPECT_FALSE(e.Active) << "the clock was set an hour forward, yet no time passed";
    advanceMinutes(10);
    measure(s, mtT, 31);
    EXPECT_TRUE(e.Active);
}

TEST_F(Conditions, AnotherSensorUnderTheLimitRestartsTheSustain)
{
    TEvent& e = overheat(10);
    TProbe& a = addSensor(1);
    TProbe& b = addSensor(2);
    measure(a, mtT, 31);
    advanceMinutes(6);
    measure(b, mtT, 22);
    EXPECT_FALSE(e.Pending);
    EXPECT_EQ(logCount("a mért érték (22,00) visszaállt a határérték (30,00) alá"), 1);
    advanceMinutes(5);
    measure(a, mtT, 31);
    EXPECT_FALSE(e.Active) << "the sustain started again at the 11th minute";
    advanceMinutes(10);
    measure(a, mtT, 31);
    EXPECT_TRUE(e.Active);
}

TEST_F(Conditions, ANoValueReadingNeitherActivatesNorClears)
{
    TEvent& e = overheat(1);
    TProbe& s = addSensor(1);
    measure(s, mtT, 31);
    advanceMinutes(2);
    measure(s, mtT, std::nan(""));
    EXPECT_TRUE(e.Pending);
    EXPECT_FALSE(e.Active);
    measure(s, mtT, 31);
    EXPECT_TRUE(e.Active);
    advanceMinutes(5);
    measure(s, mtT, std::nan(""));
    EXPECT_TRUE(e.Active) << "no value is not below the closing threshold";
}

TEST_F(Conditions, SensorsOutsideTheListOrLostOrUnusedAreIgnored)
{
    TEvent& e = overheat(0);
    TProbe& other = addSensor(3);
    TProbe& lost = addSensor(2);
    lost.Inactive = true;
    TProbe& unused = addSensor(1);
    unused.IsUsed = false;
    measure(other, mtT, 40);
    measure(lost, mtT, 40);
    measure(unused, mtT, 40);
    EXPECT_FALSE(e.Active);
    EXPECT_FALSE(e.Pending);
    EXPECT_TRUE(engine->EventsOfSensor(3).empty());
    EXPECT_EQ(engine->EventsOfSensor(1).size(), 1u);
}

struct LimitCase {
    const char* name;
    int type;
    double threshold, value;
    bool holds;
};

class ThresholdTypes : public Conditions, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(ThresholdTypes, UpperHoldsAtOrAboveLowerAtOrBelow)
{
    const LimitCase c = GetParam();
    TEvent& e = overheat(0, [&](TEvent& ev) {
        ev.Threshold1Type = c.type;
        ev.Threshold1Value = c.threshold;
    });
    TProbe& s = addSensor(1);
    measure(s, mtT, c.value);
    EXPECT_EQ(e.Active, c.holds);
}

INSTANTIATE_TEST_SUITE_P(Cases, ThresholdTypes,
                         ::testing::Values(LimitCase{"upper_equal", 1, 30, 30, true},
                                           LimitCase{"upper_below", 1, 30, 29.99, false},
                                           LimitCase{"lower_equal", 2, 5, 5, true},
                                           LimitCase{"lower_above", 2, 5, 5.01, false},
                                           LimitCase{"lower_below", 2, 5, -3, true},
                                           LimitCase{"other_type_is_upper", 7, 30, 31, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Conditions, ClosingThresholdWithSustainAndTheValueReturnedLine)
{
    TEvent& e = overheat(0, [](TEvent& ev) { ev.Sustain2 = 2; });
    addTask(901, ttCommand, [](TTask& t) { t.exec_cmd = "/bin/closed"; });
    e.Task_list2.setCommaText("901");
    TProbe& s = addSensor(1);
    measure(s, mtT, 35);
    ASSERT_TRUE(e.Active);
    measure(s, mtT, 24);
    EXPECT_TRUE(e.Pending);
    advanceMinutes(1);
    measure(s, mtT, 26);
    EXPECT_FALSE(e.Pending);
    EXPECT_EQ(logCount("\"sensor1\" [001]: 10:01:00 - a mért érték (26,00) visszaállt a határérték (25,00) fölé."),
              1);
    measure(s, mtT, 24);
    advanceMinutes(1);
    measure(s, mtT, 24);
    EXPECT_TRUE(e.Active);
    advanceMinutes(1);
    measure(s, mtT, 24);
    EXPECT_FALSE(e.Active);
    ASSERT_EQ(launcher.calls.size(), 2u);
    EXPECT_EQ(launcher.calls[1].program, "/bin/closed");
}

// ---- activation limit ------------------------------------------------------------------------

TEST_F(Conditions, ActivationLimitAllowsTwoPerHourAndLogsTheRefusalOnce)
{
    TEvent& e = overheat(0, [](TEvent& ev) {
        ev.Limit_enabled = true;
        ev.EvLimit = 2;
        ev.Limit_interval = 60;
    });
    TProbe& s = addSensor(1);
    auto cycle = [&] {
        measure(s, mtT, 35);
        const bool activated = e.Active;
        measure(s, mtT, 20);
        return activated;
    };
    EXPECT_TRUE(cycle());
    EXPECT_EQ(logCount("60 percenként max. 2 aktiválás lehet, ez lesz a(z) 1."), 1);
    advanceMinutes(10);
    EXPECT_TRUE(cycle());
    EXPECT_EQ(logCount("60 percenként max. 2 aktiválás lehet, ez lesz a(z) 2."), 1);
    advanceMinutes(10);
    measure(s, mtT, 35);
    EXPECT_FALSE(e.Active);
    measure(s, mtT, 36);
    advanceMinutes(30);
    measure(s, mtT, 37);
    EXPECT_FALSE(e.Active);
    EXPECT_EQ(logCount("max. 2 van engedélyezve, és ez a(z) 3. lett volna."), 1) << "logged once while it holds";
    // 60 whole minutes after the second activation are not yet more than 60.
    advanceMinutes(20);
    measure(s, mtT, 37);
    EXPECT_FALSE(e.Active);
    advanceMinutes(1);
    measure(s, mtT, 37);
    EXPECT_TRUE(e.Active);
    EXPECT_EQ(logCount("ez lesz a(z) 1."), 2);
    EXPECT_EQ(launcher.calls.size(), 3u);
}

TEST_F(Conditions, WithoutTheLimitEveryActivationGoesAhead)
{
    TEvent& e = overheat(0);
    TProbe& s = addSensor(1);
    for (int i = 0; i < 5; ++i) {
        measure(s, mtT, 35);
        EXPECT_TRUE(e.Active);
        measure(s, mtT, 20);
    }
    EXPECT_EQ(launcher.calls.size(), 5u);
    EXPECT_EQ(logCount("aktiválás lehet"), 0);
}

// ---- time window -------------------------------------------------------------------------------

struct WindowCase {
    const char* name;
    QDateTime at;
    bool allowed;
};

class TimeWindows : public Conditions, public ::testing::WithParamInterface<WindowCase> {};

TEST_P(TimeWindows, MeasuredEventsActivateOnlyInsideTheWindow)
{
    const WindowCase c = GetParam();
    TEvent& e = overheat(0, [](TEvent& ev) {
        ev.Limit_time = true;
        ev.use_week_days = true;
        ev.week_days = QStringLiteral("XXXXX  "); // weekdays
        ev.use_hours = true;
        ev.hours = QStringList{"08", "09", "10", "11", "12", "13", "14", "15", "16", "17"};
        ev.use_minutes = false;
    });
    TProbe& s = addSensor(1);
    time.setLocalNow(c.at);
    measure(s, mtT, 35);
    EXPECT_EQ(e.Active, c.allowed);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TimeWindows,
    ::testing::Values(WindowCase{"monday_morning", QDateTime(QDate(2024, 5, 20), QTime(8, 0)), true},
                      WindowCase{"friday_evening_edge", QDateTime(QDate(2024, 5, 24), QTime(17, 59)), true},
                      WindowCase{"friday_after_hours", QDateTime(QDate(2024, 5, 24), QTime(18, 0)), false},
                      WindowCase{"saturday", QDateTime(QDate(2024, 5, 25), QTime(10, 0)), false},
                      WindowCase{"monday_too_early", QDateTime(QDate(2024, 5, 20), QTime(7, 59)), false}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- lost and revived sensors ----------------------------------------------------------------------

TEST_F(Conditions, LostSensorActivatesAfterTheSustainAndAnyListedSensorClosesIt)
{
    markerTask();
    TEvent& e = addEvent(5, [](TEvent& ev) {
        ev.Condition_type_code = CTC_ON_SENSOR_DIE;
        ev.Condition_type_code2 = CTC_ON_SENSOR_REVIVAL;
        ev.Sensor_list.setCommaText("1,2");
        ev.Sustain = 2;
        ev.Task_list.setCommaText("900");
    });
    TProbe& a = addSensor(1);
    TProbe& b = addSensor(2);
    a.Inactive = true;
    // The activity supervision hands a lost sensor over every second.
    for (int i = 0; i < 120; ++i) {
        engine->EvaluateAll(a);
        time.advance(1000);
    }
    EXPECT_FALSE(e.Active);
    EXPECT_EQ(logCount("megszakadt a kapcsolat a(z) sensor1 szenzorral."), 1);
    engine->EvaluateAll(a);
    EXPECT_TRUE(e.Active);
    // Sensor 1 is still lost; a normal measurement of sensor 2 closes the event.
    engine->EvaluateAll(a);
    EXPECT_TRUE(e.Active);
    measure(b, mtT, 21);
    EXPECT_FALSE(e.Active);
}

TEST_F(Conditions, ASensorBackBeforeTheSustainEndsThePending)
{
    TEvent& e = addEvent(5, [](TEvent& ev) {
        ev.Condition_type_code = CTC_ON_SENSOR_DIE;
        ev.Sensor_list.setCommaText("1");
        ev.Sustain = 5;
    });
    TProbe& a = addSensor(1);
    a.Inactive = true;
    engine->EvaluateAll(a);
    EXPECT_TRUE(e.Pending);
    advanceMinutes(3);
    a.Inactive = false;
    engine->EvaluateAll(a);
    EXPECT_FALSE(e.Pending);
    EXPECT_EQ(logCount("a kapcsolat helyreállt a(z) sensor1 szenzorral."), 1);
}

// ---- rate of change ------------------------------------------------------------------------------

struct RateCase {
    const char* name;
    int type;             // 1 too fast, 2 too slow
    double threshold;
    std::vector<double> oldestFirst;
    bool activates;
};

class RateOfChange : public Conditions, public ::testing::WithParamInterface<RateCase> {};

TEST_P(RateOfChange, ComparesTheExtremesOfTheNewestSets)
{
    const RateCase c = GetParam();
    markerTask();
    TEvent& e = addEvent(8, [&](TEvent& ev) {
        ev.Condition_type_code = CTC_ON_EXTREME_RATE;
        ev.Sensor_list.setCommaText("1");
        ev.Threshold1Type = c.type;
        ev.Threshold1Value = c.threshold;
        ev.Threshold1MeasureType = mtT;
        ev.rate_count = 10;
        ev.Task_list.setCommaText("900");
    });
    TProbe& iface = addInterface(50, false);
    TProbe& s = addSensor(1, stTempHumidity, &iface);
    for (size_t i = 0; i + 1 < c.oldestFirst.size(); ++i)
        setValue(s, mtT, c.oldestFirst[i]);
    measure(s, mtT, c.oldestFirst.back());
    EXPECT_EQ(e.Active, c.activates);
}

const double N = std::nan("");

INSTANTIATE_TEST_SUITE_P(
    Cases, RateOfChange,
    ::testing::Values(
        RateCase{"too_fast", 1, 2.0, {20, 20.5, 21, 21.5, 22.2}, true},
        RateCase{"not_fast_enough", 1, 2.0, {20, 20.5, 21, 21.5, 21.9}, false},
        RateCase{"too_slow", 2, 0.5, {20, 20.1, 20.2, 20.1, 20.3}, true},
        RateCase{"not_too_slow", 2, 0.5, {20, 20.3, 20.6, 20.1, 20.3}, false},
        // rate_count 10: the newest 11 sets; the 12th newest does not count.
        RateCase{"twelfth_set_ignored", 1, 2.0, {10, 20, 20, 20, 20, 20, 20, 20, 20, 20, 20, 20.5}, false},
        RateCase{"eleventh_set_counts", 1, 2.0, {10, 20, 20, 20, 20, 20, 20, 20, 20, 20, 20.5}, true},
        RateCase{"one_set_never", 2, 100.0, {20}, false},
        RateCase{"no_values_left_out", 1, 2.0, {N, 20, N, N, 22.5}, true},
        RateCase{"one_value_among_no_values", 2, 5.0, {N, N, N, 20}, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Conditions, RateOfChangeLogsTheChangeWithTheSecondsOfTheMeasurements)
{
    addEvent(8, [&](TEvent& ev) {
        ev.Condition_type_code = CTC_ON_EXTREME_RATE;
        ev.Sensor_list.setCommaText("1");
        ev.Threshold1Type = 1;
        ev.Threshold1Value = 1;
        ev.rate_count = 3;
    });
    TProbe& iface = addInterface(50, false);
    iface.PollInterval = 5000;
    TProbe& s = addSensor(1, stTempHumidity, &iface);
    setValue(s, mtT, 20);
    measure(s, mtT, 22);
    EXPECT_EQ(logCount("az utóbbi 3 mérés alatt (15,0 mp) a(z) \"sensor1\" szenzoron a megadott határérték "
                       "(1,00) feletti mértékben változott a mért érték: 2,00"),
              1);
}

} // namespace
