// The device side of the exchange rules, on virtual time: what a device answers, how it
// acknowledges, and what each fault does to that.
#include "sim_harness.h"

#include <gtest/gtest.h>

using namespace cvx::vbtsim;
using namespace cvx::vbtsim::test;

namespace {

const QByteArray kScenario = R"({
  "interfaces": [{
    "name": "srv", "protocol": "VBTW",
    "devices": [
      {"name": "th", "address": 5, "type": 4, "values": {"T": 21.5, "H": 45.2}},
      {"name": "wide", "address": 9, "wideAddress": "0x12345678", "type": 1, "values": {"T": -3.25}},
      {"name": "relays", "address": 20, "type": 8, "relays": 4, "powerOn": [0, 1, 0, 0]}
    ]
  }]
})";

const QByteArray kVbtScenario = R"({
  "interfaces": [{
    "name": "srv", "protocol": "VBT",
    "devices": [ {"name": "th", "address": 5, "type": 4, "values": {"T": 21.5, "H": 45.2}} ]
  }]
})";

} // namespace

TEST(LinkRules, PollIsAnsweredWithTheRequestSerialAndNoAckRequest)
{
    SimHarness h(kScenario);
    h.send(request(5, "c", InfoNoAck, 99));
    const Frame a = h.single();
    EXPECT_EQ(a.form, FrameForm::Vbt);
    EXPECT_EQ(a.addressee, 250u);
    EXPECT_EQ(a.sender, 5u);
    EXPECT_EQ(a.info, InfoNoAck);
    EXPECT_EQ(a.serial, 99);
    EXPECT_EQ(a.payload, QByteArray("AITGD") + hex("66 08 C4 01"));
}

TEST(LinkRules, ARequestAskingForAnAckGetsTheAckFirstThenTheAnswer)
{
    SimHarness h(kScenario);
    h.send(request(5, "CSYSI", InfoWantAck, 17));
    const auto f = h.frames();
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[0].info, InfoAck);
    EXPECT_TRUE(f[0].payload.isEmpty());
    EXPECT_EQ(f[0].serial, 17);
    EXPECT_EQ(f[1].info, InfoNoAck);
    EXPECT_EQ(f[1].serial, 17);
    EXPECT_TRUE(f[1].payload.startsWith("ASYSI"));
}

TEST(LinkRules, ACommandWithoutAnswerIsOnlyAcknowledgedAndOnlyWhenAsked)
{
    SimHarness h(kScenario);
    h.send(request(20, QByteArray("CRLSO") + char(2), InfoWantAck, 40));
    const Frame ack = h.single();
    EXPECT_EQ(ack.info, InfoAck);
    EXPECT_EQ(ack.serial, 40);
    h.send(request(20, QByteArray("CRLSC") + char(2), InfoNoAck, 41));
    EXPECT_TRUE(h.frames().empty());
    h.send(request(20, QByteArray("CRLGS") + char(2), InfoNoAck, 42));
    EXPECT_EQ(h.single().payload, QByteArray("ARLGS") + char(0));
}

TEST(LinkRules, VbtwRequestsAreAnsweredInVbtwFromTheWideAddress)
{
    SimHarness h(kScenario);
    // By the short address ...
    h.send(request(9, "c", InfoNoAck, 7, FrameForm::Vbtw));
    Frame a = h.single();
    EXPECT_EQ(a.form, FrameForm::Vbtw);
    EXPECT_EQ(a.sender, 0x12345678u);
    EXPECT_EQ(a.shortSender, 9);
    EXPECT_EQ(a.addressee, 250u);
    EXPECT_EQ(a.payload, QByteArray("AITGD") + hex("BB FE"));
    // ... and by the wide one; a VBT request to the same device on this interface is
    // answered in VBT.
    h.send(request(0x12345678u, "c", InfoNoAck, 8, FrameForm::Vbtw));
    EXPECT_EQ(h.single().serial, 8);
    h.send(request(9, "c", InfoNoAck, 10, FrameForm::Vbt));
    a = h.single();
    EXPECT_EQ(a.form, FrameForm::Vbt);
    EXPECT_EQ(a.sender, 9u);
}

TEST(LinkRules, AVbtInterfaceDoesNotHearVbtwFrames)
{
    SimHarness h(kVbtScenario);
    h.send(request(5, "c", InfoNoAck, 7, FrameForm::Vbtw));
    EXPECT_TRUE(h.frames().empty());
    h.send(request(5, "c", InfoNoAck, 8));
    EXPECT_EQ(h.single().serial, 8);
}

