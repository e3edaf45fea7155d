// The master's side of the instance link on virtual time: connections and their logs,
// the one-shot push, requests from clients, the keep-alive port, broken input.
#include "net_fixture.h"

#include "link/kuldendo.h"
#include "link/vbt_comms.h"
#include "net/master_link.h"

namespace cvx::test {
namespace {

constexpr quint16 Port = 11110;
const QString MasterHost = QStringLiteral("10.0.0.1");

class MasterLinkTest : public NetTest {
protected:
    MasterLinkTest()
    {
        EXPECT_TRUE(master.Open(Port));
    }

    FakeClient& client() { return peer(MasterHost, Port); }
    FakeClient& keepAliveClient() { return peer(MasterHost, Port + 1); }

    // An interface whose link is a connected TCP port link over in-memory transports.
    TProbe& linkedInterface(int id, int protocol = ptVBT)
    {
        TProbe& i = build.addInterface(id, protocol);
        transports.autoConnect = true;
        i.Link = std::make_unique<TVBTComms>(time, &transports);
        i.Link->Host = QStringLiteral("devserver");
        i.Link->Port = 4001;
        i.Link->SeedRandom(3);
        i.Link->SetActive(true);
        return i;
    }
    // A sensor with a client link behind its interface's link, as loading wires it.
    TProbe& linkedSensor(int id, int sensorType, TProbe& iface, int relayNumber = 1)
    {
        TProbe& s = build.addSensor(id, sensorType, iface);
        s.RelayIndex = std::max(0, relayNumber - 1);
        s.Link = std::make_unique<TVBTComms>(time, &transports);
        s.Link->VBTAddress = quint32(id);
        if (isRelaySensorType(sensorType)) {
            s.Link->PollCmd = QByteArray("CRLGS") + char(s.RelayIndex);
            s.Link->PollAns = "ARLGS";
        } else {
            s.Link->PortOwner = iface.Link.get();
            s.Link->PollCmd = "c";
            s.Link->PollAns = "AITGD";
        }
        return s;
    }
    std::vector<SentFrame> deviceFrames()
    {
        return transports.line() ? decodeWrites(transports.line()->writes) : std::vector<SentFrame>{};
    }

    FakeTransports transports{&time};
    TMasterLink master{time, probes, net};
};

// ------------------------------------------------------------------ connections

TEST_F(MasterLinkTest, ConnectionsAreCountedAndLogged)
{
    client();
    FakeClient& second = client();
    EXPECT_EQ(master.ClientCount(), 2);
    EXPECT_TRUE(log.contains(QStringLiteral("Monitorozó kliens kapcsolódott a következő címről: 10.0.0.50:40001 "
                                            "(összesen 2 aktív kapcsolat)")));
    second.close();
    net.deliver();
    EXPECT_EQ(master.ClientCount(), 1);
    EXPECT_TRUE(log.contains(QStringLiteral("A(z) 10.0.0.50:40001 című kliens lekapcsolódott.")));
}

TEST_F(MasterLinkTest, ANetworkErrorIsLoggedAndOnlyThatClientIsClosed)
{
    FakeClient& a = client();
    FakeClient& b = client();
    net.connections[0]->breakWith(104);
    net.deliver();
    EXPECT_EQ(logCount(QStringLiteral("A(z) 10.0.0.50:40000 című kliensnél hálózati hiba történt: 104")), 1);
    EXPECT_EQ(logCount(QStringLiteral("lekapcsolódott")), 0) << "the error is handled: no second line";
    EXPECT_FALSE(a.isConnected());
    EXPECT_TRUE(b.isConnected());
    EXPECT_EQ(master.ClientCount(), 1);
    time.runDue();   // the closed connection is released from the event loop
    EXPECT_EQ(net.connections[0], nullptr);
}

TEST_F(MasterLinkTest, APortInUseIsLoggedAndReported)
{
    TMasterLink other{time, probes, net};
    EXPECT_FALSE(other.Open(Port));
    EXPECT_TRUE(log.contains(QStringLiteral("Hiba történt a TCP/IP-port megnyitásakor.")));
    EXPECT_TRUE(log.contains(QStringLiteral("already in use")));
}

TEST_F(MasterLinkTest, CloseEndsEveryConnectionAndStopsThePush)
{
    FakeClient& a = client();
    FakeClient& k = keepAliveClient();
    master.ArmPush();
    master.Close();
    net.deliver();
    EXPECT_FALSE(a.isConnected());
    EXPECT_FALSE(k.isConnected());
    EXPECT_FALSE(master.PushArmed());
    EXPECT_FALSE(master.Listening());
    FakeClient& late = client();
    EXPECT_FALSE(late.isConnected());
}

// ------------------------------------------------------------------ push

TEST_F(MasterLinkTest, MeasurementsOfOneCycleGoOutInOnePushTwoSecondsAfterTheFirst)
{
    TProbe& i = build.addInterface(1);
    TProbe& s = build.addSensor(10, stTemperature, i);
    build.setValue(s, mtT, 21.5);
    FakeClient& c = client();
    const qint64 first = time.tickMs();
    master.ArmPush();
    run(500);
    build.setValue(s, mtT, 22.0);
    master.ArmPush();   // the second measurement does not move the deadline
    run(1400);
    EXPECT_TRUE(net.connections[0]->written.empty());
    run(100);
    ASSERT_EQ(net.connections[0]->written.size(), 1u);
    EXPECT_EQ(net.connections[0]->written[0].tick, first + 2000);
    run(5000);
    EXPECT_EQ(net.connections[0]->written.size(), 1u) << "one shot";
    const auto msgs = decodeMessages(c.received);
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].get(QStringLiteral("UtolsoMeresErtek")), QStringLiteral("22"));
}

