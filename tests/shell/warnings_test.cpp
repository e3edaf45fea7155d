#include "shell/warnings.h"
#include "test_support.h"

#include <gtest/gtest.h>

using namespace cvx;

class WarningPanelTest : public ::testing::Test {
protected:
    WarningPanel panel;
    test::CapturedMainLog log;
    const QDateTime now{QDate(2024, 5, 21), QTime(3, 0, 0)};
};

TEST_F(WarningPanelTest, WarningIsShownStampedAndLogged)
{
    panel.ShowWarning("A szerverterem túlmelegedett", now);
    EXPECT_TRUE(panel.visible());
    ASSERT_EQ(panel.memo().size(), 1);
    EXPECT_EQ(panel.memo()[0], "\r\n2024.05.21. 03:00:00\r\nA szerverterem túlmelegedett");
    EXPECT_TRUE(log.contains("A szerverterem túlmelegedett"));
}

TEST_F(WarningPanelTest, SwitchedOffShowsAndLogsNothingButAlignsTheBoxes)
{
    panel.setMenuAlertsEnabled(false);
    panel.setMenuAlertsDisappear(false);
    panel.ShowWarning("x", now);
    EXPECT_FALSE(panel.visible());
    EXPECT_TRUE(panel.memo().isEmpty());
    EXPECT_TRUE(log.lines().isEmpty());
    EXPECT_TRUE(panel.chboxNoAlertsPlease());
    EXPECT_TRUE(panel.chboxAlertsDontDisappear());
}

TEST_F(WarningPanelTest, BoxesAndMenuItemsAlwaysSayTheOpposite)
{
    panel.setChboxNoAlertsPlease(true);
    EXPECT_FALSE(panel.menuAlertsEnabled());
    panel.setMenuAlertsEnabled(true);
    EXPECT_FALSE(panel.chboxNoAlertsPlease());
    panel.setChboxAlertsDontDisappear(true);
    EXPECT_FALSE(panel.menuAlertsDisappear());
}

TEST_F(WarningPanelTest, The101stEntryClearsTheMemoFirst)
{
    for (int i = 0; i < 101; ++i)
        panel.ShowWarning(QString::number(i), now);
    EXPECT_EQ(panel.memo().size(), 101);
    panel.ShowWarning("new", now);
    ASSERT_EQ(panel.memo().size(), 1);
    EXPECT_TRUE(panel.memo()[0].endsWith("new"));
}

TEST_F(WarningPanelTest, ClosingForgetsEntriesAndAllSensorsMark)
{
    panel.ShowWarning("old", now);
    panel.AllSensorsDownShown = true;
    panel.Close();
    EXPECT_FALSE(panel.visible());
    EXPECT_FALSE(panel.AllSensorsDownShown);
    panel.ShowWarning("new", now);
    ASSERT_EQ(panel.memo().size(), 1);
    EXPECT_TRUE(panel.memo()[0].endsWith("new"));
}

TEST_F(WarningPanelTest, AllSensorsWarningClosesOnlyWhenOutdatedWarningsMayDisappear)
{
    WarningPanel& p = warningPanel();
    p.reset();
    p.ShowWarning("all down", now);
    p.AllSensorsDownShown = true;
    p.setMenuAlertsDisappear(false); // e.g. an SMS task showed its message
    CloseAllSensorsDownWarningIfOutdated();
    EXPECT_TRUE(p.visible());
    p.setMenuAlertsDisappear(true);
    CloseAllSensorsDownWarningIfOutdated();
    EXPECT_FALSE(p.visible());
    p.reset();
}