TEST(LinkRules, BroadcastsAreCarriedOutButNeverAnswered)
{
    SimHarness h(kScenario);
    const QDateTime set(QDate(2023, 12, 31), QTime(23, 59, 58));
    QByteArray cmd = "CRTSC";
    cmd += hex("0F CF 9F BF 7D 00"); // packed 2023-12-31 23:59:58.00
    h.send(request(255, cmd, InfoWantAck, 3));
    EXPECT_TRUE(h.frames().empty());
    for (const char* name : {"th", "wide", "relays"})
        EXPECT_EQ(h.device(name)->clock(), set) << name;
}

TEST(LinkRules, FramesForOtherAddressesAndFromOtherSendersAreIgnored)
{
    SimHarness h(kScenario);
    h.send(request(6, "c"));
    Frame fromDevice = request(5, "c");
    fromDevice.sender = 7;
    h.send(fromDevice);
    EXPECT_TRUE(h.frames().empty());
}

TEST(LinkRules, GarbageAndBrokenFramesAreSkippedAndTheNextFrameIsServed)
{
    SimHarness h(kScenario);
    QByteArray broken = encodeFrame(request(5, "c"));
    broken[broken.size() - 2] = char(quint8(broken.at(broken.size() - 2)) ^ 1);
    h.feed(QByteArray("x\x01\x02") + broken + QByteArray("zz") + encodeFrame(request(5, "c", InfoNoAck, 30)));
    EXPECT_EQ(h.single().serial, 30);
    EXPECT_TRUE(h.logged("undecodable frame (1 ROSSZ CHSUM)"));
}

TEST(LinkRules, AFrameSplitAcrossReadsIsServedWhenComplete)
{
    SimHarness h(kScenario);
    const QByteArray raw = encodeFrame(request(5, "c", InfoNoAck, 31));
    h.feed(raw.left(6));
    EXPECT_TRUE(h.frames().empty());
    h.feed(raw.mid(6));
    EXPECT_EQ(h.single().serial, 31);
}

TEST(LinkRules, UnknownCommandsGetAsyerWhereAllowedAndSilenceWhereNot)
{
    SimHarness h(kScenario);
    h.send(request(5, "CXXXX"));
    EXPECT_EQ(h.single().payload, QByteArray("ASYER") + char(StatusUnknown));
    h.send(request(5, "CXXXX", InfoNoAck, 18, FrameForm::Vbtw, true));
    EXPECT_EQ(h.single().payload, QByteArray("ASYER") + char(StatusUnknown));
    h.send(request(5, "CXXXX", InfoNoAck, 19, FrameForm::Vbtw, false));
    EXPECT_TRUE(h.frames().empty());
}

TEST(LinkRules, ARepeatedRequestIsAnsweredRepeatedAndNotCarriedOutTwice)
{
    SimHarness h(kScenario);
    const Frame rs = request(5, "CSYRS", InfoWantAck, 60, FrameForm::Vbtw);
    h.device("th")->params()[1] = 0;
    h.send(rs);
    EXPECT_EQ(h.single().info, InfoAck);
    EXPECT_TRUE(h.logged("th: restarting"));
    h.logLines.clear();
    h.send(rs);
    EXPECT_EQ(h.single().info, InfoRepeated);
    EXPECT_FALSE(h.logged("th: restarting"));
    // The same packet after the two-second window is a new command.
    h.time().advance(2500);
    h.send(rs);
    EXPECT_EQ(h.single().info, InfoAck);
    EXPECT_TRUE(h.logged("th: restarting"));
}

TEST(LinkRules, AnOverfullReceiveBufferKeepsItsTail)
{
    SimHarness h(kScenario);
    h.feed(QByteArray(20000, 'x'));
    EXPECT_TRUE(h.logged("receive buffer overflow"));
    h.send(request(5, "c", InfoNoAck, 77));
    EXPECT_EQ(h.single().serial, 77);
}

// ---- faults ---------------------------------------------------------------------------

struct FaultCase {
    const char* name;
    const char* command;
    // What the poll request (serial 17, asking for an ACK) produces.
    std::function<void(SimHarness&)> check;
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class DeviceFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(DeviceFaults, BendTheAnswerOnceThenTheDeviceRecovers)
{
    SimHarness h(kScenario);
    const auto r = h.control(QString::fromLatin1(GetParam().command));
    ASSERT_TRUE(r.ok) << r.error.toStdString();
    h.send(request(5, "c", InfoWantAck, 17));
    GetParam().check(h);
    // The fault was set for one occasion: the next request is served normally.
    h.send(request(5, "c", InfoNoAck, 18));
    h.time().advance(1000);
    const auto f = h.frames();
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].serial, 18);
    EXPECT_EQ(f[0].payload, QByteArray("AITGD") + hex("66 08 C4 01"));
}

