#include "platform/manual_time_service.h"
#include "platform/qt_time_service.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <gtest/gtest.h>

#include <vector>

using namespace cvx;

TEST(ManualTimeService, FiresDueTimersInDeadlineOrderTiesInCreationOrder)
{
    ManualTimeService ts;
    std::vector<std::string> fired;
    auto a = ts.createTimer(300, true, [&] { fired.push_back("a300"); });
    auto b = ts.createTimer(100, true, [&] { fired.push_back("b100"); });
    auto c = ts.createTimer(300, true, [&] { fired.push_back("c300"); });
    auto d = ts.createTimer(100, true, [&] { fired.push_back("d100"); });
    c->start();
    a->start();
    d->start();
    b->start();
    ts.advance(299);
    EXPECT_EQ(fired, (std::vector<std::string>{"b100", "d100"}));
    ts.advance(1);
    EXPECT_EQ(fired, (std::vector<std::string>{"b100", "d100", "a300", "c300"}));
}

TEST(ManualTimeService, RepeatingTimerFiresOncePerIntervalAndSeesItsDeadline)
{
    ManualTimeService ts;
    std::vector<qint64> at;
    const qint64 t0 = ts.tickMs();
    auto t = ts.createTimer(110, false, [&] { at.push_back(ts.tickMs() - t0); });
    t->start();
    ts.advance(350);
    EXPECT_EQ(at, (std::vector<qint64>{110, 220, 330}));
    EXPECT_EQ(ts.tickMs() - t0, 350);
    t->stop();
    ts.advance(1000);
    EXPECT_EQ(at.size(), 3u);
}

TEST(ManualTimeService, TimersStartedWhileFiringRunInTheSameAdvance)
{
    ManualTimeService ts;
    std::vector<qint64> at;
    const qint64 t0 = ts.tickMs();
    std::unique_ptr<Timer> second = ts.createTimer(50, true, [&] { at.push_back(ts.tickMs() - t0); });
    auto first = ts.createTimer(100, true, [&] {
        at.push_back(ts.tickMs() - t0);
        second->start();
    });
    first->start();
    ts.advance(1000);
    EXPECT_EQ(at, (std::vector<qint64>{100, 150}));
}

TEST(ManualTimeService, ChangingIntervalOfRunningTimerRestartsIt)
{
    ManualTimeService ts;
    int count = 0;
    auto t = ts.createTimer(100, true, [&] { ++count; });
    t->start();
    ts.advance(90);
    t->setInterval(100); // restart from now: due at 190
    ts.advance(90);
    EXPECT_EQ(count, 0);
    ts.advance(10);
    EXPECT_EQ(count, 1);
}

TEST(ManualTimeService, SetEnabledDoesNotRestartRunningTimer)
{
    ManualTimeService ts;
    int count = 0;
    auto t = ts.createTimer(2000, true, [&] { ++count; });
    t->setEnabled(true);
    ts.advance(500);
    t->setEnabled(true); // arming an armed one-shot keeps its first deadline
    ts.advance(1500);
    EXPECT_EQ(count, 1);
}

TEST(ManualTimeService, TimerDestroyedWhileFiringIsSafe)
{
    ManualTimeService ts;
    std::unique_ptr<Timer> victim = ts.createTimer(100, true, [] {});
    int fired = 0;
    auto killer = ts.createTimer(100, true, [&] {
        ++fired;
        victim.reset();
    });
    killer->start();
    victim->start();
    ts.advance(200);
    EXPECT_EQ(fired, 1);
    EXPECT_EQ(victim, nullptr);
}

TEST(ManualTimeService, LocalClockFollowsTicksAndCanBeSet)
{
    const QDateTime start(QDate(2024, 5, 21), QTime(9, 29, 7, 365));
    ManualTimeService ts(start);
    ts.advance(1000);
    EXPECT_EQ(ts.localNow(), start.addMSecs(1000));
    const QDateTime jump(QDate(2024, 5, 22), QTime(0, 0));
    ts.setLocalNow(jump);
    ts.advance(5);
    EXPECT_EQ(ts.localNow(), jump.addMSecs(5));
}

TEST(ManualTimeService, ZeroIntervalRepeatingTimerTerminates)
{
    ManualTimeService ts;
    int count = 0;
    auto t = ts.createTimer(0, false, [&] { ++count; });
    t->start();
    ts.advance(10);
    EXPECT_EQ(count, 11); // at 0,1,...,10
}

TEST(ManualTimeService, TimerOutlivingServiceIsInert)
{
    std::unique_ptr<Timer> t;
    {
        ManualTimeService ts;
        t = ts.createTimer(10, false, [] {});
        t->start();
    }
    t->start();
    EXPECT_FALSE(t->isActive());
    t.reset();
}

TEST(QtTimeService, SingleShotFiresOnTheEventLoop)
{
    QtTimeService ts;
    QEventLoop loop;
    bool fired = false;
    auto t = ts.createTimer(20, true, [&] {
        fired = true;
        loop.quit();
    });
    QElapsedTimer el;
    el.start();
    t->start();
    auto guard = ts.createTimer(5000, true, [&] { loop.quit(); });
    guard->start();
    loop.exec();
    EXPECT_TRUE(fired);
    EXPECT_FALSE(t->isActive());
    EXPECT_GE(el.elapsed(), 19);
    EXPECT_GE(ts.tickMs(), 19);
}
