// The exchange of the link engine on virtual time over the in-memory transport.
#include "link_fixture.h"

namespace cvx::test {
namespace {

class LinkEngine : public LinkTest {
protected:
    void SetUp() override
    {
        makeTcpPort();
        port->SetActive(true);
        ASSERT_TRUE(port->Connected());
    }
    // Submits a tagged packet and runs until it is on the line.
    SentFrame submitAndSend(std::unique_ptr<TKuldendo> p)
    {
        SendWith(std::move(p), port.get());
        EXPECT_TRUE(advanceUntilWrite());
        return lastSent();
    }
};

TEST_F(LinkEngine, CommandWithoutAnswerAsksForAckAndCompletesWithCsyac)
{
    const SentFrame f = submitAndSend(packet("CRLSO\x01", 5));
    EXPECT_EQ(f.info, kerek_nyugtat);
    EXPECT_EQ(f.to, 5u);
    EXPECT_EQ(f.from, 250u);
    EXPECT_EQ(f.data, QByteArray("CRLSO\x01"));
    EXPECT_EQ(port->State(), LinkState::AwaitingAnswer);

    deviceSends(5, QByteArray(), pozitiv_nyugta, f.serial);
    ASSERT_EQ(rec.results.size(), 1u);
    EXPECT_EQ(rec.results[0].code, 0);
    EXPECT_EQ(rec.results[0].s, QByteArray("CSYAC"));
    EXPECT_EQ(rec.results[0].kind, QStringLiteral("read"));
    EXPECT_EQ(port->State(), LinkState::Idle);
    EXPECT_EQ(port->QueueCount(), 0);
    EXPECT_TRUE(log.contains(QStringLiteral("NYUGTA - OK")));
}

TEST_F(LinkEngine, MatchingAnswerCompletesAndAsyerIsAWrongAnswer)
{
    SentFrame f = submitAndSend(packet("CSYSI", 5, "ASYSI"));
    EXPECT_EQ(f.info, nem_kerek_nyugtat);
    deviceSends(5, "ASYSI\x01\x02", nem_kerek_nyugtat, f.serial);
    ASSERT_EQ(rec.results.size(), 1u);
    EXPECT_EQ(rec.results[0].code, 0);
    EXPECT_EQ(rec.results[0].s, QByteArray("ASYSI\x01\x02"));
    EXPECT_TRUE(log.contains(QStringLiteral("VALASZ - OK")));

    f = submitAndSend(packet("CSYSI", 5, "ASYSI"));
    deviceSends(5, "ASYER\x03", nem_kerek_nyugtat, f.serial);
    ASSERT_EQ(rec.results.size(), 2u);
    EXPECT_EQ(rec.results[1].code, 7);
    EXPECT_EQ(rec.results[1].kind, QStringLiteral("error"));
    EXPECT_EQ(rec.results[1].s, QByteArray("ASYER\x03"));
    EXPECT_TRUE(log.contains(QStringLiteral("NEM JO VALASZ")));
}

TEST_F(LinkEngine, UnansweredCommandIsSentThreeTimesThenFailsWithFive)
{
    const SentFrame first = submitAndSend(packet("CSYSI", 5, "ASYSI"));
    ASSERT_TRUE(advanceUntilWrite(200));
    ASSERT_TRUE(advanceUntilWrite(200));
    const auto s = sent();
    ASSERT_EQ(s.size(), 3u);
    EXPECT_EQ(s[1].tick - s[0].tick, 110);
    EXPECT_EQ(s[2].tick - s[1].tick, 160);
    // Every try carries the next serial.
    EXPECT_EQ(s[1].serial, first.serial % 250 + 1);
    EXPECT_EQ(s[2].serial, s[1].serial % 250 + 1);
    time.advance(229);
    EXPECT_TRUE(rec.results.empty());
    time.advance(1);
    ASSERT_EQ(rec.results.size(), 1u);
    EXPECT_EQ(rec.results[0].code, 5);
    EXPECT_EQ(rec.results[0].tick - s[2].tick, 230);
    EXPECT_EQ(sentCount(), 3u);
    EXPECT_TRUE(log.contains(QStringLiteral("PAR. UJRA 2X")));
    EXPECT_TRUE(log.contains(QStringLiteral("PAR. UJRA 3X")));
    EXPECT_TRUE(log.contains(QStringLiteral("PAR. SIKERTELEN")));
}

TEST_F(LinkEngine, OwnWaitTimeGrowsWithTheTries)
{
    auto p = packet("CSYRE", 5, "ASYRE");
    p->WaitTime = 3000;
    submitAndSend(std::move(p));
    ASSERT_TRUE(advanceUntilWrite(4000));
    ASSERT_TRUE(advanceUntilWrite(7000));
    const auto s = sent();
    ASSERT_EQ(s.size(), 3u);
    EXPECT_EQ(s[1].tick - s[0].tick, 3000);
    EXPECT_EQ(s[2].tick - s[1].tick, 6000);
    time.advance(8999);
    EXPECT_TRUE(rec.results.empty());
    time.advance(1);
    ASSERT_EQ(rec.codes(), std::vector<int>{5});
}

TEST_F(LinkEngine, AnswerWithWrongSerialRestartsTheWait)
{
    const SentFrame f = submitAndSend(packet("CSYSI", 5, "ASYSI"));
    time.advance(50);
    deviceSends(5, "ASYSI", nem_kerek_nyugtat, f.serial % 250 + 3);
    const qint64 arrived = time.tickMs();
    EXPECT_TRUE(log.contains(QStringLiteral("KOSZA CS,VARUNK")));
    EXPECT_TRUE(rec.results.empty());
    ASSERT_TRUE(advanceUntilWrite(200));
    EXPECT_EQ(lastSent().tick - arrived, 110);
}

TEST_F(LinkEngine, DifferingTailRepeatsAfterGrowingWaitsUpToTenTries)
{
    SendWith(packet("CSYRE\x01", 5, "ASYREab"), port.get());
    std::vector<qint64> waits;
    int sends = 0;
    qint64 answeredAt = 0;
    while (advanceUntilWrite(1000)) {
        const SentFrame f = lastSent();
        ++sends;
        if (sends > 1)
            waits.push_back(f.tick - answeredAt);
        deviceSends(5, "ASYRExy", nem_kerek_nyugtat, f.serial);
        answeredAt = time.tickMs();
        ASSERT_TRUE(rec.results.empty() || sends == 10);
    }
    EXPECT_EQ(sends, 10);
    const std::vector<qint64> expected{300, 600, 900, 900, 900, 900, 900, 900, 900};
    EXPECT_EQ(waits, expected);
    ASSERT_EQ(rec.codes(), std::vector<int>{5});
    EXPECT_EQ(log.count(QStringLiteral("HIBAKOD - UJRAKULD")), 10);
}

TEST_F(LinkEngine, TailThatAgreesAsFarAsItGoesCompletes)
{
    const SentFrame f = submitAndSend(packet("CSYRE\x01", 5, "ASYREab"));
    deviceSends(5, "ASYREa", nem_kerek_nyugtat, f.serial);
    ASSERT_EQ(rec.codes(), std::vector<int>{0});
    EXPECT_EQ(rec.results[0].s, QByteArray("ASYREa"));
}

TEST_F(LinkEngine, NackIsAnsweredByAnImmediateResendWithTheNextSerial)
{
    const SentFrame f = submitAndSend(packet("CSYSI", 5, "ASYSI"));
    deviceSends(5, QByteArray(), negativ_nyugta, f.serial);
    const auto s = sent();
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[1].tick, time.tickMs());
    EXPECT_EQ(s[1].serial, f.serial % 250 + 1);
    EXPECT_EQ(s[1].info, kerek_nyugtat);
    EXPECT_EQ(s[1].data, QByteArray("CSYSI"));
    EXPECT_TRUE(log.contains(QStringLiteral("NACK - UJRAKULD")));
    deviceSends(5, "ASYSI", nem_kerek_nyugtat, s[1].serial);
    EXPECT_EQ(rec.codes(), std::vector<int>{0});
}

TEST_F(LinkEngine, DeviceRefusingEveryTryFailsThePacketInsteadOfLoopingForEver)
{
    submitAndSend(packet("CSYSI", 5, "ASYSI"));
    // Every frame the device gets is refused at once; the resends follow immediately.
    for (int i = 0; i < 20 && rec.results.empty(); ++i)
        deviceSends(5, QByteArray(), negativ_nyugta, lastSent().serial);
    // The first send and two resends make the three tries of a command.
    EXPECT_EQ(sentCount(), 3u);
    ASSERT_EQ(rec.codes(), std::vector<int>{7});
    EXPECT_EQ(log.count(QStringLiteral("NACK - UJRAKULD")), 2);
    EXPECT_TRUE(log.contains(QStringLiteral("NACK - FELADVA")));
    EXPECT_EQ(port->State(), LinkState::Idle);
    // The queue moves on.
    const SentFrame next = submitAndSend(packet("CSYSI", 6, "ASYSI"));
    EXPECT_EQ(next.to, 6u);
}

TEST_F(LinkEngine, AckThenAnswerWhenTheCommandAsksForBoth)
{
    // A positive wait time asks for an ACK and waits anew for the answer after it.
    SendTagged(port.get(), "CSYWE", 5, 800, 42, rec.onError(), rec.onRead(), "ASYWE");
    ASSERT_TRUE(advanceUntilWrite());
    const SentFrame f = lastSent();
    EXPECT_EQ(f.info, kerek_nyugtat);
    deviceSends(5, QByteArray(), pozitiv_nyugta, f.serial);
    EXPECT_TRUE(log.contains(QStringLiteral("PNY - VAR INDUL")));
    EXPECT_TRUE(rec.results.empty());
    time.advance(500);
    deviceSends(5, "ASYWE", nem_kerek_nyugtat, f.serial);
    ASSERT_EQ(rec.results.size(), 1u);
    EXPECT_EQ(rec.results[0].code, 0);
    EXPECT_EQ(rec.results[0].tag, 42);
    EXPECT_EQ(rec.results[0].s, QByteArray("ASYWE"));
    EXPECT_EQ(sentCount(), 1u);
}

TEST_F(LinkEngine, AcknowledgedCommandIsNeverRepeated)
{
    auto p = packet("CSYSI", 5, "ASYSI", psoForceAck);
    const SentFrame f = submitAndSend(std::move(p));
    deviceSends(5, QByteArray(), pozitiv_nyugta, f.serial);
    EXPECT_TRUE(log.contains(QStringLiteral("PNY - VAR FOLYT")));
    time.advance(2000);
    EXPECT_EQ(sentCount(), 1u);
    EXPECT_EQ(rec.codes(), std::vector<int>{5});
}

TEST_F(LinkEngine, AnyAnswerWithForceWaitWaitsTheWholeTime)
{
    SendTagged(port.get(), "CSYRS", 5, -400, 3, rec.onError(), rec.onRead(), "#");
    ASSERT_TRUE(advanceUntilWrite());
    const SentFrame f = lastSent();
    EXPECT_EQ(f.info, nem_kerek_nyugtat);
    deviceSends(5, "ASYRS1", nem_kerek_nyugtat, f.serial);
    EXPECT_TRUE(log.contains(QStringLiteral("VALASZ,MEG VARUNK")));
    EXPECT_EQ(port->State(), LinkState::Waiting);
    EXPECT_TRUE(rec.results.empty());
    time.advance(398);
    EXPECT_TRUE(rec.results.empty());
    time.advance(2);
    ASSERT_EQ(rec.codes(), std::vector<int>{0});
    EXPECT_EQ(rec.results[0].s, QByteArray("ASYRS1"));
    EXPECT_TRUE(log.contains(QStringLiteral("VAR VEGE, VALASZ OK")));
}

TEST_F(LinkEngine, PacketWithoutAckAndAnswerCompletesAfterTheWait)
{
    const SentFrame f = submitAndSend(packet("CSYRS", 5, {}, psoDontAck));
    EXPECT_EQ(f.info, nem_kerek_nyugtat);
    EXPECT_EQ(port->State(), LinkState::Waiting);
    time.advance(109);
    EXPECT_TRUE(rec.results.empty());
    time.advance(1);
    ASSERT_EQ(rec.codes(), std::vector<int>{0});
    EXPECT_EQ(rec.results[0].s, QByteArray("CSYAC"));
    EXPECT_TRUE(log.contains(QStringLiteral("URES VAR. VEGE")));
}

TEST_F(LinkEngine, QueueOfFiveHundredRefusesTheNextButNeverAQuickPacket)
{
    for (int i = 0; i < 500; ++i)
        SendWith(packet("CSYSI", 5, "ASYSI"), port.get());
    EXPECT_EQ(port->QueueCount(), 500);
    EXPECT_TRUE(rec.results.empty());
    SendWith(packet("CSYSI", 6, "ASYSI"), port.get());
    ASSERT_EQ(rec.codes(), std::vector<int>{4});
    EXPECT_TRUE(log.contains(QStringLiteral("PUFFER TELE")));

    SendWith(packet("AGSWD", 249, {}, psoDontAck | psoDontQueue), port.get());
    ASSERT_EQ(rec.codes(), (std::vector<int>{4, 0}));
    ASSERT_EQ(sentCount(), 1u);
    EXPECT_EQ(lastSent().data, QByteArray("AGSWD"));
    EXPECT_EQ(lastSent().to, 249u);
}

TEST_F(LinkEngine, StoppingWithFivePacketsQueuedReportsSixFirstPacketFirst)
{
    for (int i = 1; i <= 5; ++i) {
        auto p = packet("CSYSI", 5, "ASYSI");
        p->Tag = i;
        SendWith(std::move(p), port.get());
    }
    port->SetActive(false);
    ASSERT_EQ(rec.results.size(), 5u);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(rec.results[i].code, 6);
        EXPECT_EQ(rec.results[i].tag, i + 1);
    }
    EXPECT_EQ(port->QueueCount(), 0);
    EXPECT_FALSE(port->Connected());
    EXPECT_TRUE(log.contains(QStringLiteral("VBTPort inactive.")));
}