INSTANTIATE_TEST_SUITE_P(
    LinkRules, DeviceFaults,
    ::testing::Values(
        FaultCase{"silence", "fault th silence once", [](SimHarness& h) { EXPECT_TRUE(h.frames().empty()); }},
        FaultCase{"nack", "fault th nack 1",
                  [](SimHarness& h) {
                      const Frame f = h.single();
                      EXPECT_EQ(f.info, InfoNack);
                      EXPECT_EQ(f.serial, 17);
                      EXPECT_TRUE(f.payload.isEmpty());
                  }},
        FaultCase{"wrongserial", "fault th wrongserial once",
                  [](SimHarness& h) {
                      const auto f = h.frames();
                      ASSERT_EQ(f.size(), 2u);
                      EXPECT_EQ(f[0].serial, 18);
                      EXPECT_EQ(f[1].serial, 18);
                  }},
        FaultCase{"garbage", "fault th garbage once 01 02 03",
                  [](SimHarness& h) {
                      EXPECT_EQ(h.frames().size(), 2u);
                      EXPECT_EQ(h.skipped, hex("01 02 03 01 02 03"));
                  }},
        FaultCase{"tail", "fault th tail once",
                  [](SimHarness& h) {
                      const auto f = h.frames();
                      ASSERT_EQ(f.size(), 2u);
                      EXPECT_EQ(f[1].payload, QByteArray("AITGD") + hex("99 F7 3B FE"));
                  }},
        FaultCase{"tail with bytes", "fault th tail once 41 42",
                  [](SimHarness& h) {
                      const auto f = h.frames();
                      ASSERT_EQ(f.size(), 2u);
                      EXPECT_EQ(f[1].payload, QByteArray("AITGDAB"));
                  }},
        FaultCase{"asyer", "fault th asyer once 3",
                  [](SimHarness& h) {
                      const Frame f = h.single();
                      EXPECT_EQ(f.payload, QByteArray("ASYER") + char(3));
                      EXPECT_EQ(f.serial, 17);
                  }},
        FaultCase{"delay", "fault th delay once 300",
                  [](SimHarness& h) {
                      EXPECT_TRUE(h.frames().empty());
                      h.time().advance(299);
                      EXPECT_TRUE(h.frames().empty());
                      h.time().advance(1);
                      EXPECT_EQ(h.frames().size(), 2u);
                  }},
        FaultCase{"broken", "fault th broken once",
                  [](SimHarness& h) {
                      const auto f = h.frames();
                      ASSERT_EQ(f.size(), 2u);
                      EXPECT_EQ(f[1].payload, QByteArray("AITGD") + QByteArray(8, char(0xFF)));
                  }}),
    [](const auto& info) {
        std::string n = info.param.name;
        for (char& c : n)
            if (!isalnum(static_cast<unsigned char>(c)))
                c = '_';
        return n;
    });

TEST(LinkRules, AFaultSwitchedOnStaysUntilSwitchedOff)
{
    SimHarness h(kScenario);
    ASSERT_TRUE(h.control("fault th nack on").ok);
    for (int serial = 1; serial <= 3; ++serial) {
        h.send(request(5, "c", InfoNoAck, quint8(serial)));
        EXPECT_EQ(h.single().info, InfoNack);
    }
    ASSERT_TRUE(h.control("fault th nack off").ok);
    h.send(request(5, "c", InfoNoAck, 4));
    EXPECT_EQ(h.single().info, InfoNoAck);
}

TEST(LinkRules, WrongSerialWrapsAfter250)
{
    SimHarness h(kScenario);
    ASSERT_TRUE(h.control("fault th wrongserial on").ok);
    h.send(request(5, "c", InfoNoAck, 250));
    EXPECT_EQ(h.single().serial, 1);
}

TEST(LinkRules, AsyerFaultRespectsTheVbtwPermission)
{
    SimHarness h(kScenario);
    ASSERT_TRUE(h.control("fault th asyer on").ok);
    h.send(request(5, "c", InfoNoAck, 5, FrameForm::Vbtw, false));
    EXPECT_TRUE(h.frames().empty());
    h.send(request(5, "c", InfoNoAck, 6, FrameForm::Vbtw, true));
    EXPECT_EQ(h.single().payload, QByteArray("ASYER") + char(1));
}

TEST(LinkRules, RefuseFaultDropsNewConnectionsAtOnce)
{
    SimHarness h(kScenario, false);
    ASSERT_TRUE(h.control("fault srv refuse once").ok);
    CapturePort first, second;
    EXPECT_EQ(h.iface()->attach(&first, "a"), -1);
    EXPECT_TRUE(first.closed);
    EXPECT_GE(h.iface()->attach(&second, "b"), 0);
    EXPECT_FALSE(second.closed);
}