TEST_F(MasterLinkTest, PushCarriesEveryValidValueOfEveryActiveSensor)
{
    TProbe& i = linkedInterface(1);
    TProbe& th = build.addSensor(10, stTempHumidity, i);
    th.LastMeasureTime = QDateTime(QDate(2024, 5, 21), QTime(9, 29, 7, 365));
    th.LastRecordTime = th.LastMeasureTime;
    build.setValue(th, mtT, 22.5);
    build.setValue(th, mtH, 41.5);    // Ue, TAv.. stay 20000: not pushed
    th.Values[mtP] = 101.3;           // a measure type this sensor type does not carry
    TProbe& silent = build.addSensor(11, stTemperature, i);
    build.setValue(silent, mtT, 19.0);
    silent.Inactive = true;
    TProbe& unused = build.addSensor(12, stTemperature, i);
    build.setValue(unused, mtT, 18.25);
    unused.IsUsed = false;
    unused.LastMeasureTime = QDateTime(QDate(2024, 5, 21), QTime(9, 0));
    unused.LastRecordTime = QDateTime(QDate(2024, 5, 21), QTime(8, 0));

    FakeClient& a = client();
    FakeClient& b = client();
    master.Push();
    net.deliver();
    EXPECT_EQ(a.received, b.received);
    const auto msgs = decodeMessages(a.received);
    ASSERT_EQ(msgs.size(), 3u);
    EXPECT_EQ(master.statistics().messagesPushed, 3);

    EXPECT_EQ(msgs[0].type, 0);
    EXPECT_EQ(msgs[0].get(QStringLiteral("CorvaluxID")), QStringLiteral("10"));
    EXPECT_EQ(msgs[0].get(QStringLiteral("CorvaluxMerestipusID")), QStringLiteral("1"));
    EXPECT_EQ(msgs[0].get(QStringLiteral("UtolsoMeresErtek")), QStringLiteral("22,5"));
    EXPECT_EQ(msgs[0].get(QStringLiteral("UtolsoMeresIdo")), QStringLiteral("2024-05-21 09:29:07.365"));
    EXPECT_EQ(msgs[0].get(QStringLiteral("MeresErtekRogzitve")), QStringLiteral("TRUE"));
    EXPECT_EQ(msgs[0].get(QStringLiteral("Aktiv")), QStringLiteral("TRUE"));
    EXPECT_EQ(msgs[0].get(QStringLiteral("Online")), QStringLiteral("TRUE"));
    EXPECT_EQ(msgs[1].get(QStringLiteral("CorvaluxMerestipusID")), QStringLiteral("2"));
    EXPECT_EQ(msgs[1].get(QStringLiteral("UtolsoMeresErtek")), QStringLiteral("41,5"));

    EXPECT_EQ(msgs[2].get(QStringLiteral("CorvaluxID")), QStringLiteral("12"));
    EXPECT_EQ(msgs[2].get(QStringLiteral("Aktiv")), QStringLiteral("FALSE"));
    EXPECT_EQ(msgs[2].get(QStringLiteral("MeresErtekRogzitve")), QStringLiteral("FALSE"))
        << "the newest value is not the stored one";
}