TEST_F(LinkEngine, FrameForAThirdDeviceLeavesTheExchangeAlone)
{
    const SentFrame f = submitAndSend(packet("CSYSI", 5, "ASYSI"));
    deviceSends(5, "ASYSI", nem_kerek_nyugtat, f.serial, false, 17);
    EXPECT_FALSE(log.contains(QStringLiteral("NEM PCNEK")));
    EXPECT_TRUE(rec.results.empty());
    EXPECT_EQ(port->State(), LinkState::AwaitingAnswer);
    deviceSends(5, "ASYSI", nem_kerek_nyugtat, f.serial);
    EXPECT_EQ(rec.codes(), std::vector<int>{0});

    // With every line logged it shows.
    port->MindenNaplozasa = true;
    deviceSends(5, "ASYSI", nem_kerek_nyugtat, 9, false, 17);
    EXPECT_TRUE(log.contains(QStringLiteral("NEM PCNEK")));
}

TEST_F(LinkEngine, DeviceAskingForAckGetsItInItsOwnFrameForm)
{
    port->SetVBTMode(PMDecodeBothEncodeVBT);
    deviceSends(7, "EELDL\x01", kerek_nyugtat, 33);
    SentFrame ack = lastSent();
    ASSERT_EQ(sentCount(), 1u);
    EXPECT_EQ(ack.info, pozitiv_nyugta);
    EXPECT_EQ(ack.serial, 33);
    EXPECT_EQ(ack.to, 7u);
    EXPECT_TRUE(ack.data.isEmpty());
    EXPECT_FALSE(ack.wide);
    EXPECT_EQ(port->LastAckSerial(), 33);
    EXPECT_TRUE(log.contains(QStringLiteral("NYUGTAKULDES")));

    deviceSends(0x00010007, "EELDL\x02", kerek_nyugtat, 34, true);
    ack = lastSent();
    ASSERT_EQ(sentCount(), 2u);
    EXPECT_TRUE(ack.wide);
    EXPECT_EQ(ack.info, pozitiv_nyugta);
    EXPECT_EQ(ack.serial, 34);
    EXPECT_EQ(ack.to, 0x00010007u);
    EXPECT_TRUE(ack.asyer);
}