TEST(LinkRules, DropClosesEveryConnectionAndLosesWhatIsInFlight)
{
    SimHarness h(kScenario);
    ASSERT_TRUE(h.control("fault th delay on 100").ok);
    h.send(request(5, "c"));
    ASSERT_TRUE(h.control("drop srv").ok);
    EXPECT_TRUE(h.port.closed);
    EXPECT_EQ(h.iface()->connectionCount(), 0);
    h.time().advance(200);
    EXPECT_TRUE(h.port.written.isEmpty());
}

TEST(LinkRules, ASerialLineIsNotClosedByADropButLosesItsInput)
{
    SimHarness h(kScenario, false);
    h.port.closable = false;
    h.connection = h.iface()->attach(&h.port, "line");
    const QByteArray raw = encodeFrame(request(5, "c", InfoNoAck, 9));
    h.feed(raw.left(5));
    ASSERT_TRUE(h.control("drop srv").ok);
    EXPECT_FALSE(h.port.closed);
    h.feed(raw.mid(5));
    EXPECT_TRUE(h.frames().empty());
    h.feed(raw);
    EXPECT_EQ(h.single().serial, 9);
}

TEST(LinkRules, SlowLineDelaysEachFrameByItsLineTimeAndNeverOverlaps)
{
    SimHarness h(kScenario);
    ASSERT_TRUE(h.control("fault srv slow on 1200").ok);
    // The line is half-duplex: the request occupies it first, then the ACK (11 bytes)
    // and the answer (AITGD + 4 data bytes: 9 coded + 2 = 22 bytes), one after the other.
    const Frame rq = request(5, "c", InfoWantAck, 17);
    auto lineUs = [](qint64 bytes) { return (bytes * 10 * 1'000'000 + 1199) / 1200; };
    // A frame leaves at the millisecond tick within which its line time ends.
    auto releasedAt = [](qint64 us) { return us / 1000; };
    const qint64 requestUs = lineUs(encodeFrame(rq).size());
    const qint64 ackDoneMs = releasedAt(requestUs + lineUs(11));
    const qint64 answerDoneMs = releasedAt(requestUs + lineUs(11) + lineUs(22));
    h.send(rq);
    // A frame leaves within the millisecond in which its line time ends.
    h.time().advance(ackDoneMs - 1);
    EXPECT_TRUE(h.port.written.isEmpty());
    h.time().advance(1);
    EXPECT_EQ(h.port.written.size(), 11);
    h.time().advance(answerDoneMs - ackDoneMs - 1);
    EXPECT_EQ(h.port.written.size(), 11);
    h.time().advance(1);
    EXPECT_EQ(h.frames().size(), 2u);
    ASSERT_TRUE(h.control("fault srv slow off").ok);
    h.send(request(5, "c"));
    EXPECT_EQ(h.frames().size(), 1u);
}

TEST(LinkRules, NoiseGoesOutRawToEveryConnection)
{
    SimHarness h(kScenario);
    ASSERT_TRUE(h.control("noise srv FD 01 02").ok);
    EXPECT_EQ(h.port.written, hex("FD 01 02"));
    EXPECT_FALSE(h.control("noise srv xyz").ok);
}

TEST(LinkRules, RandomNoiseBetweenFramesLosesNoRequest)
{
    SimHarness h(kScenario);
    h.log().setVerbose(false);
    std::mt19937 rng(20240521);
    std::uniform_int_distribution<int> byte(0, 255), length(0, 60), split(1, 40);
    QByteArray stream;
    for (int serial = 1; serial <= 250; ++serial) {
        for (int i = length(rng); i > 0; --i)
            stream.append(char(byte(rng)));
        stream += encodeFrame(request(5, "c", InfoNoAck, quint8(serial),
                                      serial % 2 ? FrameForm::Vbt : FrameForm::Vbtw));
    }
    // Fed in pieces of random size, as a network delivers them.
    for (int at = 0; at < stream.size();) {
        const int n = split(rng);
        h.feed(stream.mid(at, n));
        at += n;
    }
    const auto answers = h.frames();
    ASSERT_EQ(answers.size(), 250u);
    for (int i = 0; i < 250; ++i) {
        EXPECT_EQ(answers[size_t(i)].serial, i + 1);
        EXPECT_EQ(answers[size_t(i)].payload, QByteArray("AITGD") + hex("66 08 C4 01"));
    }
}

TEST(LinkRules, ALargeReadFullOfFramesLosesNone)
{
    SimHarness h(kScenario);
    h.log().setVerbose(false);
    QByteArray burst;
    for (int i = 0; i < 2000; ++i)
        burst += encodeFrame(request(5, "c", InfoNoAck, quint8(i % 250 + 1)));
    ASSERT_GT(burst.size(), 16384);
    h.feed(burst);
    EXPECT_EQ(h.frames().size(), 2000u);
    EXPECT_FALSE(h.logged("receive buffer overflow"));
}
