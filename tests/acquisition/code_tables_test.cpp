#include "acquisition/code_tables.h"
#include "shell/catalogue.h"

#include <gtest/gtest.h>

using namespace cvx;

TEST(CodeTables, MeasureTypesHaveTheirWidthsFactorsAndRanges)
{
    EXPECT_EQ(measureType(mtT).bytes, 2);
    EXPECT_EQ(measureType(mtT).factor, 100);
    EXPECT_EQ(measureType(mtP).bytes, 4);
    EXPECT_EQ(measureType(mtP).factor, 1000);
    EXPECT_EQ(measureType(mtWndDir).bytes, 1);
    EXPECT_STREQ(measureType(mtRain1h).shortName, "Rain1h");
    EXPECT_TRUE(isPlausibleRaw(mtT, 12400));
    EXPECT_FALSE(isPlausibleRaw(mtT, 13000));
    EXPECT_FALSE(isPlausibleRaw(mtT, -9901));
    EXPECT_TRUE(isPlausibleRaw(mtU, -32768)); // "any"
    EXPECT_FALSE(isPlausibleRaw(mtH, 1001));
    EXPECT_FALSE(isPlausibleRaw(mtTMin, 100000)); // an empty window's 1000 degrees
    EXPECT_EQ(measureTypeText(mtT), Msg("labMeasureTypeCode1"));
    EXPECT_FALSE(isValidMeasureType(0));
    EXPECT_FALSE(isValidMeasureType(21));
}

struct CarryCase {
    int sensorType;
    std::vector<int> carried;
};

void PrintTo(const CarryCase& c, std::ostream* os) { *os << "sensor type " << c.sensorType; }

class SensorCarries : public ::testing::TestWithParam<CarryCase> {};

TEST_P(SensorCarries, ExactlyTheListedMeasureTypes)
{
    const CarryCase& c = GetParam();
    for (int mt = 1; mt <= MeasureTypeCount; ++mt) {
        const bool expected = std::find(c.carried.begin(), c.carried.end(), mt) != c.carried.end();
        EXPECT_EQ(sensorCarries(c.sensorType, mt), expected) << "measure type " << mt;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, SensorCarries,
    ::testing::Values(CarryCase{1, {1, 18, 19, 20}}, CarryCase{4, {1, 2, 17, 18, 19, 20}},
                      CarryCase{5, {1, 2, 3, 17, 18, 19, 20}}, CarryCase{6, {}}, CarryCase{7, {4}},
                      CarryCase{8, {5}}, CarryCase{9, {5}}, CarryCase{10, {1, 6, 18, 19, 20}}, CarryCase{11, {7}},
                      CarryCase{12, {1, 2, 3, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20}}, CarryCase{13, {5}},
                      CarryCase{14, {}}, CarryCase{15, {1, 2, 17, 18, 19, 20}}, CarryCase{-1, {}}, CarryCase{16, {}}));

TEST(CodeTables, DataPositionsPerSensorType)
{
    EXPECT_EQ(dataStartPosition(2, mtH), 3); // humidity found there is decoded like any other
    EXPECT_EQ(dataStartPosition(4, mtUe), 5);
    EXPECT_EQ(dataStartPosition(5, mtUe), 9);
    EXPECT_EQ(dataStartPosition(10, mtWState), 5);
    EXPECT_EQ(dataStartPosition(12, mtRainTot), 28);
    EXPECT_EQ(dataStartPosition(12, mtUe), 32);
    EXPECT_EQ(dataStartPosition(6, mtT), 0);
    EXPECT_EQ(dataStartPosition(14, mtT), 0);
    EXPECT_EQ(dataStartPosition(1, mtH), 0);
}

#include "acquisition/probe_lists.h"

TEST(ProbeLists, FindersAndRelayLockTexts)
{
    ProbeLists lists;
    auto iface = std::make_unique<TProbe>();
    iface->Id = 7;
    TProbe* i = iface.get();
    lists.Interfaces.push_back(std::move(iface));
    for (int id : {3, 4}) {
        auto s = std::make_unique<TProbe>();
        s->Id = id;
        s->SensorType = stRelayPanel;
        s->ParentInterface = i;
        s->Address = 20 + id;
        lists.Sensors.push_back(std::move(s));
    }
    EXPECT_EQ(lists.FindInterface(7), i);
    EXPECT_EQ(lists.FindSensor(-1), nullptr);
    EXPECT_EQ(lists.FindSensor(4)->Address, 24);
    EXPECT_EQ(lists.FindSensorByAddress(i, 23)->Id, 3);
    EXPECT_EQ(lists.FindSensorByAddress(i, 99), nullptr);
    TProbe* relay = lists.FindSensor(3);
    EXPECT_EQ(relay->RelayStateText(), Msg("labRelayStateFree"));
    relay->RelayLocks.insert("12", {12, "A"});
    relay->RelayLocks.insert("15", {15, "B"});
    EXPECT_EQ(relay->RelayLockNames(), "B,A");
    EXPECT_EQ(relay->RelayStateText(), Fmt("labRelayStateLockedBy", QString("B,A")));
    EXPECT_EQ(relay->RawValues[mtT], NoValueMarker);
    lists.Clear();
    EXPECT_TRUE(lists.Sensors.empty());
}