TEST_F(LinkEngine, SerialsRunOneTo250AndWrap)
{
    std::vector<int> serials;
    for (int i = 0; i < 260; ++i) {
        const SentFrame f = submitAndSend(packet("CRLSO", 5));
        serials.push_back(f.serial);
        ASSERT_GE(f.serial, 1);
        ASSERT_LE(f.serial, 250);
        deviceSends(5, QByteArray(), pozitiv_nyugta, f.serial);
    }
    for (size_t i = 1; i < serials.size(); ++i)
        EXPECT_EQ(serials[i], serials[i - 1] % 250 + 1) << i;
    EXPECT_EQ(rec.codes(), std::vector<int>(260, 0));
}

TEST_F(LinkEngine, QuickPacketSerialKeepsAwayFromTheExchange)
{
    const SentFrame f = submitAndSend(packet("CSYSI", 5, "ASYSI"));
    const quint32 expectedBefore = port->ExpectedAddress();
    SendWith(packet("AGSWD", 249, {}, psoDontAck | psoDontQueue), port.get());
    const SentFrame q = lastSent();
    EXPECT_EQ(q.data, QByteArray("AGSWD"));
    EXPECT_GT(std::abs(q.serial - port->LastTxSerial()), 10);
    EXPECT_GT(std::abs(q.serial - port->LastRxSerial()), 10);
    EXPECT_EQ(port->ExpectedAddress(), expectedBefore);
    EXPECT_EQ(port->LastTxSerial(), f.serial);
    EXPECT_EQ(rec.codes(), std::vector<int>{0});
    EXPECT_TRUE(log.contains(QStringLiteral("GYORSPARANCS")));
    // The exchange goes on undisturbed.
    deviceSends(5, "ASYSI", nem_kerek_nyugtat, f.serial);
    EXPECT_EQ(rec.codes(), (std::vector<int>{0, 0}));
}

