// The simulated data logger on virtual time: measuring on its own, the record store and
// its download, erasing, the parameter block and the older family's commands.
#include "json_reader.h"
#include "logger_device.h"
#include "packed_time.h"
#include "sim_harness.h"

#include <QtEndian>
#include <gtest/gtest.h>

using namespace cvx::vbtsim;
using namespace cvx::vbtsim::test;

namespace {

QByteArray scenario(const QByteArray& loggerExtra = {}, const char* protocol = "VBTW")
{
    return QByteArray(R"({"interfaces": [{"name": "bridge", "protocol": ")") + protocol + R"(", "devices": [
      {"name": "t1", "address": 5, "type": 4, "values": {"T": 21.5, "H": 45.2}},
      {"name": "t2", "address": 6, "type": 1, "values": {"T": -3.25}},
      {"name": "log", "kind": "logger", "address": 249, "interval": 10, "sensors": ["t1", 6, 77],
       "eraseSeconds": 4, "ackTimeoutMs": 200)" + loggerExtra + R"(}
    ]}]})";
}

QByteArray le32(quint32 v)
{
    QByteArray b(4, '\0');
    qToLittleEndian(v, b.data());
    return b;
}

LoggerDevice* logger(SimHarness& h) { return static_cast<LoggerDevice*>(h.device("log")); }

QByteArray expectedRecord(quint32 id, const QDateTime& t, quint8 address, const QByteArray& data)
{
    return le32(id) + encodePackedTime(t) + 'g' + char(address) + '\0' + data;
}

// Acknowledges every event frame the logger sent, as the computer does.
std::vector<Frame> ackEvents(SimHarness& h)
{
    std::vector<Frame> events;
    for (const Frame& f : h.frames()) {
        if (!f.payload.startsWith("EELDL"))
            continue;
        events.push_back(f);
        Frame ack = request(249, {}, InfoAck, f.serial, f.form);
        h.send(ack);
    }
    return events;
}

} // namespace

TEST(Logger, MeasuresItsSensorsEveryIntervalAndReportsEachRecord)
{
    SimHarness h(scenario());
    const QDateTime start = h.device("log")->clock();
    h.time().advance(9999);
    EXPECT_TRUE(h.frames().empty());
    h.time().advance(1);
    // Three sensors: one record each; the events go one at a time, each after the
    // previous one was acknowledged.
    std::vector<Frame> events;
    for (int i = 0; i < 3; ++i) {
        auto got = ackEvents(h);
        ASSERT_EQ(got.size(), 1u) << i;
        events.push_back(got.front());
    }
    EXPECT_TRUE(h.frames().empty());
    const QDateTime at = start.addSecs(10);
    EXPECT_EQ(events[0].form, FrameForm::Vbtw);
    EXPECT_EQ(events[0].info, InfoWantAck);
    EXPECT_EQ(events[0].sender, 0x10000u + 249);
    EXPECT_EQ(events[0].payload, QByteArray("EELDL") + expectedRecord(1, at, 5, hex("66 08 C4 01 00 00 00 00")));
    EXPECT_EQ(events[1].payload, QByteArray("EELDL") + expectedRecord(2, at, 6, hex("BB FE 00 00 00 00 00 00")));
    // A configured address without a device gives an empty record.
    EXPECT_EQ(events[2].payload, QByteArray("EELDL") + expectedRecord(3, at, 77, QByteArray(8, char(0xFF))));
    EXPECT_NE(events[0].serial, events[1].serial);
    EXPECT_EQ(logger(h)->lastRecId(), 3u);
}

TEST(Logger, RepeatsAnUnacknowledgedEventWithANewSerialThenGivesUp)
{
    SimHarness h(scenario(R"(, "sensors": ["t1"], "frameTries": 3)").replace(R"("sensors": ["t1", 6, 77],)", ""));
    ASSERT_TRUE(h.control("measure log").ok);
    const Frame first = h.single();
    h.time().advance(200);
    const Frame second = h.single();
    EXPECT_EQ(second.payload, first.payload);
    EXPECT_NE(second.serial, first.serial);
    // A negative acknowledgement makes it go again at once.
    h.send(request(249, {}, InfoNack, second.serial, FrameForm::Vbtw));
    const Frame third = h.single();
    EXPECT_EQ(third.payload, first.payload);
    h.time().advance(200);
    EXPECT_TRUE(h.frames().empty());
    EXPECT_TRUE(h.logged("no acknowledgement of EELDL after 3 tries"));
    EXPECT_EQ(logger(h)->lastRecId(), 1u);
}

