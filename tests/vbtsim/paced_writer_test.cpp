// The emulated line: half-duplex, exact over time although timers count milliseconds.
#include "paced_writer.h"

#include "platform/manual_time_service.h"

#include <gtest/gtest.h>

#include <vector>

using namespace cvx;
using namespace cvx::vbtsim;

TEST(PacedWriter, AnswerWaitsForTheRequestAndItsOwnLineTime)
{
    ManualTimeService time;
    std::vector<qint64> sentAt;
    PacedWriter w(time, [&](const QByteArray&) { sentAt.push_back(time.tickMs()); });
    w.setBaud(9600);
    const qint64 t0 = time.tickMs();
    w.received(14);                 // 14.58 ms on the line
    w.write(QByteArray(21, 'x'));   // 21.88 ms more: done at 36.46 ms
    time.advance(34);
    EXPECT_TRUE(sentAt.empty());
    time.advance(10);
    ASSERT_EQ(sentAt.size(), 1u);
    // Leaves within the millisecond it falls due in, never more than 1 ms early.
    EXPECT_GE(sentAt[0] - t0, 36);
    EXPECT_LE(sentAt[0] - t0, 37);
}

TEST(PacedWriter, ManyExchangesKeepExactlyTheLineRate)
{
    ManualTimeService time;
    int answers = 0;
    PacedWriter* writer = nullptr;
    // The other side asks again as soon as an answer is complete.
    PacedWriter w(time, [&](const QByteArray&) {
        ++answers;
        writer->received(14);
        writer->write(QByteArray(21, 'x'));
    });
    writer = &w;
    w.setBaud(115200);
    w.received(14);
    w.write(QByteArray(21, 'x'));
    time.advance(10'000);
    // 35 bytes x 10 / 115200 = 3.038 ms per exchange: 3291 in 10 s, not 2500 (4 ms each).
    EXPECT_GE(answers, 3290);
    EXPECT_LE(answers, 3292);
}

TEST(PacedWriter, UnthrottledWritesPassAtOnce)
{
    ManualTimeService time;
    int sent = 0;
    PacedWriter w(time, [&](const QByteArray&) { ++sent; });
    w.received(100);
    w.write("abc");
    EXPECT_EQ(sent, 1);
}