TEST_F(LinkEngine, WriteFailureFailsThePacketWithFourAndKeepsTheConnection)
{
    line().failWrites = true;
    SendWith(packet("CSYSI", 5, "ASYSI"), port.get());
    time.advance(10);
    EXPECT_EQ(rec.codes(), std::vector<int>{4});
    EXPECT_TRUE(port->Connected());
    EXPECT_TRUE(log.contains(QStringLiteral("KHIBA:Injected write")));
    line().failWrites = false;
    const SentFrame f = submitAndSend(packet("CSYSI", 5, "ASYSI"));
    deviceSends(5, "ASYSI", nem_kerek_nyugtat, f.serial);
    EXPECT_EQ(rec.codes(), (std::vector<int>{4, 0}));
}

TEST_F(LinkEngine, StalledWritesEndInNoAnswer)
{
    line().stallWrites = true;
    SendWith(packet("CSYSI", 5, "ASYSI"), port.get());
    time.advance(1000);
    EXPECT_EQ(rec.codes(), std::vector<int>{5});
    EXPECT_EQ(sentCount(), 0u);
    line().releaseStalled();
    EXPECT_EQ(decodeWrites(line().writes).size(), 1u); // three frames in one stalled chunk
    EXPECT_EQ(line().written().count(char(0xFE)), 3);
}

