#include "app/mode_decision.h"

#include <gtest/gtest.h>

using namespace cvx;

struct ModeCase {
    const char* name;
    ModeInputs in;
    bool master;
    bool registers;
    const char* logStart;
};

void PrintTo(const ModeCase& c, std::ostream* os) { *os << c.name; }

class ModeDecisionTest : public ::testing::TestWithParam<ModeCase> {};

TEST_P(ModeDecisionTest, FirstMatchingRowDecides)
{
    const ModeCase& c = GetParam();
    const ModeDecision d = DecideMode(c.in);
    EXPECT_EQ(d.masterMode, c.master);
    EXPECT_EQ(d.registerSelf, c.registers);
    EXPECT_TRUE(d.logLine.startsWith(QString::fromLatin1(c.logStart))) << d.logLine.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Table, ModeDecisionTest,
    ::testing::Values(
        // Forced client mode wins over everything, even with no master registered.
        ModeCase{"forced client", {true, true, "", "10.0.0.5", false}, false, false, "Forced client mode"},
        ModeCase{"service", {false, true, "10.0.0.9", "10.0.0.5", true}, true, true, "Running as service"},
        ModeCase{"nobody registered", {false, false, "", "10.0.0.5", true}, true, true, "No master app registered"},
        ModeCase{"other master", {false, false, "10.0.0.9", "10.0.0.5", false}, false, false,
                 "Master app registered with different IP"},
        ModeCase{"case differs", {false, false, "MyHost", "myhost", false}, false, false,
                 "Master app registered with different IP"},
        ModeCase{"ours but another instance", {false, false, "10.0.0.5", "10.0.0.5", true}, false, false,
                 "Master app registered with our IP address, but another Corvalux is running  - starting as client"},
        ModeCase{"ours", {false, false, "10.0.0.5", "10.0.0.5", false}, true, false,
                 "Master app registered with our IP address - starting as master app."}));