TEST_F(MasterLinkTest, OnlineFollowsTheInterfaceLink)
{
    TProbe& i = build.addInterface(1);   // no link at all
    TProbe& s = build.addSensor(10, stTemperature, i);
    build.setValue(s, mtT, 20.0);
    FakeClient& c = client();
    master.Push();
    net.deliver();
    const auto msgs = decodeMessages(c.received);
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].get(QStringLiteral("Online")), QStringLiteral("FALSE"));
}

TEST_F(MasterLinkTest, APollRequestArmsThePush)
{
    TProbe& i = build.addInterface(1);
    build.setValue(build.addSensor(10, stTemperature, i), mtT, 20.0);
    FakeClient& c = client();
    c.write(encodeMessage(1), nullptr);
    net.deliver();
    EXPECT_TRUE(master.PushArmed());
    run(2000);
    EXPECT_EQ(decodeMessages(c.received).size(), 1u);
}

TEST_F(MasterLinkTest, AClientThatStopsReadingIsDroppedWithoutHoldingUpTheOthers)
{
    TProbe& i = build.addInterface(1);
    build.setValue(build.addSensor(10, stTemperature, i), mtT, 20.0);
    FakeClient& stuck = client();
    FakeClient& fine = client();
    net.connections[0]->pendingWrite = TMasterLink::MaxPendingWriteBytes + 1;
    master.Push();
    net.deliver();
    EXPECT_FALSE(stuck.isConnected());
    EXPECT_EQ(decodeMessages(fine.received).size(), 1u);
    EXPECT_TRUE(log.contains(QStringLiteral("A(z) 10.0.0.50:40000 című kliens nem olvassa az üzeneteket")));
    EXPECT_EQ(master.statistics().droppedSlowClients, 1);
}

// ------------------------------------------------------------------ restart broadcast

struct RestartCase {
    bool devHub;
    QByteArray wire;
};

class RestartBroadcast : public MasterLinkTest, public ::testing::WithParamInterface<RestartCase> {};

TEST_P(RestartBroadcast, EveryClientGetsTheRestartMessage)
{
    shellState().DevHub_kliens = GetParam().devHub;
    FakeClient& a = client();
    FakeClient& b = client();
    master.SendRestartToClients();
    net.deliver();
    EXPECT_EQ(a.received, GetParam().wire);
    EXPECT_EQ(b.received, GetParam().wire);
}

INSTANTIATE_TEST_SUITE_P(Wire, RestartBroadcast,
                         ::testing::Values(RestartCase{false, QByteArray("*\"PckType=3\"#")},
                                           RestartCase{true, QByteArray("*\"PckType=53\"#")}));

// ------------------------------------------------------------------ requests

TEST_F(MasterLinkTest, EchoRequestAnswersEveryClient)
{
    FakeClient& a = client();
    FakeClient& b = client();
    a.write(encodeMessage(4), nullptr);
    net.deliver();
    EXPECT_EQ(a.received, QByteArray("a"));
    EXPECT_EQ(b.received, QByteArray("a"));
}

TEST_F(MasterLinkTest, KeepAlivePortAnswersEveryKeepAliveClient)
{
    FakeClient& instanceClient = client();
    FakeClient& k1 = keepAliveClient();
    FakeClient& k2 = keepAliveClient();
    EXPECT_EQ(master.KeepAliveClientCount(), 2);
    k1.write("xyz", nullptr);
    net.deliver();
    EXPECT_EQ(k1.received, QByteArray("a"));
    EXPECT_EQ(k2.received, QByteArray("a"));
    EXPECT_TRUE(instanceClient.received.isEmpty());
    EXPECT_EQ(master.ClientCount(), 1) << "keep-alive clients are not instance clients";
}

