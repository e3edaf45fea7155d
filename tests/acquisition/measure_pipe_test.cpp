#include "acquisition/measure_pipe.h"

#include <gtest/gtest.h>

using namespace cvx;

TEST(MeasurePipe, EmptyWindowGivesZeroAndOutOfRangeExtremes)
{
    TMeasurePipe p;
    EXPECT_EQ(p.Average(), 0);
    EXPECT_EQ(p.Maximum(), -1000);
    EXPECT_EQ(p.Minimum(), 1000);
}

TEST(MeasurePipe, AddPrunesItemsOlderThanTheWindow)
{
    TMeasurePipe p;
    const QDateTime t0(QDate(2024, 5, 21), QTime(8, 0));
    p.Add(t0, 20.0, t0, 120);
    p.Add(t0.addSecs(3600), 22.0, t0.addSecs(3600), 120);
    p.Add(t0.addSecs(7200), 24.0, t0.addSecs(7200), 120); // t0 is exactly 120 min old: kept
    EXPECT_EQ(p.Count(), 3);
    p.Add(t0.addSecs(7201), 130.0, t0.addSecs(7201), 120); // now t0 is older: dropped
    EXPECT_EQ(p.Count(), 3);
    EXPECT_DOUBLE_EQ(p.Average(), (22.0 + 24.0 + 130.0) / 3);
    EXPECT_EQ(p.Maximum(), 130.0);
    EXPECT_EQ(p.Minimum(), 22.0);
}

TEST(MeasurePipe, AnOlderItemTakesItsPlaceInTimeAndExtremesFollowPruning)
{
    TMeasurePipe p;
    const QDateTime t0(QDate(2024, 5, 21), QTime(8, 0));
    p.Add(t0.addSecs(60), 25.0, t0.addSecs(60), 120);
    p.Add(t0, 19.0, t0.addSecs(60), 120); // a clock correction: older than the newest
    p.Add(t0.addSecs(120), 21.0, t0.addSecs(120), 120);
    const auto items = p.items();
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].time, t0);
    EXPECT_EQ(items[1].value, 25.0);
    EXPECT_EQ(p.Minimum(), 19.0);
    EXPECT_EQ(p.Maximum(), 25.0);
    // Two hours later the oldest two are gone; the extremes are found again.
    p.Add(t0.addSecs(7200 + 61), 22.0, t0.addSecs(7200 + 61), 120);
    EXPECT_EQ(p.Count(), 2);
    EXPECT_EQ(p.Minimum(), 21.0);
    EXPECT_EQ(p.Maximum(), 22.0);
    EXPECT_DOUBLE_EQ(p.Average(), 21.5);
    p.Clear();
    EXPECT_EQ(p.Count(), 0);
    EXPECT_EQ(p.Average(), 0);
}

TEST(MeasurePipe, WeeksOfDataAndLongWindowsStayExact)
{
    TMeasurePipe p;
    const QDateTime t0(QDate(2024, 1, 1), QTime(0, 0));
    // Forty days, one temperature an hour, a window of two hours: the time base moves on.
    for (int h = 0; h < 40 * 24; ++h)
        p.Add(t0.addSecs(3600LL * h), 20.0 + h % 3, t0.addSecs(3600LL * h), 120);
    EXPECT_EQ(p.Count(), 3);
    EXPECT_EQ(p.items().back().time, t0.addSecs(3600LL * (40 * 24 - 1)));
    EXPECT_EQ(p.items().front().time, t0.addSecs(3600LL * (40 * 24 - 3)));
    EXPECT_DOUBLE_EQ(p.Average(), 21.0);

    // A window of 60 days keeps at most 24 days of items.
    TMeasurePipe wide;
    for (int d = 0; d < 40; ++d)
        wide.Add(t0.addDays(d), 20.0, t0.addDays(d), 60LL * 24 * 60);
    EXPECT_EQ(wide.Count(), 25);
    EXPECT_EQ(wide.items().front().time, t0.addDays(15));
}
