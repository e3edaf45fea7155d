// The GSM watchdog and SMS device, and a data logger serving as one, on virtual time.
#include "logger_device.h"
#include "sim_harness.h"
#include "watchdog.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace cvx::vbtsim;
using namespace cvx::vbtsim::test;

namespace {

struct Sms {
    QString from, number, text, device;
};

std::vector<Sms> readSms(const QString& path)
{
    std::vector<Sms> out;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return out;
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.isEmpty())
            continue;
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        out.push_back({o.value("from").toString(), o.value("number").toString(), o.value("text").toString(),
                       o.value("device").toString()});
    }
    return out;
}

class WatchdogTest : public ::testing::Test {
protected:
    QByteArray scenario(const QByteArray& extra = {})
    {
        return R"({"interfaces": [{"name": "srv", "devices": [
          {"name": "gsm", "kind": "watchdog", "address": 249, "checkInterval": 10, "failures": 2, "pauseHours": 1,
           "alarmPhone": "+36301234567", "alarmText": "Server room PC down", "restartSeconds": 0,
           "smsFile": ")" + file().toUtf8() + "\"" + extra + "}]}]}";
    }
    QString file() const { return dir.filePath("sms.jsonl"); }
    static void keepAlive(SimHarness& h, quint8 serial) { h.send(request(249, "AGSWD", InfoNoAck, serial)); }

    QTemporaryDir dir;
};

QByteArray smsPayload(const QByteArray& number, const QByteArray& text)
{
    QByteArray n = (number + '\0').left(20).leftJustified(20, ' ');
    QByteArray t = (text + '\0').left(120).leftJustified(120, ' ');
    return QByteArray("CGSSM") + n + t;
}

} // namespace

TEST_F(WatchdogTest, SendsAHeartbeatEveryCheck)
{
    SimHarness h(scenario());
    h.time().advance(9999);
    EXPECT_TRUE(h.frames().empty());
    h.time().advance(1);
    const Frame a = h.single();
    EXPECT_EQ(a.payload, QByteArray("CGSWD"));
    EXPECT_EQ(a.info, InfoNoAck);
    EXPECT_EQ(a.sender, 249u);
    h.time().advance(10000);
    const Frame b = h.single();
    EXPECT_EQ(b.payload, QByteArray("CGSWD"));
    EXPECT_NE(a.serial, b.serial);
}

TEST_F(WatchdogTest, StaysQuietWhileTheComputerKeepsItAlive)
{
    SimHarness h(scenario());
    for (int i = 0; i < 100; ++i) {
        h.time().advance(3000);
        keepAlive(h, quint8(i % 250 + 1));
    }
    EXPECT_TRUE(readSms(file()).empty());
    EXPECT_EQ(static_cast<WatchdogDevice*>(h.device("gsm"))->watchdog().failures(), 0);
}

TEST_F(WatchdogTest, RaisesItsAlarmWhenTheComputerStopsAnsweringThenPauses)
{
    SimHarness h(scenario());
    keepAlive(h, 1);
    h.time().advance(10000); // heard: fine
    h.time().advance(10000); // first miss
    EXPECT_TRUE(readSms(file()).empty());
    h.time().advance(10000); // second miss: alarm
    auto sms = readSms(file());
    ASSERT_EQ(sms.size(), 1u);
    EXPECT_EQ(sms[0].from, "watchdog");
    EXPECT_EQ(sms[0].number, "+36301234567");
    EXPECT_EQ(sms[0].text, "Server room PC down");
    EXPECT_EQ(sms[0].device, "gsm");
    EXPECT_TRUE(h.logged("gsm: ALARM: the computer missed 2 check(s) in a row"));
    // No new alarm within the pause of one hour ...
    h.time().advance(3600 * 1000 - 10000);
    EXPECT_EQ(readSms(file()).size(), 1u);
    // ... then the count starts again.
    h.time().advance(30000);
    EXPECT_EQ(readSms(file()).size(), 2u);
}

TEST_F(WatchdogTest, AlarmsAlsoWhenNobodyIsConnected)
{
    SimHarness h(scenario(), false);
    h.time().advance(20000);
    EXPECT_EQ(readSms(file()).size(), 1u);
}

TEST_F(WatchdogTest, TheFunctionIsSwitchedOnAndOff)
{
    SimHarness h(scenario(R"(, "enabled": false)"));
    h.time().advance(60000);
    EXPECT_TRUE(readSms(file()).empty());
    EXPECT_EQ(h.frames().size(), 6u); // heartbeats go on all the same
    h.send(request(249, "CGSAE", InfoWantAck, 5));
    EXPECT_EQ(h.single().info, InfoAck);
    h.time().advance(20000);
    EXPECT_EQ(readSms(file()).size(), 1u);
    h.send(request(249, "CGSAD", InfoWantAck, 6));
    h.frames();
    h.time().advance(4 * 3600 * 1000);
    EXPECT_EQ(readSms(file()).size(), 1u);
}

TEST_F(WatchdogTest, SendsTheComputersSms)
{
    SimHarness h(scenario());
    QStringEncoder enc("windows-1250");
    const QByteArray text = enc.encode(QString::fromUtf8("Riasztás: a szerverterem hőmérséklete 31,5 °C"));
    h.send(request(249, smsPayload("+36209876543", text), InfoWantAck, 9));
    EXPECT_EQ(h.single().info, InfoAck);
    const auto sms = readSms(file());
    ASSERT_EQ(sms.size(), 1u);
    EXPECT_EQ(sms[0].from, "computer");
    EXPECT_EQ(sms[0].number, "+36209876543");
    EXPECT_EQ(sms[0].text, QString::fromUtf8("Riasztás: a szerverterem hőmérséklete 31,5 °C"));
    h.send(request(249, "CGSSM12345", InfoNoAck, 10));
    EXPECT_EQ(h.single().payload, QByteArray("ASYER") + char(StatusBadLength));
}

