#include "app/activity_supervision.h"

#include "acquisition/probe_lists.h"
#include "shell/catalogue.h"
#include "shell/shell_state.h"
#include "shell/warnings.h"
#include "test_support.h"

#include <gtest/gtest.h>

using namespace cvx;

class ActivityTest : public ::testing::Test {
protected:
    test::VirtualProcessTime vt;
    ManualTimeService& time = vt.time();
    test::CapturedMainLog log;
    ProbeLists probes;
    std::vector<int> evaluated;
    std::vector<int> notified;
    bool clientSocketConnected = true;
    std::unique_ptr<ActivitySupervision> sup;

    void SetUp() override
    {
        resetShellState();
        warningPanel().reset();
        ShellState& s = shellState();
        s.DbConnected = true;
        s.MasterMode = true;
        s.NoProbes = false;
        s.INACTIVITY_FACTOR = 2;
        s.ProbesSetUpTime = time.localNow();
        sup = std::make_unique<ActivitySupervision>(
            time, probes,
            ActivitySupervision::Hooks{[this](TProbe& p) { notified.push_back(p.Id); },
                                       [this](TProbe& p) { evaluated.push_back(p.Id); },
                                       [this] { return clientSocketConnected; }});
    }
    void TearDown() override
    {
        sup.reset();
        resetShellState();
        warningPanel().reset();
    }

    TProbe* addInterface(qint64 pollInterval)
    {
        auto i = std::make_unique<TProbe>();
        i->Id = int(probes.Interfaces.size()) + 1;
        i->PollInterval = pollInterval;
        probes.Interfaces.push_back(std::move(i));
        return probes.Interfaces.back().get();
    }
    TProbe* addSensor(TProbe* iface, int id, bool used = true)
    {
        auto s = std::make_unique<TProbe>();
        s->Id = id;
        s->SensorType = stTempHumidity;
        s->ParentInterface = iface;
        s->IsUsed = used;
        s->LastMeasureTime = time.localNow();
        probes.Sensors.push_back(std::move(s));
        return probes.Sensors.back().get();
    }
};

struct LimitCase {
    qint64 pollInterval;
    qint64 limitMs;
};

void PrintTo(const LimitCase& c, std::ostream* os) { *os << "poll " << c.pollInterval; }

class ActivityLimitTest : public ActivityTest, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(ActivityLimitTest, MarkedOnlyAfterMoreThanTheLimit)
{
    TProbe* s = addSensor(addInterface(GetParam().pollInterval), 1);
    addSensor(probes.Interfaces[0].get(), 2); // keeps answering
    sup->Start();
    const QDateTime t0 = s->LastMeasureTime;
    // Advance to exactly the limit (the other sensor answers all along).
    for (qint64 t = 0; t < GetParam().limitMs; t += 1000) {
        time.advance(1000);
        probes.Sensors[1]->LastMeasureTime = time.localNow();
    }
    EXPECT_EQ(t0.msecsTo(time.localNow()), GetParam().limitMs);
    EXPECT_FALSE(s->Inactive);
    time.advance(1000);
    EXPECT_TRUE(s->Inactive);
    EXPECT_EQ(std::count(evaluated.begin(), evaluated.end(), 1), 1);
    time.advance(1000); // evaluated again every second while it stays silent
    EXPECT_EQ(std::count(evaluated.begin(), evaluated.end(), 1), 2);
    EXPECT_FALSE(probes.Sensors[1]->Inactive);
}

INSTANTIATE_TEST_SUITE_P(Limits, ActivityLimitTest,
                         ::testing::Values(LimitCase{6000, 30000}, LimitCase{20000, 40000}));

TEST_F(ActivityTest, FutureMeasureTimeNeverMarks)
{
    TProbe* s = addSensor(addInterface(6000), 1);
    s->LastMeasureTime = time.localNow().addSecs(3600);
    sup->Start();
    time.advance(120000);
    EXPECT_FALSE(s->Inactive);
}