TEST_F(LinkEngine, PacketTooLargeFailsWithNine)
{
    SendWith(packet(QByteArray(3000, 'x'), 5), port.get());
    time.advance(10);
    EXPECT_EQ(rec.codes(), std::vector<int>{9});
    EXPECT_EQ(sentCount(), 0u);
    EXPECT_EQ(port->State(), LinkState::Idle);
}

TEST_F(LinkEngine, UndecodableFramesAreLoggedAndAnswerWithBadAddressFailsWith55)
{
    const SentFrame f = submitAndSend(packet("CSYSI", 5, "ASYSI"));
    QByteArray damaged = deviceFrame(5, "ASYSI", nem_kerek_nyugtat, f.serial);
    damaged[9] = 'X';
    receive(damaged);
    // The event column holds the first 20 characters of "HIBAS:1 ROSSZ CHSUM,VARUNK".
    EXPECT_TRUE(log.contains(QStringLiteral("HIBAS:1 ROSSZ CHSUM,")));
    EXPECT_TRUE(rec.results.empty());

    QByteArray badSender = deviceFrame(5, "ASYSI", nem_kerek_nyugtat, f.serial);
    badSender[2] = char(251);
    receive(badSender);
    ASSERT_EQ(rec.codes(), std::vector<int>{55});
    EXPECT_TRUE(log.contains(QStringLiteral("ROSSZ CIM")));
    EXPECT_EQ(port->State(), LinkState::Idle);

    // Not waiting: logged without ",VARUNK".
    receive(damaged);
    EXPECT_TRUE(log.contains(QStringLiteral("HIBAS:1 ROSSZ CHSUM ")));
}

TEST_F(LinkEngine, GarbageInFrontOfAFrameIsLoggedAsChunk)
{
    const SentFrame f = submitAndSend(packet("CSYSI", 5, "ASYSI"));
    receive(QByteArray("noise") + deviceFrame(5, "ASYSI", nem_kerek_nyugtat, f.serial));
    EXPECT_EQ(rec.codes(), std::vector<int>{0});
    EXPECT_TRUE(log.contains(QStringLiteral("CHUNK:")));
    EXPECT_TRUE(log.bytes().contains("noise"));
}

TEST_F(LinkEngine, AnswerSplitAcrossReadsIsReassembled)
{
    const SentFrame f = submitAndSend(packet("CSYSI", 5, "ASYSI"));
    const QByteArray frame = deviceFrame(5, "ASYSI-answer", nem_kerek_nyugtat, f.serial);
    for (char c : frame)
        receive(QByteArray(1, c));
    ASSERT_EQ(rec.codes(), std::vector<int>{0});
    EXPECT_EQ(rec.results[0].s, QByteArray("ASYSI-answer"));
}

TEST_F(LinkEngine, CallbacksMaySubmitAndStopTheEngine)
{
    auto p = packet("CSYSI", 5, "ASYSI");
    p->OnRead = [this](const QByteArray&, quint16, int) { SendWith(packet("CSYRE", 5, "ASYRE"), port.get()); };
    const SentFrame f = submitAndSend(std::move(p));
    deviceSends(5, "ASYSI", nem_kerek_nyugtat, f.serial);
    ASSERT_TRUE(advanceUntilWrite());
    EXPECT_EQ(lastSent().data, QByteArray("CSYRE"));

    auto stopper = packet("CSYSI", 5, "ASYSI");
    stopper->OnError = [this](const QByteArray&, quint16 c, int) {
        rec.results.push_back({time.tickMs(), {}, c, 0, QStringLiteral("stopper")});
        port->SetActive(false);
    };
    SendWith(std::move(stopper), port.get());
    deviceSends(5, "ASYRE", nem_kerek_nyugtat, lastSent().serial); // completes CSYRE
    time.advance(1000);
    // CSYRE completed (its own read callback is the recorder's), the stopper failed
    // with 5 and stopped the engine from inside its callback.
    EXPECT_EQ(rec.codes(), (std::vector<int>{0, 5}));
    EXPECT_FALSE(port->Active());
}

