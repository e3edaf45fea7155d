// The classification table of received frames, row by row, and its precedence.
#include "link/frame_classifier.h"

#include <gtest/gtest.h>

namespace cvx {
namespace {

struct ClassCase {
    const char* name;
    FrameFacts facts;
    int outcome;
};

// Facts of a frame that is for us, awaited, from the expected device, with the right
// serial, while a packet expecting an answer is in exchange.
FrameFacts awaited()
{
    FrameFacts f;
    f.waiting = true;
    f.forUs = true;
    f.fromExpected = true;
    f.serialRight = true;
    f.state = LinkState::AwaitingAnswer;
    f.haveF = true;
    f.fExpectsAnswer = true;
    return f;
}

template <typename Fn>
FrameFacts with(Fn change)
{
    FrameFacts f = awaited();
    change(f);
    return f;
}

void PrintTo(const ClassCase& c, std::ostream* os) { *os << c.name; }

class Classification : public ::testing::TestWithParam<ClassCase> {};

TEST_P(Classification, Outcome) { EXPECT_EQ(ClassifyFrame(GetParam().facts), GetParam().outcome) << GetParam().name; }

INSTANTIATE_TEST_SUITE_P(
    Table, Classification,
    ::testing::Values(
        ClassCase{"decode error waiting", with([](FrameFacts& f) { f.decodeError = 1; }), 14},
        ClassCase{"decode error not waiting", with([](FrameFacts& f) { f.decodeError = 3; f.waiting = false; }), 15},
        ClassCase{"decode error beats not for us", with([](FrameFacts& f) { f.decodeError = 4; f.forUs = false; }), 14},
        ClassCase{"not for us", with([](FrameFacts& f) { f.forUs = false; }), 13},
        ClassCase{"not for us beats not waiting", with([](FrameFacts& f) { f.forUs = false; f.waiting = false; }), 13},
        ClassCase{"not waiting", with([](FrameFacts& f) { f.waiting = false; }), 16},
        ClassCase{"not waiting beats wrong device", with([](FrameFacts& f) { f.waiting = false; f.fromExpected = false; }), 16},
        ClassCase{"other device", with([](FrameFacts& f) { f.fromExpected = false; }), 12},
        ClassCase{"other device beats wrong serial", with([](FrameFacts& f) { f.fromExpected = false; f.serialRight = false; }), 12},
        ClassCase{"stray nack", with([](FrameFacts& f) { f.serialRight = false; f.info = negativ_nyugta; }), 1},
        ClassCase{"stray ack", with([](FrameFacts& f) { f.serialRight = false; f.info = pozitiv_nyugta; }), 2},
        ClassCase{"stray repeated", with([](FrameFacts& f) { f.serialRight = false; f.info = ismetelt_csomag; }), 2},
        ClassCase{"stray frame", with([](FrameFacts& f) { f.serialRight = false; }), 3},
        ClassCase{"nack", with([](FrameFacts& f) { f.info = negativ_nyugta; }), 0},
        ClassCase{"nack without packet", with([](FrameFacts& f) { f.info = negativ_nyugta; f.haveF = false; }), 0},
        ClassCase{"ack, answer expected, wait after", with([](FrameFacts& f) { f.info = pozitiv_nyugta; f.fWaitAfterAck = true; }), 9},
        ClassCase{"ack, answer expected", with([](FrameFacts& f) { f.info = pozitiv_nyugta; }), 10},
        ClassCase{"ack, force wait", with([](FrameFacts& f) { f.info = pozitiv_nyugta; f.fExpectsAnswer = false; f.fForceWait = true; }), 10},
        ClassCase{"ack", with([](FrameFacts& f) { f.info = pozitiv_nyugta; f.fExpectsAnswer = false; }), 4},
        ClassCase{"repeated packet is an ack", with([](FrameFacts& f) { f.info = ismetelt_csomag; f.fExpectsAnswer = false; }), 4},
        ClassCase{"ack without packet", with([](FrameFacts& f) { f.info = pozitiv_nyugta; f.haveF = false; f.fExpectsAnswer = false; }), 4},
        ClassCase{"force wait, matching", with([](FrameFacts& f) { f.fForceWait = true; f.answerMatches = true; }), 6},
        ClassCase{"force wait, other", with([](FrameFacts& f) { f.fForceWait = true; }), 8},
        ClassCase{"force wait beats tail", with([](FrameFacts& f) { f.fForceWait = true; f.answerMatches = true; f.tailDiffers = true; }), 6},
        ClassCase{"answer, tail differs", with([](FrameFacts& f) { f.answerMatches = true; f.tailDiffers = true; }), 17},
        ClassCase{"answer", with([](FrameFacts& f) { f.answerMatches = true; }), 5},
        ClassCase{"event while awaiting", with([](FrameFacts& f) { f.event = true; }), 3},
        ClassCase{"wrong answer", with([](FrameFacts& f) { f.info = kerek_nyugtat; }), 7},
        ClassCase{"poll answer", with([](FrameFacts& f) { f.state = LinkState::Polling; f.haveF = false; }), 11},
        ClassCase{"event while polling", with([](FrameFacts& f) { f.state = LinkState::Polling; f.haveF = false; f.event = true; }), 3},
        ClassCase{"ack while polling", with([](FrameFacts& f) { f.state = LinkState::Polling; f.haveF = false; f.info = pozitiv_nyugta; }), 4}));

struct MatchCase {
    const char* expected;
    const char* payload;
    bool matches;
    bool tailDiffers;
};

void PrintTo(const MatchCase& c, std::ostream* os) { *os << c.expected << " / " << c.payload; }

class AnswerMatching : public ::testing::TestWithParam<MatchCase> {};

TEST_P(AnswerMatching, Rules)
{
    const MatchCase c = GetParam();
    EXPECT_EQ(AnswerMatches(c.expected, c.payload), c.matches) << c.expected << " / " << c.payload;
    EXPECT_EQ(TailDiffers(c.expected, c.payload), c.tailDiffers) << c.expected << " / " << c.payload;
}

INSTANTIATE_TEST_SUITE_P(Table, AnswerMatching,
                         ::testing::Values(MatchCase{"*", "anything", true, false},
                                           MatchCase{"", "ASYSI", false, false},
                                           MatchCase{"ASYSI", "ASYSI\x01\x02", true, false},
                                           MatchCase{"ASYSI", "ASYER", false, false},
                                           MatchCase{"ASYSI", "ASY", false, false},
                                           MatchCase{"a", "abc", true, false},
                                           MatchCase{"AITGD", "AITGDxyz", true, false},
                                           MatchCase{"ASYREab", "ASYREab", true, false},
                                           MatchCase{"ASYREab", "ASYREabcd", true, false},
                                           MatchCase{"ASYREab", "ASYREa", true, false},
                                           MatchCase{"ASYREab", "ASYRE", true, false},
                                           MatchCase{"ASYREab", "ASYRExy", true, true},
                                           MatchCase{"ASYREab", "ASYREb", true, true},
                                           MatchCase{"ASYRE", "ASYRExy", true, false}));

} // namespace
} // namespace cvx