TEST_F(WatchdogTest, ParametersLiveInMemoryAndSurviveARestartOnlyWhenStored)
{
    SimHarness h(scenario());
    auto readParam = [&](int address, int count) {
        h.send(request(249, QByteArray("CSYRE") + char(address & 0xFF) + char(address >> 8) + char(count)));
        return h.single().payload.mid(5);
    };
    EXPECT_EQ(readParam(73, 2), hex("0A 00"));
    EXPECT_EQ(readParam(75, 1), hex("02"));
    EXPECT_EQ(readParam(72, 1), hex("01"));
    EXPECT_EQ(readParam(76, 20), QByteArray("+36301234567").leftJustified(20, '\0'));
    EXPECT_TRUE(readParam(96, 160).startsWith(QByteArray("Server room PC down\0", 20)));

    // Written, not stored, restarted: lost.
    h.send(request(249, QByteArray("CSYWE") + hex("49 00 02 1E 00"), InfoWantAck, 1));
    EXPECT_EQ(h.frames().size(), 2u); // acknowledgement and ASYWE
    EXPECT_EQ(readParam(73, 2), hex("1E 00"));
    h.send(request(249, "CSYRS", InfoNoAck, 2));
    EXPECT_EQ(readParam(73, 2), hex("0A 00"));
    // Written and stored with CSYEE: kept.
    h.send(request(249, QByteArray("CSYWE") + hex("4C 00 09") + QByteArray("+3612345\0", 9), InfoNoAck, 3));
    h.send(request(249, "CSYEE", InfoWantAck, 4));
    h.frames();
    h.send(request(249, "CSYRS", InfoNoAck, 5));
    EXPECT_EQ(readParam(76, 9), QByteArray("+3612345\0", 9));
    // The alarm goes to the new number.
    h.time().advance(30000);
    const auto sms = readSms(file());
    ASSERT_EQ(sms.size(), 1u);
    EXPECT_EQ(sms[0].number, "+3612345");
}

TEST_F(WatchdogTest, ACheckCanBeForcedThroughTheControlChannel)
{
    SimHarness h(scenario());
    ASSERT_TRUE(h.control("check gsm").ok);
    EXPECT_EQ(h.single().payload, QByteArray("CGSWD"));
    ASSERT_TRUE(h.control("check gsm").ok);
    EXPECT_EQ(readSms(file()).size(), 1u);
    EXPECT_TRUE(h.control("status").lines.join('\n').contains("blocked after an alarm"));
}

TEST_F(WatchdogTest, ADataLoggerServesAsTheWatchdogDevice)
{
    SimHarness h(R"({"interfaces": [{"name": "bridge", "protocol": "VBTW", "devices": [
      {"name": "log", "kind": "logger", "address": 249, "interval": 200, "events": false, "smsFile": ")"
                 + file().toUtf8() + R"(",
       "watchdog": {"enabled": true, "checkInterval": 5, "failures": 3, "pauseMinutes": 90,
                    "phone": "+36701112222", "text": "Adatgyűjtő: nincs kapcsolat"}}]}]})");
    auto* logger = static_cast<LoggerDevice*>(h.device("log"));
    const QByteArray block = logger->blockBytes();
    EXPECT_EQ(quint8(block.at(187 + 4)), 3);
    EXPECT_EQ(quint8(block.at(187 + 16)), 1);
    EXPECT_EQ(block.mid(464, 13), QByteArray("+36701112222\0", 13));
    EXPECT_EQ(block.mid(2419, 3), hex("05 03 5A"));
    // Kept alive: quiet. No heartbeat of its own.
    for (int i = 0; i < 10; ++i) {
        h.time().advance(3000);
        keepAlive(h, quint8(i + 1));
    }
    EXPECT_TRUE(h.frames().empty());
    EXPECT_TRUE(readSms(file()).empty());
    // Three checks without a keep-alive: at 40, 45 and 50 s.
    h.time().advance(15000);
    EXPECT_TRUE(readSms(file()).empty());
    h.time().advance(5000);
    auto sms = readSms(file());
    ASSERT_EQ(sms.size(), 1u);
    EXPECT_EQ(sms[0].from, "watchdog");
    EXPECT_EQ(sms[0].number, "+36701112222");
    EXPECT_EQ(sms[0].text, QString::fromUtf8("Adatgyűjtő: nincs kapcsolat"));
    // An SMS task of the computer goes through the logger as well.
    h.send(request(249, smsPayload("+36209876543", "Teszt"), InfoWantAck, 30, FrameForm::Vbtw));
    EXPECT_EQ(h.single().info, InfoAck);
    sms = readSms(file());
    ASSERT_EQ(sms.size(), 2u);
    EXPECT_EQ(sms[1].from, "computer");
    EXPECT_EQ(sms[1].text, "Teszt");
}

TEST_F(WatchdogTest, ALoggerWithoutTheWatchdogEventNeverAlarms)
{
    SimHarness h(R"({"interfaces": [{"name": "bridge", "devices": [
      {"name": "log", "kind": "logger", "address": 249, "interval": 200, "events": false, "smsFile": ")"
                 + file().toUtf8() + R"("}]}]})");
    h.time().advance(3600 * 1000);
    EXPECT_TRUE(readSms(file()).empty());
}
