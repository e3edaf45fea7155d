// The SNMP poller: answers built from results, scheduling and the queue on virtual
// time, the worker thread with a scripted client, and a real snmpd on loopback.

#include "acquisition_fixture.h"

#include "acquisition/snmp_poller.h"
#include "platform/snmp_client.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUdpSocket>

#include <mutex>

using namespace cvx;
using namespace cvx::test;

namespace {

// Answers GETs from a table; remembers what was asked (from the worker thread).
class ScriptedSnmp final : public SnmpClient {
public:
    SnmpGetResult Get(const QString& host, const QString& oid, const QString& community) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        asked.push_back(host + u' ' + oid + u' ' + community);
        SnmpGetResult r;
        auto it = values.find(oid);
        if (it == values.end()) {
            r.error = QStringLiteral("No such object");
            return r;
        }
        r.ok = true;
        r.value = it->second;
        return r;
    }
    void set(const QString& oid, const QString& value)
    {
        std::lock_guard<std::mutex> lock(mutex);
        values[oid] = value;
    }
    std::map<QString, QString> values;
    std::vector<QString> asked;
    std::mutex mutex;
};

class SnmpTest : public AcquisitionTest {
protected:
    SnmpTest()
    {
        auto client = std::make_unique<ScriptedSnmp>();
        snmp = client.get();
        poller = acq->CreateSnmpPoller(std::move(client));
        poller->OidPrefix = QStringLiteral("1.3.6.1.4.1.52417.1");
        iface = &addInterface(1, svDeviceServer, ptSNMP, 10'000, QStringLiteral("10.1.2.3"));
    }
    QByteArray answer(const TProbe& s, int kind, const QString& text) { return poller->BuildAnswer(s.Id, kind, text); }

    ScriptedSnmp* snmp = nullptr;
    TSNMPPoller* poller = nullptr;
    TProbe* iface = nullptr;
};

struct BuildCase {
    int kind;
    const char* text;
    QByteArray expected; // after "AITGD"; empty: no answer
};
void PrintTo(const BuildCase& c, std::ostream* os) { *os << "kind " << c.kind << " '" << c.text << "'"; }

class SnmpAnswers : public SnmpTest, public ::testing::WithParamInterface<BuildCase> {};

TEST_P(SnmpAnswers, AreBuiltForTheSensorsDataLayout)
{
    TProbe& single = addSensor(2, 1, stCabledTemperature, 7);
    const QByteArray a = answer(single, GetParam().kind, QString::fromUtf8(GetParam().text));
    if (GetParam().expected.isEmpty())
        EXPECT_TRUE(a.isEmpty());
    else
        EXPECT_EQ(a, QByteArray("AITGD") + GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Table, SnmpAnswers,
                         ::testing::Values(BuildCase{1, "23.45", le16(2345)}, BuildCase{1, "23,45", le16(2345)},
                                           BuildCase{1, " 23.45 ", le16(2345)},
                                           BuildCase{1, "-5.5", QByteArray("\xDA\xFD", 2)}, // -550
                                           BuildCase{2, "45.6", le16(456)}, BuildCase{1, "999.99", {}},
                                           BuildCase{1, "1000.5", {}},  // raw 100050
                                           BuildCase{1, "400", {}},     // 40000 does not fit 16 bits
                                           BuildCase{1, "-400", {}}, BuildCase{1, "abc", {}},
                                           BuildCase{1, "", {}}, BuildCase{1, "0.125", le16(12)})); // ties to even

TEST_F(SnmpTest, AClimateSensorRepeatsItsOtherValueFromTheLastReading)
{
    TProbe& climate = addSensor(2, 1, stSNMPClimate, 3);
    climate.RawValues[mtH] = 456;
    climate.RawValues[mtT] = 2100;
    EXPECT_EQ(answer(climate, TSNMPPoller::Temperature, "23.45"), QByteArray("AITGD") + le16(2345) + le16(456));
    EXPECT_EQ(answer(climate, TSNMPPoller::Humidity, "50"), QByteArray("AITGD") + le16(2100) + le16(500));
    EXPECT_TRUE(poller->BuildAnswer(99, TSNMPPoller::Temperature, "20").isEmpty()) << "no such sensor";
}

TEST_F(SnmpTest, SchedulerQueuesThePendingSensorsInTurn)
{
    TProbe& a = addSensor(2, 1, stCabledTemperature, 7);
    TProbe& climate = addSensor(3, 1, stSNMPClimate, 8);
    addInterface(4);
    TProbe& vbt = addSensor(5, 4, stTempHumidity, 1);
    a.PollPending = true;
    climate.PollPending = true;
    vbt.PollPending = true; // not an SNMP sensor: never asked
    poller->SchedulerTick();
    ASSERT_EQ(poller->QueueCount(), 1);
    EXPECT_EQ(poller->QueuedRequest(0)->Oid, "1.3.6.1.4.1.52417.1.7.0");
    EXPECT_EQ(poller->QueuedRequest(0)->Host, "10.1.2.3");
    EXPECT_EQ(poller->QueuedRequest(0)->Kind, TSNMPPoller::Temperature);
    EXPECT_EQ(poller->LastIndex(), 0);
    EXPECT_TRUE(poller->StarterRunning());
    poller->SchedulerTick();
    ASSERT_EQ(poller->QueueCount(), 3);
    EXPECT_EQ(poller->QueuedRequest(1)->Oid, "1.3.6.1.4.1.52417.2.1.0");
    EXPECT_EQ(poller->QueuedRequest(2)->Oid, "1.3.6.1.4.1.52417.2.2.0");
    EXPECT_EQ(poller->QueuedRequest(2)->Kind, TSNMPPoller::Humidity);
    poller->SchedulerTick(); // round again: the first sensor
    EXPECT_EQ(poller->QueuedRequest(3)->Oid, "1.3.6.1.4.1.52417.1.7.0");

    // The queue holds 26 at most; the rest is dropped.
    for (int i = 0; i < 40; ++i)
        poller->SchedulerTick();
    EXPECT_EQ(poller->QueueCount(), TSNMPPoller::MaxQueued);
}

TEST_F(SnmpTest, WithoutAnSnmpInterfaceTheSchedulerStopsItself)
{
    poller->StartScheduler();
    time.advance(500);
    EXPECT_TRUE(poller->SchedulerRunning());
    lists.Interfaces.front()->ProtocolType = ptVBT;
    time.advance(500);
    EXPECT_FALSE(poller->SchedulerRunning());
}

TEST_F(SnmpTest, ResultsComeBackOnTheEventLoopAsAnswers)
{
    TProbe& climate = addSensor(2, 1, stSNMPClimate, 3);
    snmp->values[QStringLiteral("1.3.6.1.4.1.52417.2.1.0")] = QStringLiteral("23.45");
    snmp->values[QStringLiteral("1.3.6.1.4.1.52417.2.2.0")] = QStringLiteral("45,6");
    acq->StartAll();
    time.advance(10'000); // the interface's SNMP timer marks the sensor
    EXPECT_TRUE(climate.PollPending);
    time.advance(500);    // the scheduler queues both requests
    EXPECT_EQ(poller->QueueCount(), 2);
    time.advance(200);    // the starter runs the worker
    EXPECT_TRUE(poller->Busy());
    time.advance(200);
    EXPECT_EQ(poller->QueueCount(), 2) << "one request at a time";
    ASSERT_TRUE(waitFor([&] { return !poller->Busy(); }));
    EXPECT_EQ(poller->QueueCount(), 1);
    EXPECT_EQ(climate.RawValues[mtT], 2345);
    EXPECT_FALSE(climate.HasValue(mtH)) << "no humidity yet: the repeated 20000 is implausible";
    EXPECT_FALSE(climate.PollPending) << "a valid answer clears it";
    time.advance(200);
    ASSERT_TRUE(waitFor([&] { return poller->QueueCount() == 0 && !poller->Busy(); }));
    EXPECT_EQ(climate.RawValues[mtT], 2345);
    EXPECT_EQ(climate.RawValues[mtH], 456);
    EXPECT_TRUE(store.rowsOf(2, mtH).empty()) << "first recorded with the next recording period";
    EXPECT_EQ(store.rowsOf(2, mtT).size(), 1u);
    {
        std::lock_guard<std::mutex> lock(snmp->mutex);
        ASSERT_EQ(snmp->asked.size(), 2u);
        EXPECT_EQ(snmp->asked[0], "10.1.2.3 1.3.6.1.4.1.52417.2.1.0 public");
    }
    time.advance(200);
    EXPECT_FALSE(poller->StarterRunning()) << "nothing waits";
}

TEST_F(SnmpTest, AFailedGetLeavesTheSensorPendingAndIsAskedAgain)
{
    TProbe& s = addSensor(2, 1, stCabledTemperature, 9);
    int calls = 0;
    quint16 lastCode = 0;
    poller->SetHandler([&](TProbe& sensor, const QByteArray& a, quint16 code) {
        ++calls;
        lastCode = code;
        acq->HandleAnswer(sensor, a, code);
    });
    acq->StartAll();
    time.advance(10'000 + 500 + 200);
    ASSERT_TRUE(waitFor([&] { return calls == 1; }));
    EXPECT_EQ(lastCode, vbt::rcNoAnswer);
    EXPECT_TRUE(poller->Result().isEmpty());
    EXPECT_TRUE(s.PollPending);
    EXPECT_FALSE(s.HasValue(mtT));
    snmp->set(QStringLiteral("1.3.6.1.4.1.52417.1.9.0"), QStringLiteral("not a number"));
    time.advance(500);
    time.advance(200);
    ASSERT_TRUE(waitFor([&] { return calls == 2; }));
    EXPECT_EQ(lastCode, vbt::rcNoAnswer);
    snmp->set(QStringLiteral("1.3.6.1.4.1.52417.1.9.0"), QStringLiteral("19.5"));
    time.advance(500);
    time.advance(200);
    ASSERT_TRUE(waitFor([&] { return calls == 3; }));
    EXPECT_EQ(lastCode, vbt::rcOk);
    EXPECT_EQ(s.RawValues[mtT], 1950);
    EXPECT_FALSE(s.PollPending);
}

TEST_F(SnmpTest, ASensorRemovedWhileItsRequestRunsIsNotCalled)
{
    addSensor(2, 1, stCabledTemperature, 9);
    snmp->values[QStringLiteral("1.3.6.1.4.1.52417.1.9.0")] = QStringLiteral("19.5");
    lists.Sensors.front()->PollPending = true;
    poller->SchedulerTick();
    poller->StarterTick();
    lists.Sensors.clear();
    ASSERT_TRUE(waitFor([&] { return !poller->Busy(); }));
    EXPECT_EQ(poller->QueueCount(), 0);
    EXPECT_EQ(poller->CompletedRequests(), 1);
}

TEST(SnmpClient, NumericIdentifiersOnly)
{
    unsigned long oid[16];
    int n = 0;
    EXPECT_TRUE(ParseNumericOid(QStringLiteral(".1.3.6.1.4.1.52417.1.7.0"), oid, 16, &n));
    EXPECT_EQ(n, 10);
    EXPECT_EQ(oid[6], 52417u);
    EXPECT_FALSE(ParseNumericOid(QStringLiteral("1.3.x"), oid, 16, &n));
    EXPECT_FALSE(ParseNumericOid(QStringLiteral("1..3"), oid, 16, &n));
    EXPECT_FALSE(ParseNumericOid(QStringLiteral(""), oid, 16, &n));
    NetSnmpClient client(200);
    const SnmpGetResult r = client.Get(QStringLiteral("127.0.0.1:9"), QStringLiteral("nonsense"), "public");
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.error.isEmpty());
}

// ------------------------------------------------------------------- a real agent

bool serversRequired() { return qEnvironmentVariable("CVX_REQUIRE_SERVERS") == QStringLiteral("1"); }

// snmpd on a free loopback port, serving the values under test; stopped at the end.
class SnmpAgent {
public:
    bool start(const QStringList& overrides, QString* why)
    {
        const QString snmpd = QStandardPaths::findExecutable(QStringLiteral("snmpd"), {"/usr/sbin", "/usr/bin"});
        if (snmpd.isEmpty()) {
            *why = QStringLiteral("snmpd is not installed");
            return false;
        }
        QUdpSocket probe;
        if (!probe.bind(QHostAddress::LocalHost, 0)) {
            *why = QStringLiteral("no free UDP port");
            return false;
        }
        port = probe.localPort();
        probe.close();
        QString conf = QStringLiteral("rocommunity public 127.0.0.1\n");
        for (const QString& o : overrides)
            conf += QStringLiteral("override ") + o + u'\n';
        writeFile(dir.filePath(QStringLiteral("snmpd.conf")), conf.toUtf8());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("MIBS"), QString());
        env.insert(QStringLiteral("MIBDIRS"), dir.path());
        env.insert(QStringLiteral("SNMP_PERSISTENT_DIR"), dir.path());
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.setStandardOutputFile(dir.filePath(QStringLiteral("snmpd.log")));
        process.start(snmpd, {"-f", "-Lo", "-C", "-c", dir.filePath(QStringLiteral("snmpd.conf")),
                              QStringLiteral("udp:127.0.0.1:%1").arg(port)});
        if (!process.waitForStarted(5000)) {
            *why = QStringLiteral("snmpd did not start");
            return false;
        }
        // Ready when it answers.
        NetSnmpClient client(200);
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 10'000) {
            if (client.Get(host(), QStringLiteral("1.3.6.1.2.1.1.3.0"), QStringLiteral("public")).ok)
                return true;
            if (process.state() != QProcess::Running)
                break;
        }
        *why = QStringLiteral("snmpd does not answer: ") + readFile(dir.filePath(QStringLiteral("snmpd.log")));
        return false;
    }
    ~SnmpAgent()
    {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            if (!process.waitForFinished(5000)) {
                process.kill();
                process.waitForFinished(5000);
            }
        }
    }
    QString host() const { return QStringLiteral("127.0.0.1:%1").arg(port); }

