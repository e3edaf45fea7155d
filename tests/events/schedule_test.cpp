// Scheduled, periodic and delayed events on the 3000 ms scheduler and their own timers.

#include "event_fixture.h"

using namespace cvx;
using namespace cvx::test;

namespace {

struct ScheduleCase {
    const char* name;
    bool useDays, useHours, useMinutes;
    const char* weekDays;
    QStringList hours, minutes;
    QDateTime start;
    int runMinutes;
    QStringList expected; // "d<day of week> HH:mm:ss"
};

// 2024-05-19 is a Sunday, 2024-05-20 a Monday.
QDateTime at(int day, int h, int m, int s = 0) { return QDateTime(QDate(2024, 5, day), QTime(h, m, s)); }

class Schedules : public EventTest {
protected:
    // A scheduled event that starts the marker program and closes 10 s later.
    TEvent& scheduled(std::function<void(TEvent&)> configure)
    {
        markerTask();
        return addEvent(2, [&](TEvent& e) {
            e.Condition_type_code = CTC_SCHEDULED;
            e.Condition_type_code2 = CTC_DELAYED;
            e.Delay = 10;
            e.week_days = QStringLiteral("       ");
            e.Task_list.setCommaText("900");
            configure(e);
        });
    }
    void startAt(const QDateTime& t)
    {
        time.setLocalNow(t);
        engine->Scheduler().start();
    }
};

class ScheduleTable : public Schedules, public ::testing::WithParamInterface<ScheduleCase> {};

TEST_P(ScheduleTable, FiresExactlyAtTheScheduledMinutes)
{
    const ScheduleCase c = GetParam();
    scheduled([&](TEvent& e) {
        e.use_week_days = c.useDays;
        e.use_hours = c.useHours;
        e.use_minutes = c.useMinutes;
        e.week_days = QString::fromLatin1(c.weekDays);
        e.hours = c.hours;
        e.minutes = c.minutes;
    });
    startAt(c.start);
    advanceMinutes(c.runMinutes);
    EXPECT_EQ(firingTimes(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ScheduleTable,
    ::testing::Values(
        ScheduleCase{"hours_fire_at_minute_zero", false, true, false, "       ", {"08", "12"}, {}, at(20, 7, 58, 30),
                     300, {"d1 08:00:00", "d1 12:00:00"}},
        ScheduleCase{"no_flags_fire_at_every_examination", false, false, false, "       ", {}, {}, at(20, 10, 0, 30), 5,
                     {"d1 10:00:33", "d1 10:01:00", "d1 10:02:00", "d1 10:03:00", "d1 10:04:00", "d1 10:05:00"}},
        ScheduleCase{"days_without_hours_fire_at_midnight", true, false, false, "X X X  ", {}, {}, at(19, 23, 58),
                     60 * 60, {"d1 00:00:00", "d3 00:00:00"}},
        ScheduleCase{"days_without_hours_also_at_listed_minutes_past_midnight", true, false, false, "X      ", {},
                     {"30"}, at(19, 23, 58), 60, {"d1 00:00:00", "d1 00:30:00"}},
        ScheduleCase{"minutes_only_every_hour", false, false, true, "       ", {}, {"15", "45"}, at(20, 10, 0), 60,
                     {"d1 10:15:00", "d1 10:45:00"}},
        ScheduleCase{"across_midnight", false, true, true, "       ", {"23", "00"}, {"59", "00"}, at(20, 23, 57), 4,
                     {"d1 23:59:00", "d2 00:00:00"}},
        ScheduleCase{"across_the_week", true, true, false, "      X", {"09"}, {}, at(25, 8, 0), 2 * 24 * 60,
                     {"d7 09:00:00"}},
        ScheduleCase{"all_three", true, true, true, " X     ", {"06"}, {"30"}, at(20, 6, 0), 2 * 24 * 60,
                     {"d2 06:30:00"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Schedules, LogsTheSettingsWithTheIgnoredLists)
{
    scheduled([](TEvent& e) {
        e.use_hours = true;
        e.hours = QStringList{"08"};
        e.minutes = QStringList{"30"};
        e.week_days = QStringLiteral("XX     ");
    });
    startAt(at(20, 7, 59));
    advanceMinutes(2);
    EXPECT_EQ(logCount("Időzített esemény aktiválva. Az aktuális beállítások (a hét napjai/órák/percek): XX      "
                       "(nincs figyelembe véve) / 08 / 30 (nincs figyelembe véve) "),
              1);
}

TEST_F(Schedules, ClockSetBackOverAFiredMinuteDoesNotFireAgain)
{
    scheduled([](TEvent& e) {
        e.use_hours = true;
        e.hours = QStringList{"08"};
    });
    startAt(at(20, 7, 59));
    advanceMinutes(2);
    time.setLocalNow(at(20, 7, 59, 40));
    advanceMinutes(2);
    EXPECT_EQ(firingTimes(), QStringList{"d1 08:00:00"});
}

TEST_F(Schedules, MinutesMissedByAHeldUpThreadAreCaughtUp)
{
    scheduled([](TEvent& e) {
        e.use_hours = true;
        e.hours = QStringList{"08"};
    });
    startAt(at(20, 7, 58));
    time.advance(90000);                        // 07:59:30, examined
    time.setLocalNow(at(20, 8, 2, 10));         // the clock moved on while no tick ran
    time.advance(3000);
    EXPECT_EQ(firingTimes(), QStringList{"d1 08:02:13"}) << "late, but not never";
}

TEST_F(Schedules, AJumpOfHoursDoesNotReplayOldSchedules)
{
    scheduled([](TEvent& e) {
        e.use_hours = true;
        e.hours = QStringList{"08"};
    });
    startAt(at(20, 7, 0));
    advanceMinutes(1);
    time.setLocalNow(at(20, 9, 30));
    advanceMinutes(5);
    EXPECT_TRUE(firingTimes().isEmpty());
}

TEST_F(Schedules, NeitherWhileLockedNorWhileStopping)
{
    TEvent& e = scheduled([](TEvent&) {});
    TEvent& locker = addEvent(3, [](TEvent&) {});
    e.Lock(locker);
    startAt(at(20, 10, 0));
    advanceMinutes(3);
    EXPECT_TRUE(firingTimes().isEmpty());
    e.Unlock(locker);
    shellState().Stopping = true;
    advanceMinutes(3);
    EXPECT_TRUE(firingTimes().isEmpty());
    shellState().Stopping = false;
    time.advance(3000);
    EXPECT_EQ(firingTimes().size(), 1);
}

// ---- periods and delays ----------------------------------------------------------------------------

TEST_F(Schedules, PeriodicEventActivatesEveryPeriodWhileInactive)
{
    markerTask();
    TEvent& e = addEvent(3, [](TEvent& ev) {
        ev.Condition_type_code = CTC_PERIODIC;
        ev.Condition_type_code2 = CTC_DELAYED;
        ev.Period = 5;
        ev.Delay = 400; // still active at the next period: that tick does nothing
        ev.Task_list.setCommaText("900");
    });
    EXPECT_TRUE(e.PeriodTimer->isActive());
    advanceMinutes(21);
    EXPECT_EQ(firingTimes(), (QStringList{"d1 10:05:00", "d1 10:15:00"}));
}

TEST_F(Schedules, PeriodOfZeroNeverRuns)
{
    TEvent& e = addEvent(3, [](TEvent& ev) {
        ev.Condition_type_code = CTC_PERIODIC;
        ev.Period = 0;
    });
    EXPECT_FALSE(e.PeriodTimer->isActive());
    advanceMinutes(5);
    EXPECT_FALSE(e.Active);
}

TEST_F(Schedules, DelayedClosingAndALockedEventStaysActive)
{
    addTask(901, ttCommand, [](TTask& t) { t.exec_cmd = "/bin/closed"; });
    TEvent& e = addEvent(4, [](TEvent& ev) {
        ev.Condition_type_code = CTC_EVENT_TRIGGERED;
        ev.Condition_type_code2 = CTC_DELAYED;
        ev.Delay = 90;
        ev.Task_list2.setCommaText("901");
    });
    TEvent& locker = addEvent(5, [](TEvent&) {});
    e.SetActive(true);
    time.advance(89999);
    EXPECT_TRUE(e.Active);
    time.advance(1);
    EXPECT_FALSE(e.Active);
    ASSERT_EQ(launcher.calls.size(), 1u);

    e.SetActive(true);
    e.Lock(locker);
    time.advance(90000 * 3);
    EXPECT_TRUE(e.Active) << "neither the delay timer nor anything else closes a locked event";
    e.Unlock(locker);
    time.advance(90000);
    EXPECT_FALSE(e.Active);
    EXPECT_EQ(launcher.calls.size(), 2u);
}

} // namespace