struct RelayCase {
    const char* name;
    int sensorType;
    int relayNumber;
    bool on;
    QByteArray expected;   // payload queued on the interface link; empty: nothing
};

class RelaySwitch : public MasterLinkTest, public ::testing::WithParamInterface<RelayCase> {};

TEST_P(RelaySwitch, QueuesTheRelayCommandOnTheInterfaceLink)
{
    const RelayCase& rc = GetParam();
    TProbe& i = linkedInterface(1);
    linkedSensor(20, rc.sensorType, i, rc.relayNumber);
    FakeClient& c = client();
    c.write(encodeMessage(5, {{QStringLiteral("prid"), QStringLiteral("20")},
                              {QStringLiteral("rsta"), rc.on ? QStringLiteral("TRUE") : QStringLiteral("FALSE")}}),
            nullptr);
    net.deliver();
    time.advance(5);
    const auto frames = deviceFrames();
    if (rc.expected.isEmpty()) {
        EXPECT_TRUE(frames.empty());
        return;
    }
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].data, rc.expected);
    EXPECT_EQ(frames[0].to, 20u);
}

INSTANTIATE_TEST_SUITE_P(
    Types, RelaySwitch,
    ::testing::Values(RelayCase{"TempHumidityIgnored", stTempHumidity, 1, true, {}},
                      RelayCase{"RelayPanelOnRelay3", stRelayPanel, 3, true, QByteArray("CRLSO\x02", 6)},
                      RelayCase{"RelayPanelOffRelay1", stRelayPanel, 1, false, QByteArray("CRLSC\x00", 6)},
                      RelayCase{"InputPanelOn", stInputPanel, 2, true, QByteArray("CRLSO\x01", 6)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MasterLinkTest, SerialRelayControllerSetsTheRelayLine)
{
    transports.devices[QStringLiteral("/dev/ttyS0")] = {};
    TProbe& i = build.addInterface(1);
    i.Link = std::make_unique<TVBTComms>(time, &transports);
    i.Link->Port = 1;
    i.Link->ReleVezerlesSorosPorton = true;
    i.Link->SetActive(true);
    TProbe& s = build.addSensor(20, stSerialRelay, i);
    s.RelayIndex = 1;   // relay 2: line 2, DTR
    FakeClient& c = client();
    c.write(encodeMessage(5, {{QStringLiteral("prid"), QStringLiteral("20")}, {QStringLiteral("rsta"), QStringLiteral("TRUE")}}),
            nullptr);
    net.deliver();
    ASSERT_NE(transports.serial, nullptr);
    EXPECT_TRUE(transports.serial->dtr);
    EXPECT_TRUE(i.Link->GetLine(2));
    c.write(encodeMessage(5, {{QStringLiteral("prid"), QStringLiteral("20")}, {QStringLiteral("rsta"), QStringLiteral("FALSE")}}),
            nullptr);
    net.deliver();
    EXPECT_FALSE(transports.serial->dtr);
}

TEST_F(MasterLinkTest, RelayRequestsForUnknownSensorsOrWithBrokenFieldsChangeNothing)
{
    TProbe& i = linkedInterface(1);
    linkedSensor(20, stRelayPanel, i, 1);
    FakeClient& c = client();
    c.write(encodeMessage(5, {{QStringLiteral("prid"), QStringLiteral("99")}, {QStringLiteral("rsta"), QStringLiteral("TRUE")}}),
            nullptr);
    c.write(encodeMessage(5, {{QStringLiteral("prid"), QStringLiteral("x20")}, {QStringLiteral("rsta"), QStringLiteral("TRUE")}}),
            nullptr);
    c.write(encodeMessage(77), nullptr);
    c.write(encodeMessage(4), nullptr);   // the connection still works
    net.deliver();
    time.advance(5);
    EXPECT_TRUE(deviceFrames().empty());
    EXPECT_EQ(logCount(QStringLiteral("Hibás üzenet a(z) 10.0.0.50:40000 címről (GetAsInt failed: x20)")), 1);
    EXPECT_EQ(c.received, QByteArray("a"));
}

TEST_F(MasterLinkTest, PollEverySensorNowSendsThePollCommandsOfVbtSensors)
{
    TProbe& i = linkedInterface(1);
    TProbe& th = linkedSensor(10, stTempHumidity, i);
    th.Link->SetActive(true);
    TProbe& off = linkedSensor(11, stTemperature, i);   // link not active: not polled
    (void)off;
    linkedSensor(12, stRelayPanel, i, 2);
    TProbe& unusedRelay = linkedSensor(13, stRelayPanel, i, 1);
    unusedRelay.IsUsed = false;
    TProbe& dov = build.addInterface(2, ptDOV);
    build.addSensor(30, stTemperature, dov);
    std::vector<std::pair<int, QByteArray>> answers;
    NetAcquisitionHooks hooks;
    hooks.handleAnswer = [&](TProbe& s, const QByteArray& a, quint16 code) {
        answers.push_back({s.Id, a});
        EXPECT_EQ(code, 0);
    };
    master.setHooks(hooks);

    FakeClient& c = client();
    c.write(encodeMessage(2), nullptr);
    net.deliver();
    time.advance(20);
    auto frames = deviceFrames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].data, QByteArray("c"));
    EXPECT_EQ(frames[0].to, 10u);
    // The sensor answers; the answer reaches the acquisition's answer handler.
    TVBTProtocol dev;
    dev.VBTMode = PMVBTOnly;
    dev.Cimzett = 250;
    dev.Felado = 10;
    dev.Felado_rovid_cim = 10;
    dev.Info = nem_kerek_nyugtat;
    dev.CsomagSorszam = quint8(frames[0].serial);
    transports.tcp->feed(dev.EncodeFrame(QByteArray("AITGD\x32\x08\x9b\x01", 9)));
    time.advance(300);
    frames = deviceFrames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1].data, QByteArray("CRLGS\x01", 6));
    EXPECT_EQ(frames[1].to, 12u);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].first, 10);
    EXPECT_TRUE(answers[0].second.startsWith("AITGD"));
    time.advance(1000);
    EXPECT_EQ(deviceFrames().size(), 2u) << "unused relays, inactive links and DOV sensors are not polled";
}