TEST(Logger, KeepsMeasuringWithoutAComputerAndTheGapCanBeDownloaded)
{
    SimHarness h(scenario(), false);
    h.time().advance(30000); // three rounds of three records, nobody connected
    EXPECT_EQ(logger(h)->firstRecId(), 1u);
    EXPECT_EQ(logger(h)->lastRecId(), 9u);
    h.connection = h.iface()->attach(&h.port, "pc");
    h.send(request(249, "CELST", InfoNoAck, 1, FrameForm::Vbtw));
    EXPECT_EQ(h.single().payload, QByteArray("AELST") + le32(1) + le32(9));
    h.send(request(249, QByteArray("CELDL") + le32(3) + char(5), InfoNoAck, 2, FrameForm::Vbtw));
    const Frame a = h.single();
    ASSERT_EQ(a.payload.size(), 5 + 5 * 21);
    EXPECT_EQ(a.payload.mid(5, 21), logger(h)->record(3));
    EXPECT_EQ(a.payload.mid(5 + 4 * 21, 4), le32(7));
    // The end of the store cuts the answer short; past it there is nothing.
    h.send(request(249, QByteArray("CELDL") + le32(8) + char(5), InfoNoAck, 3, FrameForm::Vbtw));
    EXPECT_EQ(h.single().payload.size(), 5 + 2 * 21);
    h.send(request(249, QByteArray("CELDL") + le32(10) + char(1), InfoNoAck, 4, FrameForm::Vbtw));
    EXPECT_EQ(h.single().payload, QByteArray("AERCM"));
    // More than five are never sent in one answer.
    h.send(request(249, QByteArray("CELDL") + le32(1) + char(9), InfoNoAck, 5, FrameForm::Vbtw));
    EXPECT_EQ(h.single().payload.size(), 5 + 5 * 21);
}

TEST(Logger, AFullStoreOverwritesItsOldestRecords)
{
    SimHarness h(scenario(R"(, "capacity": 10)"));
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(h.control("measure log").ok);
    h.frames();
    EXPECT_EQ(logger(h)->firstRecId(), 6u);
    EXPECT_EQ(logger(h)->lastRecId(), 15u);
    h.send(request(249, "CELST"));
    EXPECT_EQ(h.single().payload, QByteArray("AELST") + le32(6) + le32(15));
    h.send(request(249, QByteArray("CELDL") + le32(1) + char(5)));
    EXPECT_EQ(h.single().payload, QByteArray("AERCM"));
    h.send(request(249, QByteArray("CELDL") + le32(4) + char(5)));
    const Frame f = h.single();
    ASSERT_EQ(f.payload.size(), 5 + 3 * 21);
    EXPECT_EQ(f.payload.mid(5, 4), le32(6));
}

TEST(Logger, EraseTakesItsTimeThenAnswersAndNumberingStartsAgain)
{
    SimHarness h(scenario(R"(, "firstRecId": 1000, "events": false)"));
    ASSERT_TRUE(h.control("measure log").ok);
    EXPECT_EQ(logger(h)->lastRecId(), 1002u);
    h.send(request(249, "CELFE", InfoNoAck, 50, FrameForm::Vbtw));
    EXPECT_TRUE(h.frames().empty());
    h.send(request(249, "CELST", InfoNoAck, 51, FrameForm::Vbtw));
    h.time().advance(3999);
    EXPECT_TRUE(h.frames().empty());
    h.time().advance(1);
    const Frame done = h.single();
    EXPECT_EQ(done.payload, QByteArray("AELFE"));
    EXPECT_EQ(done.serial, 50);
    h.send(request(249, "CELST", InfoNoAck, 52, FrameForm::Vbtw));
    EXPECT_EQ(h.single().payload, QByteArray("AELST") + le32(0) + le32(0));
    h.send(request(249, QByteArray("CELDL") + le32(1) + char(1), InfoNoAck, 53, FrameForm::Vbtw));
    EXPECT_EQ(h.single().payload, QByteArray("AERCM"));
    ASSERT_TRUE(h.control("measure log").ok);
    EXPECT_EQ(logger(h)->firstRecId(), 1u);
    EXPECT_EQ(logger(h)->lastRecId(), 3u);
}

TEST(Logger, OlderFamilyCommands)
{
    SimHarness h(scenario(R"(, "family": "talvo", "eraseSeconds": 0, "events": false)"));
    ASSERT_TRUE(h.control("measure log").ok);
    h.send(request(249, QByteArray("CFLGS") + char(0)));
    EXPECT_EQ(h.single().payload, QByteArray("AFLGS") + le32(1) + le32(3));
    h.send(request(249, QByteArray("CFLGR") + char(0) + le32(2) + char(5)));
    Frame f = h.single();
    ASSERT_EQ(f.payload.size(), 12 - 1 + 2 * 19);
    EXPECT_EQ(f.payload.mid(5, 6), QByteArray(1, '\0') + le32(2) + char(2));
    EXPECT_EQ(f.payload.mid(11, 19), logger(h)->record(2).left(19));
    h.send(request(249, QByteArray("CFLGR") + char(1) + le32(1) + char(1)));
    f = h.single();
    EXPECT_EQ(f.payload, QByteArray("AFLGR") + char(1) + le32(1) + char(1) + le32(1) + hex("66 08"));
    h.send(request(249, QByteArray("CFLGR") + char(0) + le32(9) + char(5)));
    EXPECT_EQ(h.single().payload, QByteArray("AFLGR") + char(0) + le32(9) + char(0));
    h.send(request(249, "CELFE"));
    h.time().runDue();
    EXPECT_EQ(h.single().payload, QByteArray("AFLER"));
}