    QTemporaryDir dir;
    QProcess process;
    quint16 port = 0;
};

TEST(SnmpClient, ReadsStringsAndIntegersFromARealAgent)
{
    SnmpAgent agent;
    QString why;
    if (!agent.start({QStringLiteral(".1.3.6.1.4.1.52417.1.7.0 octet_str \"23.45\""),
                      QStringLiteral(".1.3.6.1.4.1.52417.1.8.0 integer -5")},
                     &why)) {
        if (serversRequired())
            FAIL() << why.toStdString();
        GTEST_SKIP() << why.toStdString();
    }
    NetSnmpClient client(2000);
    SnmpGetResult r = client.Get(agent.host(), QStringLiteral("1.3.6.1.4.1.52417.1.7.0"), QStringLiteral("public"));
    ASSERT_TRUE(r.ok) << r.error.toStdString();
    EXPECT_EQ(r.value, "23.45");
    r = client.Get(agent.host(), QStringLiteral(".1.3.6.1.4.1.52417.1.8.0"), QStringLiteral("public"));
    ASSERT_TRUE(r.ok) << r.error.toStdString();
    EXPECT_EQ(r.value, "-5");
    r = client.Get(agent.host(), QStringLiteral("1.3.6.1.4.1.52417.1.99.0"), QStringLiteral("public"));
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.error.contains(QStringLiteral("SNMP error status"))) << r.error.toStdString();
    // The agent stays silent to a wrong community: a short library time-out is enough to see it.
    NetSnmpClient quick(200);
    r = quick.Get(agent.host(), QStringLiteral("1.3.6.1.4.1.52417.1.7.0"), QStringLiteral("wrong"));
    EXPECT_FALSE(r.ok) << "a wrong community gets no answer";
}