// ------------------------------------------------------------------ received text

TEST_F(MasterLinkTest, EachClientHasItsOwnReceiveBuffer)
{
    FakeClient& a = client();
    FakeClient& b = client();
    const QByteArray echo = encodeMessage(4);
    a.write(echo.left(5), nullptr);   // a half message stays with its sender
    b.write(echo, nullptr);
    net.deliver();
    EXPECT_EQ(a.received, QByteArray("a")) << "b's message is whole despite a's half";
    a.write(echo.mid(5), nullptr);
    net.deliver();
    EXPECT_EQ(a.received, QByteArray("aa"));
    EXPECT_EQ(master.statistics().messagesReceived, 2);
}

TEST_F(MasterLinkTest, AnEndlessMessageIsCappedAndTheClientStaysUsable)
{
    FakeClient& a = client();
    FakeClient& b = client();
    a.write("*" + QByteArray(48 * 1024, 'x'), nullptr);
    a.write(QByteArray(48 * 1024, 'y'), nullptr);
    a.write(QByteArray(48 * 1024, 'z'), nullptr);
    net.deliver();
    EXPECT_GT(master.statistics().discardedBytes, 0);
    EXPECT_TRUE(log.contains(QStringLiteral("A(z) 10.0.0.50:40000 címről érkező lezáratlan üzenet túl hosszúra nőtt")));
    a.write(encodeMessage(4), nullptr);
    b.write(encodeMessage(4), nullptr);
    net.deliver();
    EXPECT_EQ(b.received, QByteArray("aa")) << "both echo requests answered";
}

TEST_F(MasterLinkTest, NoiseAndBlanksAroundMessagesAreHarmless)
{
    FakeClient& a = client();
    a.write("  garbage\r\n", nullptr);
    a.write(" " + encodeMessage(4) + " ", nullptr);
    a.write("\n#\n", nullptr);
    net.deliver();
    EXPECT_EQ(a.received, QByteArray("a"));
}

} // namespace
} // namespace cvx::test
