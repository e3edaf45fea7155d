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