TEST_F(LinkEngine, DestroyingTheEngineCallsNoCallbacks)
{
    SendWith(packet("CSYSI", 5, "ASYSI"), port.get());
    SendWith(packet("CSYSI", 5, "ASYSI"), port.get());
    port.reset();
    EXPECT_TRUE(rec.results.empty());
}

TEST_F(LinkEngine, ClearQueueByHandlerWithdrawsExactlyThatHandlersPackets)
{
    // Keep the link busy with a first packet so that the others stay queued.
    Recorder other(time);
    SendWith(packet("CSYSI", 5, "ASYSI"), port.get());
    advanceUntilWrite();
    for (int i = 0; i < 3; ++i) {
        auto p = std::make_unique<TKuldendo>("CRLGS", 5);
        p->Options = psoTagged;
        p->OnRead = other.onRead();
        SendWith(std::move(p), port.get());
    }
    SendWithResult(port.get(), "CSYRE", 5, 0, "s", nullptr, 1, rec.onResult(), "ASYRE");
    EXPECT_EQ(port->QueueCount(), 5);

    port->ClearQueueByHandler(other.onRead());
    EXPECT_EQ(port->QueueCount(), 2);
    EXPECT_TRUE(log.contains(QStringLiteral("KuldlistaTakaritas. Assigned(TOnIncoming_tagged) = -1 Kuldendok.Count = 5")));
    port->ClearQueueByResultHandler(rec.onResult());
    EXPECT_EQ(port->QueueCount(), 1);
    EXPECT_TRUE(log.contains(QStringLiteral("KuldlistaTakaritas. Assigned(TOnVBTCmdResult) = -1 Kuldendok.Count = 2")));
    EXPECT_TRUE(other.results.empty());
    EXPECT_TRUE(rec.results.empty());
    // The packet being answered is not disturbed.
    EXPECT_EQ(port->State(), LinkState::AwaitingAnswer);
    deviceSends(5, "ASYSI", nem_kerek_nyugtat, lastSent().serial);
    EXPECT_EQ(rec.codes(), std::vector<int>{0});

    // An empty handler withdraws everything, the exchange included.
    SendWith(packet("CSYSI", 5, "ASYSI"), port.get());
    advanceUntilWrite();
    port->ClearQueueByHandler(TOnIncoming_tagged());
    EXPECT_EQ(port->QueueCount(), 0);
    EXPECT_EQ(port->State(), LinkState::Idle);
    EXPECT_FALSE(port->AnswerTimerRunning());
}

TEST_F(LinkEngine, MemberHandlersAreTheSameHandlerWhenBoundTwice)
{
    struct Owner {
        void read(const QByteArray&, quint16, int) {}
        void other(const QByteArray&, quint16, int) {}
    } a, b;
    const auto ar = TOnIncoming_tagged::member(&a, &Owner::read);
    EXPECT_TRUE(ar.sameHandler(TOnIncoming_tagged::member(&a, &Owner::read)));
    EXPECT_FALSE(ar.sameHandler(TOnIncoming_tagged::member(&b, &Owner::read)));
    EXPECT_FALSE(ar.sameHandler(TOnIncoming_tagged::member(&a, &Owner::other)));
    const TOnIncoming_tagged lambda = [](const QByteArray&, quint16, int) {};
    const TOnIncoming_tagged copy = lambda;
    EXPECT_TRUE(lambda.sameHandler(copy));
    EXPECT_FALSE(lambda.sameHandler(TOnIncoming_tagged([](const QByteArray&, quint16, int) {})));
}

// ---- reporting ---------------------------------------------------------------------------

TEST_F(LinkEngine, AckWithoutNyugtatIsJelezzeReportsTheBareAck)
{
    port->Nyugtat_is_jelezze = false;
    const SentFrame f = submitAndSend(packet("CRLSO", 5));
    deviceSends(5, QByteArray(), pozitiv_nyugta, f.serial);
    ASSERT_EQ(rec.codes(), std::vector<int>{0});
    EXPECT_TRUE(rec.results[0].s.isEmpty());
}

