// Client links on a port link: attaching, polling, delivery, automatic answers, DOV input.
#include "link_fixture.h"

#include <map>

namespace cvx::test {
namespace {

struct Reads {
    std::vector<QByteArray> items;
    TOnIncoming_tagged handler()
    {
        return [this](const QByteArray& s, quint16 code, int) {
            EXPECT_EQ(code, 0);
            items.push_back(s);
        };
    }
};

class ClientLinks : public LinkTest {
protected:
    void startPort(bool polling = false)
    {
        makeTcpPort();
        port->Pollingolo = polling;
        port->PollTimerInterval = 2000;
        port->SetActive(true);
    }
    TVBTComms& startClient(quint32 address, Reads* reads = nullptr)
    {
        TVBTComms& c = addClient(address);
        if (reads)
            c.OnRead = reads->handler();
        c.SetActive(true);
        return c;
    }
};

TEST_F(ClientLinks, DuplicateAddressIsNotAttachedAndItsPacketsAreRefused)
{
    startPort();
    TVBTComms& first = startClient(7);
    TVBTComms& second = startClient(7);
    EXPECT_TRUE(first.AttachedToOwner());
    EXPECT_FALSE(second.AttachedToOwner());
    EXPECT_EQ(port->Clients().size(), 1);

    SendWith(packet("CSYSI", 0, "ASYSI"), &second);
    EXPECT_EQ(rec.codes(), std::vector<int>{2});
    EXPECT_TRUE(log.contains(QStringLiteral("CSATNEMAKT")));

    SendWith(packet("CSYSI", 0, "ASYSI"), &first);
    ASSERT_TRUE(advanceUntilWrite());
    EXPECT_EQ(lastSent().to, 7u) << "address 0 becomes the client's address";
    deviceSends(7, "ASYSI", nem_kerek_nyugtat, lastSent().serial);
    EXPECT_EQ(rec.codes(), (std::vector<int>{2, 0}));
}

TEST_F(ClientLinks, ClientOfAnInactivePortRefusesWithTwo)
{
    makeTcpPort();
    TVBTComms& c = addClient(3);
    c.SetActive(true);
    EXPECT_TRUE(c.AttachedToOwner());
    SendWith(packet("CSYSI", 0, "ASYSI"), &c);
    EXPECT_EQ(rec.codes(), std::vector<int>{2});
    // A packet that must not be logged leaves no line.
    SendWith(packet("AGSWD", 0, {}, psoDontLog | psoDontQueue | psoDontAck), &c);
    EXPECT_EQ(rec.codes(), (std::vector<int>{2, 2}));
    EXPECT_EQ(log.count(QStringLiteral("CSATNEMAKT")), 1);
}

TEST_F(ClientLinks, ConnectNotificationsReachTheClients)
{
    makeTcpPort(false);
    std::vector<QString> events;
    port->OnConnect = [&] { events.push_back(QStringLiteral("port+")); };
    port->OnDisConnect = [&] { events.push_back(QStringLiteral("port-")); };
    port->SetActive(true);
    TVBTComms& c = addClient(4);
    c.OnConnect = [&] { events.push_back(QStringLiteral("c+")); };
    c.OnDisConnect = [&] { events.push_back(QStringLiteral("c-")); };
    c.SetActive(true);
    EXPECT_FALSE(c.Connected());
    transports.tcp->completeConnect();
    EXPECT_TRUE(c.Connected());
    transports.tcp->dropByPeer();
    EXPECT_EQ(events, (std::vector<QString>{"port+", "c+", "port-", "c-"}));

    // Attaching to a connected owner tells the client at once.
    transports.autoConnect = true;
    time.advance(90'000);
    ASSERT_TRUE(port->Connected());
    TVBTComms& late = addClient(5);
    bool told = false;
    late.OnConnect = [&] { told = true; };
    late.SetActive(true);
    EXPECT_TRUE(told);
}

TEST_F(ClientLinks, PollingVisitsEachClientOncePerRoundBeforeQueuedPackets)
{
    startPort(true);
    startClient(1);
    startClient(2);
    startClient(3);
    SendWith(packet("CSYSI", 9, "ASYSI"), port.get());
    const qint64 start = time.tickMs();
    time.advance(9'000);

    const auto s = sent();
    ASSERT_GE(s.size(), 4u);
    EXPECT_EQ(s[0].to, 1u);
    EXPECT_EQ(s[1].to, 2u);
    EXPECT_EQ(s[2].to, 3u);
    EXPECT_EQ(s[3].to, 9u) << "the queued packet waits for the round";
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(s[i].data, QByteArray("c"));
        EXPECT_EQ(s[i].info, nem_kerek_nyugtat);
    }
    // Rounds every PollTimerInterval: each client exactly once per 2000 ms window.
    std::map<qint64, std::map<quint32, int>> polls;
    for (const auto& f : s)
        if (f.data == "c")
            ++polls[(f.tick - start) / 2000][f.to];
    EXPECT_EQ(polls.size(), 5u);
    for (const auto& [window, perClient] : polls) {
        EXPECT_EQ(perClient.size(), 3u) << window;
        for (const auto& [address, n] : perClient)
            EXPECT_EQ(n, 1) << "window " << window << " address " << address;
    }
}

TEST_F(ClientLinks, PollAnswerIsDeliveredToTheClient)
{
    startPort(true);
    Reads reads1, reads2;
    startClient(1, &reads1);
    startClient(2, &reads2);
    ASSERT_TRUE(advanceUntilWrite());
    SentFrame poll = lastSent();
    ASSERT_EQ(poll.to, 1u);
    deviceSends(1, "AITGD\x66\x08", nem_kerek_nyugtat, poll.serial);
    ASSERT_EQ(reads1.items.size(), 1u);
    EXPECT_EQ(reads1.items[0], QByteArray("AITGD\x66\x08"));
    EXPECT_FALSE(log.contains(QStringLiteral("POLLVAL - CS OK"))) << "polls are logged only with Poll_Log";

    // The next client is polled at once, not a send tick later.
    port->Poll_Log = true;
    poll = lastSent();
    EXPECT_EQ(poll.tick, time.tickMs());
    EXPECT_EQ(port->State(), LinkState::Polling);
    ASSERT_EQ(poll.to, 2u);
    deviceSends(2, "AITGD\x01\x00", nem_kerek_nyugtat, poll.serial);
    ASSERT_EQ(reads2.items.size(), 1u);
    EXPECT_TRUE(log.contains(QStringLiteral("POLLVAL - CS OK")));
    EXPECT_TRUE(reads1.items.size() == 1u);
}

TEST_F(ClientLinks, PollRetriesWithTheLongerTimeouts)
{
    makeTcpPort();
    port->Pollingolo = true;
    port->Max_tries_poll = 3;
    port->SetActive(true);
    startClient(1);
    ASSERT_TRUE(advanceUntilWrite());
    ASSERT_TRUE(advanceUntilWrite(500));
    ASSERT_TRUE(advanceUntilWrite(500));
    const auto s = sent();
    ASSERT_EQ(s.size(), 3u);
    EXPECT_EQ(s[1].tick - s[0].tick, 100);
    EXPECT_EQ(s[2].tick - s[1].tick, 160);
    EXPECT_EQ(s[1].serial, s[0].serial % 250 + 1);
    time.advance(229);
    EXPECT_EQ(port->State(), LinkState::Polling);
    time.advance(1);
    EXPECT_EQ(port->State(), LinkState::Idle);
}

TEST_F(ClientLinks, AutomaticSerialNeverEqualsTheLastAck)
{
    startPort(true);
    startClient(1);
    ASSERT_TRUE(advanceUntilWrite());
    const SentFrame first = lastSent();
    time.advance(200); // the poll times out; the next round is due at 2000
    const int next = port->LastTxSerial() % 250 + 1;
    deviceSends(1, "EELDL", kerek_nyugtat, next); // answered with an ACK of serial `next`
    ASSERT_EQ(lastSent().info, pozitiv_nyugta);
    ASSERT_EQ(lastSent().serial, next);
    ASSERT_TRUE(advanceUntilWrite(3000));
    const SentFrame poll = lastSent();
    EXPECT_EQ(poll.data, QByteArray("c"));
    EXPECT_EQ(poll.serial, next % 250 + 1);
    EXPECT_NE(poll.serial, first.serial);
}

TEST_F(ClientLinks, VbtwFrameFindsItsClientByShortOrFullAddress)
{
    startPort();
    port->SetVBTMode(PMDecodeBothEncodeVBTW);
    Reads shortReads, wideReads;
    startClient(5, &shortReads);
    startClient(0x00010005, &wideReads);

    deviceSends(0x00010005, "EELDL\x01", nem_kerek_nyugtat, 9, true);
    EXPECT_EQ(shortReads.items.size(), 1u);
    EXPECT_TRUE(wideReads.items.empty());

    port->FindClientsByVBTWAddr = true;
    deviceSends(0x00010005, "EELDL\x02", nem_kerek_nyugtat, 10, true);
    EXPECT_EQ(shortReads.items.size(), 1u);
    ASSERT_EQ(wideReads.items.size(), 1u);
    EXPECT_EQ(wideReads.items[0], QByteArray("EELDL\x02"));
}

TEST_F(ClientLinks, WideClientGetsItsAnswerThroughTheExchange)
{
    startPort();
    port->SetVBTMode(PMDecodeBothEncodeVBTW);
    port->FindClientsByVBTWAddr = true;
    TVBTComms& c = startClient(0x00010005);
    SendWith(packet("CSYSI", 0, "ASYSI"), &c);
    ASSERT_TRUE(advanceUntilWrite());
    const SentFrame f = lastSent();
    EXPECT_TRUE(f.wide);
    EXPECT_EQ(f.to, 0x00010005u);
    EXPECT_TRUE(f.asyer);
    deviceSends(0x00010005, "ASYSI", nem_kerek_nyugtat, f.serial, true);
    EXPECT_EQ(rec.codes(), std::vector<int>{0});

    // Without ASYER when the packet says so.
    SendWith(packet("CSYSI", 0, "ASYSI", psoNoASYER), &c);
    ASSERT_TRUE(advanceUntilWrite());
    EXPECT_FALSE(lastSent().asyer);
}

TEST_F(ClientLinks, AutomaticAnswerIsSentWithTheReceivedSerialAndNotDelivered)
{
    startPort();
    Reads reads;
    TVBTComms& watchdog = startClient(249, &reads);
    watchdog.AutoAnswer = true;
    deviceSends(249, "CGSWD\x01", nem_kerek_nyugtat, 77);
    ASSERT_EQ(sentCount(), 1u);
    const SentFrame a = lastSent();
    EXPECT_EQ(a.data, QByteArray("AGSWD"));
    EXPECT_EQ(a.serial, 77);
    EXPECT_EQ(a.info, nem_kerek_nyugtat);
    EXPECT_EQ(a.to, 249u);
    EXPECT_TRUE(reads.items.empty());
    // Letter case counts.
    deviceSends(249, "cgswd", nem_kerek_nyugtat, 78);
    EXPECT_EQ(sentCount(), 1u);
    EXPECT_EQ(reads.items.size(), 1u);
}

TEST_F(ClientLinks, AutomaticAnswerDoesNotDisturbTheExchangeInProgress)
{
    startPort();
    TVBTComms& watchdog = startClient(249);
    watchdog.AutoAnswer = true;
    SendWith(packet("CSYSI", 5, "ASYSI"), port.get());
    ASSERT_TRUE(advanceUntilWrite());
    const SentFrame f = lastSent();
    deviceSends(249, "CGSWD", nem_kerek_nyugtat, 200);
    EXPECT_EQ(port->ExpectedAddress(), 5u);
    deviceSends(5, "ASYSI", nem_kerek_nyugtat, f.serial);
    EXPECT_EQ(rec.codes(), std::vector<int>{0});
}

TEST_F(ClientLinks, BareAckDeliveredToAClientArrivesAsCsyac)
{
    startPort();
    Reads reads;
    TVBTComms& c = startClient(5, &reads);
    TOnReadPacketData r;
    r.Address = 5;
    r.ShortAddress = 5;
    r.Addressee = 250;
    r.Info = pozitiv_nyugta;
    port->Deliver(r);
    c.Nyugtat_is_jelezze = false;
    port->Deliver(r);
    ASSERT_EQ(reads.items.size(), 2u);
    EXPECT_EQ(reads.items[0], QByteArray("CSYAC"));
    EXPECT_TRUE(reads.items[1].isEmpty());
    // Without an active target the record is dropped.
    c.SetActive(false);
    port->Deliver(r);
    EXPECT_EQ(reads.items.size(), 2u);
}

TEST_F(ClientLinks, UnexpectedFrameAndEventsReachTheirClient)
{
    startPort();
    Reads reads;
    startClient(5, &reads);
    deviceSends(5, "AITGD\x01\x02", nem_kerek_nyugtat, 3);
    EXPECT_TRUE(log.contains(QStringLiteral("NEM VART CS")));
    deviceSends(5, "EELDL\x01", nem_kerek_nyugtat, 4);
    EXPECT_TRUE(log.contains(QStringLiteral("ESEMENYCS")));
    // An unexpected ACK is not delivered.
    deviceSends(5, QByteArray(), pozitiv_nyugta, 5);
    EXPECT_EQ(reads.items, (std::vector<QByteArray>{"AITGD\x01\x02", "EELDL\x01"}));

    // An event from the expected device while an answer is awaited is delivered too.
    SendWith(packet("CSYSI", 5, "ASYSI"), port.get());
    ASSERT_TRUE(advanceUntilWrite());
    deviceSends(5, "EELDL\x02", nem_kerek_nyugtat, 99);
    EXPECT_TRUE(log.contains(QStringLiteral("ESEMENY,VARUNK")));
    EXPECT_EQ(reads.items.size(), 3u);
    // And a frame of another device while waiting.
    Reads other;
    startClient(6, &other);
    deviceSends(6, "AITGD", nem_kerek_nyugtat, lastSent().serial);
    EXPECT_TRUE(log.contains(QStringLiteral("NEM CIMZETT,VARUNK")));
    EXPECT_EQ(other.items.size(), 1u);
    EXPECT_TRUE(rec.results.empty());
}

TEST_F(ClientLinks, StoppingAClientFinishesExactlyItsPackets)
{
    makeTcpPort(false); // not connected: everything stays queued
    port->SetActive(true);
    TVBTComms& a = startClient(5);
    TVBTComms& b = startClient(6);
    for (int i = 1; i <= 3; ++i) {
        auto p = packet("CSYSI", 0, "ASYSI");
        p->Tag = i;
        SendWith(std::move(p), &a);
        auto q = packet("CSYSI", 0, "ASYSI");
        q->Tag = 10 + i;
        SendWith(std::move(q), &b);
    }
    EXPECT_EQ(port->QueueCount(), 6);
    a.SetActive(false);
    ASSERT_EQ(rec.results.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(rec.results[i].code, 6);
        EXPECT_EQ(rec.results[i].tag, i + 1);
    }
    EXPECT_EQ(port->QueueCount(), 3);
    EXPECT_EQ(port->Clients().size(), 1);
    EXPECT_TRUE(log.contains(QStringLiteral("KuldlistaTakaritas. Assigned(TVBTComms) = -1 Kuldendok.Count = 6")));
}

TEST_F(ClientLinks, StoppingAClientDuringItsExchangeFreesTheLink)
{
    startPort();
    TVBTComms& a = startClient(5);
    SendWith(packet("CSYSI", 0, "ASYSI"), &a);
    SendWith(packet("CSYRE", 6, "ASYRE"), port.get());
    ASSERT_TRUE(advanceUntilWrite());
    EXPECT_EQ(port->State(), LinkState::AwaitingAnswer);
    a.SetActive(false);
    EXPECT_EQ(rec.codes(), std::vector<int>{6});
    ASSERT_TRUE(advanceUntilWrite(20));
    EXPECT_EQ(lastSent().data, QByteArray("CSYRE"));
}

TEST_F(ClientLinks, DestroyingThePortDetachesAndStopsItsClients)
{
    startPort();
    TVBTComms& a = startClient(5);
    port.reset();
    EXPECT_EQ(a.PortOwner, nullptr);
    EXPECT_FALSE(a.Active());
    EXPECT_FALSE(a.AttachedToOwner());
}

TEST_F(ClientLinks, SendingThroughAClientReportsThroughTheClient)
{
    startPort();
    Reads reads;
    TVBTComms& c = startClient(5, &reads);
    SendWith(std::make_unique<TKuldendo>("CRLSO", 0), &c); // no callbacks of its own
    ASSERT_TRUE(advanceUntilWrite());
    deviceSends(5, QByteArray(), pozitiv_nyugta, lastSent().serial);
    EXPECT_EQ(reads.items, std::vector<QByteArray>{"CSYAC"});
}

TEST_F(ClientLinks, DirectLinkDeliversToItself)
{
    makeTcpPort();
    port->VBTAddress = 12;
    Reads reads;
    port->OnRead = reads.handler();
    port->SetActive(true);
    EXPECT_TRUE(port->Direct());
    deviceSends(12, "EELDL", nem_kerek_nyugtat, 3);
    deviceSends(13, "EELDL", nem_kerek_nyugtat, 4);
    EXPECT_EQ(reads.items, std::vector<QByteArray>{"EELDL"});
    // Packets without an address go to the link's own.
    SendWith(packet("CSYSI", 0, "ASYSI"), port.get());
    ASSERT_TRUE(advanceUntilWrite());
    EXPECT_EQ(lastSent().to, 12u);
}

// ---- DOV input ---------------------------------------------------------------------------

class DovInput : public ClientLinks {
protected:
    void SetUp() override
    {
        makeTcpPort();
        port->DOV_to_VBT = true;
        port->SetActive(true);
        startClient(1, &reads[0]);
        startClient(2, &reads[1]);
        startClient(3, &reads[2]);
    }
    Reads reads[3];
};

TEST_F(DovInput, TemperatureLinesBecomeAnswersFromTheirAddresses)
{
    receive("*T0=+021.5C T1=-003.25C\n");
    ASSERT_EQ(reads[0].items.size(), 1u);
    ASSERT_EQ(reads[1].items.size(), 1u);
    EXPECT_EQ(reads[0].items[0], QByteArray("AITGD\x66\x08"));
    EXPECT_EQ(reads[1].items[0], QByteArray("AITGD\xBB\xFE"));
    EXPECT_TRUE(reads[2].items.empty());
}

TEST_F(DovInput, HumidityLineGivesOneAnswerFromAddressOne)
{
    receive("garbage*T=21.5C H=45.2%\r\n");
    ASSERT_EQ(reads[0].items.size(), 1u);
    EXPECT_EQ(reads[0].items[0], QByteArray("AITGD\x66\x08\xC4\x01"));
}

TEST_F(DovInput, UnreadableValueIsTheMissingValueMark)
{
    receive("*T0=abcC\n");
    ASSERT_EQ(reads[0].items.size(), 1u);
    EXPECT_EQ(reads[0].items[0], QByteArray("AITGD\x20\x4E"));
}

TEST_F(DovInput, IncompleteLineWaitsForItsLineFeed)
{
    receive("*T0=+021.5C T2=1");
    EXPECT_TRUE(reads[0].items.empty());
    receive("0.0C\n*T0=1");
    ASSERT_EQ(reads[0].items.size(), 1u);
    EXPECT_EQ(reads[2].items.size(), 0u) << "T1 is missing, so T2 is not read";
    receive("C\n");
    EXPECT_EQ(reads[0].items.size(), 2u);
    EXPECT_EQ(reads[0].items[1], QByteArray("AITGD\x64\x00", 7));
}

TEST_F(DovInput, LinesArrivingWhileACallbackRunsItsOwnEventLoopAreTakenAfterIt)
{
    // The first answer's handler opens a "modal window": more bytes arrive and time
    // passes inside it.
    bool nested = false;
    clients[0]->OnRead = [&](const QByteArray& s, quint16, int) {
        reads[0].items.push_back(s);
        if (nested)
            return;
        nested = true;
        transports.tcp->feed("*T0=2C\n");
        time.advance(50);
        EXPECT_EQ(reads[0].items.size(), 1u) << "no processing inside the running one";
    };
    receive("*T0=1C\n");
    time.advance(1);
    ASSERT_EQ(reads[0].items.size(), 2u);
    EXPECT_EQ(reads[0].items[1], QByteArray("AITGD\xC8\x00", 7));
}

TEST_F(DovInput, ShortLinesAreIgnored)
{
    receive("*\n\n");
    EXPECT_TRUE(reads[0].items.empty());
    EXPECT_TRUE(port->RxBuffer().isEmpty());
}

struct DovValueCase {
    const char* text;
    int scale;
    int raw;
};

void PrintTo(const DovValueCase& c, std::ostream* os) { *os << "'" << c.text << "' x" << c.scale; }

class DovValue : public ::testing::TestWithParam<DovValueCase> {};

TEST_P(DovValue, Converts)
{
    EXPECT_EQ(dov::ValueFromText(GetParam().text, GetParam().scale), GetParam().raw) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Table, DovValue,
    ::testing::Values(DovValueCase{"+021.5", 100, 2150}, DovValueCase{"-003.25", 100, -325},
                      DovValueCase{"45.2", 10, 452}, DovValueCase{"-000.5", 100, -50},
                      DovValueCase{"+0021", 100, 2100}, DovValueCase{" 21.5 ", 100, 2150},
                      // halves to even, on the decimal value as written
                      DovValueCase{"21.125", 100, 2112}, DovValueCase{"21.135", 100, 2114},
                      DovValueCase{"21.145", 100, 2114}, DovValueCase{"21.1451", 100, 2115},
                      DovValueCase{"-0.005", 100, 0}, DovValueCase{"-0.015", 100, -2},
                      DovValueCase{"0.25", 10, 2}, DovValueCase{"0.35", 10, 4}, DovValueCase{"101.3255", 1000, 20000},
                      DovValueCase{"1.0005", 1000, 1000}, DovValueCase{"1.0015", 1000, 1002},
                      DovValueCase{"1e1", 100, 1000}, DovValueCase{"5.", 10, 50}, DovValueCase{".5", 10, 5},
                      DovValueCase{"abc", 100, 20000}, DovValueCase{"", 100, 20000}, DovValueCase{"-", 100, 20000},
                      DovValueCase{"1.2.3", 100, 20000}, DovValueCase{"12a", 100, 20000},
                      DovValueCase{"20000", 100, 20000}, DovValueCase{"327.67", 100, 32767},
                      DovValueCase{"-327.68", 100, -32768},
                      // beyond 16 bits: missing, never a wrapped plausible value
                      DovValueCase{"700", 100, 20000}, DovValueCase{"1e300", 100, 20000},
                      DovValueCase{"1e-300", 100, 0}));

TEST(DovLine, FieldTextIgnoresLetterCase)
{
    EXPECT_EQ(dov::FieldText("*t0=12.5c", "T0=", "C"), QByteArray("12.5"));
    EXPECT_EQ(dov::FieldText("*T0=12.5", "T0=", "C"), QByteArray("12.5"));
    EXPECT_EQ(dov::FieldText("*X=12.5C", "T0=", "C"), QByteArray());
    // Lower-case markers do not name sensors: no "T0" in the line, no record.
    EXPECT_TRUE(dov::LineToRecords("*t0=12.5c\n").isEmpty());
    const auto r = dov::LineToRecords("xx*T0=1C T1=2C T3=4C\n");
    ASSERT_EQ(r.size(), 2);
    EXPECT_EQ(r[0].Address, 1u);
    EXPECT_EQ(r[1].Address, 2u);
    EXPECT_EQ(r[1].Addressee, 250u);
    EXPECT_EQ(r[0].Raw, QByteArray("*T0=1C T1=2C T3=4C\n"));
}

} // namespace
} // namespace cvx::test