TEST_F(ActivityTest, NothingHappensInTheFirstFiveSecondsAfterSetUp)
{
    TProbe* s = addSensor(addInterface(6000), 1);
    s->LastMeasureTime = time.localNow().addSecs(-3600);
    sup->Start();
    time.advance(4000);
    EXPECT_FALSE(s->Inactive);
    EXPECT_TRUE(notified.empty());
    time.advance(1000);
    EXPECT_TRUE(s->Inactive);
}

TEST_F(ActivityTest, SensorThatNeverAnsweredCountsFromSetUp)
{
    TProbe* s = addSensor(addInterface(6000), 1);
    s->LastMeasureTime = QDateTime();
    sup->Start();
    time.advance(30000);
    EXPECT_FALSE(s->Inactive);
    time.advance(1000);
    EXPECT_TRUE(s->Inactive);
}

TEST_F(ActivityTest, UnusedSensorIsRefreshedEverySecondButNotMarkedEarly)
{
    TProbe* s = addSensor(addInterface(6000), 1, false);
    sup->Start();
    time.advance(10000);
    EXPECT_EQ(std::count(notified.begin(), notified.end(), 1), 6); // ticks at 5..10 s
    EXPECT_FALSE(s->Inactive);
}

TEST_F(ActivityTest, UntickingClearsEveryMarkAndStopsMarking)
{
    TProbe* s = addSensor(addInterface(6000), 1);
    sup->Start();
    time.advance(32000);
    ASSERT_TRUE(s->Inactive);
    sup->setMenuActCheck(false);
    EXPECT_FALSE(s->Inactive);
    time.advance(60000);
    EXPECT_FALSE(s->Inactive);
}

TEST_F(ActivityTest, AllSensorsDownWarningShownOnceThenClosedWhenOneAnswers)
{
    TProbe* s = addSensor(addInterface(6000), 1);
    sup->Start();
    time.advance(31000);
    ASSERT_TRUE(s->Inactive);
    EXPECT_TRUE(warningPanel().visible());
    EXPECT_TRUE(warningPanel().AllSensorsDownShown);
    time.advance(10000);
    int shown = 0;
    for (const QString& l : log.lines())
        shown += l == Msg("msgSensorsNotResponding");
    EXPECT_EQ(shown, 1);
    // The sensor answers again (the measurement handler clears the mark).
    s->Inactive = false;
    s->LastMeasureTime = time.localNow();
    time.advance(1000);
    EXPECT_FALSE(warningPanel().visible());
}

TEST_F(ActivityTest, InterfacesWithoutSensorsRaiseNoAllSensorsWarning)
{
    addInterface(6000);
    sup->Start();
    time.advance(60000);
    EXPECT_FALSE(warningPanel().visible());
}

TEST_F(ActivityTest, ClientMissingAnswerWarnsAtTheThirdTick)
{
    shellState().MasterMode = false;
    addSensor(addInterface(6000), 1);
    warningPanel().ShowWarning("old", time.localNow());
    sup->Start();
    time.advance(5000); // first tick that runs: a connected client tidies the panel
    EXPECT_FALSE(warningPanel().visible());
    sup->AnswerAwaited();
    time.advance(2000);
    EXPECT_FALSE(log.contains(Msg("msgNoSrvAnswer")));
    time.advance(1000);
    EXPECT_TRUE(log.contains(Msg("msgNoSrvAnswer")));
    EXPECT_FALSE(sup->answerAwaited());
    auto warnings = [&] {
        int n = 0;
        for (const QString& l : log.lines())
            n += l == Msg("msgNoSrvAnswer");
        return n;
    };
    // A values message before the third tick resets the count.
    sup->AnswerAwaited();
    time.advance(2000);
    sup->AnswerArrived();
    time.advance(5000);
    EXPECT_EQ(warnings(), 1);
    // A request right after a warning waits its own three ticks.
    sup->AnswerAwaited();
    time.advance(2000);
    EXPECT_EQ(warnings(), 1);
    time.advance(1000);
    EXPECT_EQ(warnings(), 2);
}