TEST_F(LinkEngine, SuccessOfAPacketWithoutCallbacksGoesToTheEnginesOnRead)
{
    std::vector<std::pair<QByteArray, int>> reads;
    port->OnRead = [&reads](const QByteArray& s, quint16, int tag) { reads.push_back({s, tag}); };
    auto p = std::make_unique<TKuldendo>("CSYSI", 5);
    p->ExpectedAnswer = "ASYSI";
    p->Tag = 77;
    SendWith(std::move(p), port.get());
    advanceUntilWrite();
    deviceSends(5, "ASYSI", nem_kerek_nyugtat, lastSent().serial);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].first, QByteArray("ASYSI"));
    EXPECT_EQ(reads[0].second, 77);

    // Completed by an ACK: only with Nyugtat_is_jelezze, as "CSYAC".
    SendWith(std::make_unique<TKuldendo>("CRLSO", 5), port.get());
    advanceUntilWrite();
    deviceSends(5, QByteArray(), pozitiv_nyugta, lastSent().serial);
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[1].first, QByteArray("CSYAC"));
    port->Nyugtat_is_jelezze = false;
    SendWith(std::make_unique<TKuldendo>("CRLSO", 5), port.get());
    advanceUntilWrite();
    deviceSends(5, QByteArray(), pozitiv_nyugta, lastSent().serial);
    EXPECT_EQ(reads.size(), 2u);
}

TEST_F(LinkEngine, UntaggedPacketsReportThroughOnResultWithTheirTags)
{
    int marker = 0;
    std::vector<std::tuple<TVBTComms*, QByteArray, int, int, void*, QString>> results;
    const TOnVBTCmdResult onResult = [&results](TVBTComms* sender, const QByteArray& s, quint16 c, int tag, void* obj,
                                                const QString& str) { results.emplace_back(sender, s, c, tag, obj, str); };
    SendWithResult(port.get(), "CSYRE", 5, 0, "block", &marker, 4, onResult, "ASYRE");
    advanceUntilWrite();
    deviceSends(5, "ASYRE\x09", nem_kerek_nyugtat, lastSent().serial);
    SendWithResult(port.get(), "CSYRE", 5, 0, "block", &marker, 5, onResult, "ASYRE");
    time.advance(1000);
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(std::get<0>(results[0]), port.get());
    EXPECT_EQ(std::get<1>(results[0]), QByteArray("ASYRE\x09"));
    EXPECT_EQ(std::get<2>(results[0]), 0);
    EXPECT_EQ(std::get<3>(results[0]), 4);
    EXPECT_EQ(std::get<4>(results[0]), &marker);
    EXPECT_EQ(std::get<5>(results[0]), QStringLiteral("block"));
    EXPECT_EQ(std::get<2>(results[1]), 5);
    EXPECT_EQ(std::get<3>(results[1]), 5);
}

TEST_F(LinkEngine, PollCommandUsesThePollTimeoutAndNeverRepeats)
{
    SendPollCommand(port.get(), "CRLGS\x00", 8, rec.onRead(), "ARLGS");
    ASSERT_TRUE(advanceUntilWrite());
    EXPECT_EQ(lastSent().info, nem_kerek_nyugtat);
    time.advance(99);
    EXPECT_TRUE(port->AnswerTimerRunning());
    time.advance(1);
    EXPECT_FALSE(port->AnswerTimerRunning());
    time.advance(500);
    EXPECT_EQ(sentCount(), 1u);
    EXPECT_TRUE(rec.results.empty()) << "a poll command has no failure callback";
}

// ---- submission errors -------------------------------------------------------------------------

TEST(LinkSubmission, MissingLinkThrows)
{
    try {
        SendWith(std::make_unique<TKuldendo>(QByteArray("CSYSI\x01"), 5), nullptr);
        FAIL();
    } catch (const VBTError& e) {
        EXPECT_EQ(e.text(), QStringLiteral("Unassigned VBTPort in SendWith. Pck: CSYSI#1"));
    }
}

TEST_F(LinkEngine, TagObjWithoutOnResultThrows)
{
    int obj = 0;
    auto p = std::make_unique<TKuldendo>("CSYSI", 5);
    p->TagObj = &obj;
    try {
        SendWith(std::move(p), port.get());
        FAIL();
    } catch (const VBTError& e) {
        EXPECT_EQ(e.text(), QStringLiteral("Use of ObjTag without specifing OnResult: CSYSI"));
    }
    EXPECT_EQ(port->QueueCount(), 0);
}

class ForbiddenOptions : public LinkEngine,
                         public ::testing::WithParamInterface<std::tuple<TVBTSendOptions, const char*>> {};