TEST_F(AcquisitionTest, ClimateSensorIsReadFromARealAgent)
{
    SnmpAgent agent;
    QString why;
    if (!agent.start({QStringLiteral(".1.3.6.1.4.1.52417.2.1.0 octet_str \"23,45\""),
                      QStringLiteral(".1.3.6.1.4.1.52417.2.2.0 octet_str \"45.6\""),
                      QStringLiteral(".1.3.6.1.4.1.52417.1.4.0 octet_str \"-5.5\"")},
                     &why)) {
        if (serversRequired())
            FAIL() << why.toStdString();
        GTEST_SKIP() << why.toStdString();
    }
    TSNMPPoller* poller = acq->CreateSnmpPoller(std::make_unique<NetSnmpClient>(2000));
    poller->OidPrefix = QStringLiteral("1.3.6.1.4.1.52417.1");
    addInterface(1, svDeviceServer, ptSNMP, 5000, agent.host());
    TProbe& climate = addSensor(2, 1, stSNMPClimate, 3);
    TProbe& plain = addSensor(3, 1, stCabledTemperature, 4);
    acq->StartAll();
    time.advance(5000); // the SNMP timer
    for (int i = 0; i < 20 && (climate.PollPending || plain.PollPending); ++i) {
        time.advance(100); // scheduler and starter ticks
        waitFor([&] { return !poller->Busy(); });
    }
    ASSERT_TRUE(waitFor([&] { return !poller->Busy(); }));
    EXPECT_EQ(climate.RawValues[mtT], 2345);
    EXPECT_EQ(climate.RawValues[mtH], 456);
    EXPECT_TRUE(climate.HasValue(mtUe));
    EXPECT_EQ(plain.RawValues[mtT], -550);
    EXPECT_EQ(store.rowsOf(3, mtT).size(), 1u);
    EXPECT_TRUE(climate.IsOnline()) << "an SNMP sensor that answers is reachable";
}

} // namespace