TEST(Logger, ParameterBlockHoldsTheConfigurationAndTakesEffectAfterRestart)
{
    SimHarness h(scenario(R"(, "restartSeconds": 1, "events": false)"));
    // Read the whole block the way the computer does: 14 pieces of 179 bytes.
    QByteArray blockBytes;
    for (int i = 0; i < 14; ++i) {
        QByteArray cmd = "CSYRE";
        cmd += char((450 + 179 * i) & 0xFF);
        cmd += char((450 + 179 * i) >> 8);
        cmd += char(179);
        h.send(request(249, cmd, InfoNoAck, quint8(i + 1)));
        const Frame f = h.single();
        ASSERT_TRUE(f.payload.startsWith("ASYRE"));
        blockBytes += f.payload.mid(5);
    }
    ASSERT_EQ(blockBytes.size(), 2506);
    EXPECT_EQ(quint8(blockBytes.at(0)), 0);
    EXPECT_EQ(quint8(blockBytes.at(122)), 10);
    EXPECT_EQ(blockBytes.mid(123, 16), le32(5) + le32(6) + le32(77) + QByteArray(4, char(0xFF)));
    EXPECT_EQ(blockBytes.mid(2452, 4), hex("04 01 FF FF"));
    EXPECT_EQ(blockBytes.mid(2419, 3), hex("05 03 3C"));

    // New interval (30 s) and only sensor 6, written like the computer's synchronisation.
    QByteArray piece = blockBytes.mid(0, 179);
    piece[122] = char(30);
    piece.replace(123, 12, le32(6) + QByteArray(8, char(0xFF)));
    h.send(request(249, QByteArray("CSYWE") + hex("C2 01") + char(179) + piece, InfoNoAck, 20));
    EXPECT_EQ(h.single().payload, QByteArray("ASYWE"));
    // Not in effect before the restart.
    h.time().advance(10000);
    EXPECT_EQ(logger(h)->lastRecId(), 3u);
    h.send(request(249, "CSYRS", InfoNoAck, 21));
    h.time().advance(1000);
    h.time().advance(29999);
    EXPECT_EQ(logger(h)->lastRecId(), 3u);
    h.time().advance(1);
    EXPECT_EQ(logger(h)->lastRecId(), 4u);
    EXPECT_EQ(logger(h)->record(4).at(11), char(6));
}

TEST(Logger, SilentOrBrokenSensorsGiveEmptyRecords)
{
    SimHarness h(scenario(R"(, "events": false)"));
    ASSERT_TRUE(h.control("fault t1 silence once").ok);
    ASSERT_TRUE(h.control("fault t2 broken once").ok);
    ASSERT_TRUE(h.control("measure log").ok);
    EXPECT_EQ(logger(h)->record(1).mid(13), QByteArray(8, char(0xFF)));
    EXPECT_EQ(logger(h)->record(2).mid(13), QByteArray(8, char(0xFF)));
    ASSERT_TRUE(h.control("measure log").ok);
    EXPECT_EQ(logger(h)->record(4).mid(13), hex("66 08 C4 01 00 00 00 00"));
}

TEST(Logger, PrefilledRecordsLieInThePastAtTheInterval)
{
    SimHarness h(scenario(R"(, "prefill": 4, "events": false)"));
    EXPECT_EQ(logger(h)->firstRecId(), 1u);
    EXPECT_EQ(logger(h)->lastRecId(), 12u);
    const QDateTime now = h.device("log")->clock();
    EXPECT_EQ(decodePackedTime(logger(h)->record(1), 4), now.addSecs(-40));
    EXPECT_EQ(decodePackedTime(logger(h)->record(12), 4), now.addSecs(-10));
}

TEST(Logger, RecordsCarryTheLoggersOwnClock)
{
    SimHarness h(scenario(R"(, "events": false)"));
    const QDateTime set(QDate(2030, 1, 1), QTime(12, 0));
    h.send(request(255, QByteArray("CRTSC") + encodePackedTime(set)));
    ASSERT_TRUE(h.control("measure log").ok);
    EXPECT_EQ(decodePackedTime(logger(h)->record(1), 4), set);
}

TEST(Logger, ScenarioMistakes)
{
    cvx::ManualTimeService time;
    SimLog log(time);
    log.setEchoToStderr(false);
    Simulator sim(time, log);
    EXPECT_THROW(sim.load(scenario().replace("\"t1\", 6", "\"nobody\", 6")), ScenarioError);
    EXPECT_THROW(sim.load(scenario(R"(, "family": "other")")), ScenarioError);
    EXPECT_THROW(sim.load(scenario(R"(, "memorySize": 1000)")), ScenarioError);
}