TEST_P(ForbiddenOptions, Throw)
{
    auto p = std::make_unique<TKuldendo>("CSYSI", 5);
    p->Options = std::get<0>(GetParam());
    try {
        SendWith(std::move(p), port.get());
        FAIL();
    } catch (const VBTError& e) {
        EXPECT_EQ(e.text(), QStringLiteral("Invalid options: %1 (CSYSI)").arg(QString::fromLatin1(std::get<1>(GetParam()))));
    }
    EXPECT_EQ(port->QueueCount(), 0);
    EXPECT_EQ(sentCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, ForbiddenOptions,
    ::testing::Values(
        std::make_tuple(TVBTSendOptions(psoForceAck | psoDontAck), "psoForceAck, psoDontAck"),
        std::make_tuple(TVBTSendOptions(psoDontAck | psoWaitAfterAck), "psoDontAck, psoWaitAfterAck"),
        std::make_tuple(TVBTSendOptions(psoForceWait | psoDontQueue), "psoForceWait, psoDontQueue"),
        std::make_tuple(TVBTSendOptions(psoWaitAfterAck | psoDontQueue), "psoWaitAfterAck, psoDontQueue"),
        std::make_tuple(TVBTSendOptions(psoDontQueue | psoUsePollTimeout), "psoDontQueue, psoUsePollTimeout"),
        // Several pairs: the first in order is named.
        std::make_tuple(TVBTSendOptions(psoForceAck | psoDontAck | psoWaitAfterAck), "psoForceAck, psoDontAck")));

TEST_F(LinkEngine, RefusalsComeBeforeTheOptionChecks)
{
    port->SetActive(false);
    auto p = packet("CSYSI", 5, {}, psoForceAck | psoDontAck);
    EXPECT_NO_THROW(SendWith(std::move(p), port.get()));
    EXPECT_EQ(rec.codes(), std::vector<int>{2});
    EXPECT_TRUE(log.contains(QStringLiteral("NEM AKTIV")));
}

// ---- not connected ---------------------------------------------------------------------------

class LinkDisconnected : public LinkTest {};

TEST_F(LinkDisconnected, QueuedPacketsAreDroppedOnePerQueueTimeout)
{
    makeTcpPort(false);
    port->SetActive(true);
    ASSERT_FALSE(port->Connected());
    for (int i = 1; i <= 3; ++i) {
        auto p = packet("CSYSI", 5, "ASYSI");
        p->Tag = i;
        SendWith(std::move(p), port.get());
    }
    // The first send cycle starts the queue timer with Timeout_3.
    time.advance(1);
    time.advance(229);
    EXPECT_TRUE(rec.results.empty());
    time.advance(1);
    ASSERT_EQ(rec.codes(), std::vector<int>{3});
    time.advance(230);
    ASSERT_EQ(rec.codes(), (std::vector<int>{3, 3}));
    time.advance(230);
    ASSERT_EQ(rec.codes(), (std::vector<int>{3, 3, 3}));
    EXPECT_EQ(rec.results[2].tag, 3);
    EXPECT_EQ(log.count(QStringLiteral("NINCS KAPCSOLAT")), 3);

    // A quick packet is refused at once while not connected.
    SendWith(packet("AGSWD", 249, {}, psoDontQueue | psoDontAck | psoDontLog), port.get());
    EXPECT_EQ(rec.codes().back(), 3);
    EXPECT_TRUE(log.contains(QStringLiteral("NINCS KAPCS ")));
}

TEST_F(LinkDisconnected, QueueTimeoutIsAtLeastTheFirstPacketsWaitTime)
{
    makeTcpPort(false);
    port->SetActive(true);
    auto p = packet("CSYRE", 5, "ASYRE");
    p->WaitTime = 5000;
    SendWith(std::move(p), port.get());
    time.advance(5000);
    EXPECT_TRUE(rec.results.empty());
    time.advance(2);
    EXPECT_EQ(rec.codes(), std::vector<int>{3});
}

TEST_F(LinkDisconnected, SerialPortMissingOrBusyDropsWithElevenOrTen)
{
    makeSerialPort(QStringLiteral("/dev/ttyFAKE0"), false);
    port->SetActive(true);
    EXPECT_EQ(port->ConnectionState(), TVBTComms::TConnectionState::noSuchPort);
    SendWith(packet("CSYSI", 5, "ASYSI"), port.get());
    time.advance(300);
    EXPECT_EQ(rec.codes(), std::vector<int>{11});

    port->SetActive(false);
    transports.devices[QStringLiteral("/dev/ttyFAKE0")] = {true};
    port->SetActive(true);
    EXPECT_EQ(port->ConnectionState(), TVBTComms::TConnectionState::portBusy);
    SendWith(packet("CSYSI", 5, "ASYSI"), port.get());
    time.advance(300);
    EXPECT_EQ(rec.codes(), (std::vector<int>{11, 10}));
}

TEST_F(LinkDisconnected, ConnectionLostDuringTheExchangeFailsWithThree)
{
    makeTcpPort(true);
    port->SetActive(true);
    SendWith(packet("CSYSI", 5, "ASYSI"), port.get());
    advanceUntilWrite();
    transports.tcp->dropByPeer();
    time.advance(200);
    EXPECT_EQ(rec.codes(), std::vector<int>{3});
}

} // namespace
} // namespace cvx::test
