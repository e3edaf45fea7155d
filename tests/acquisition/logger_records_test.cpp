// Data-logger records on virtual time: the sequence check, empty records, the record
// downloader started by a gap and fed by a device on an in-memory line.

#include "acquisition_fixture.h"

#include "devproto/binary_params.h"
#include "devproto/flash_manager.h"
#include "link/vbt_comms.h"

using namespace cvx;
using namespace cvx::test;

namespace {

class LoggerTest : public AcquisitionTest {
protected:
    LoggerTest()
    {
        transports.autoConnect = true;
        logger = &addInterface(1, svBridgeWithLogger, ptVBT, 60'000);
        th = &addSensor(2, 1, stTempHumidity, 5, 60'000);
        flash().SetLastRecIDOnPC(10);
        acq->StartAll();
    }
    TFlashManager& flash() { return *logger->FlashManager; }

    static QByteArray record(qint64 id, const QDateTime& t, int address, const QByteArray& data8, char type = 'g')
    {
        QByteArray r = IntToParam4(id) + EncodePackedDateTime(t) + type + char(address) + char(0) + data8;
        r.resize(21, '\0');
        return r;
    }
    static QByteArray climate(int t, int h) { return le16(t) + le16(h) + QByteArray(4, '\0'); }
    void event(const QByteArray& rec) { acq->HandleLoggerEvent(*logger, QByteArray("EELDL") + rec, 0); }
    // The logger answers the last request on the line.
    void loggerAnswers(const QByteArray& payload)
    {
        const auto sent = framesOn(*transports.tcp);
        ASSERT_FALSE(sent.empty());
        TVBTProtocol device;
        device.VBTMode = PMVBTOnly;
        device.Cimzett = 250;
        device.Felado = sent.back().to;
        device.Felado_rovid_cim = quint8(sent.back().to);
        device.CsomagSorszam = quint8(sent.back().serial);
        transports.tcp->feed(device.EncodeFrame(payload));
        time.advance(3);
    }
    // The frame the link sends next (waiting at most a second of virtual time).
    SentFrame lastSent()
    {
        const size_t before = framesOn(*transports.tcp).size();
        for (int i = 0; i < 1000 && framesOn(*transports.tcp).size() == before; ++i)
            time.advance(1);
        const auto sent = framesOn(*transports.tcp);
        return sent.size() > before ? sent.back() : SentFrame{};
    }

    TProbe* logger = nullptr;
    TProbe* th = nullptr;
};

TEST_F(LoggerTest, TheNextRecordInSequenceIsProcessedAtItsOwnTime)
{
    ASSERT_TRUE(logger->LoggerLink->Active());
    EXPECT_FALSE(logger->Link->Pollingolo);
    const QDateTime at = now().addSecs(-30);
    event(record(11, at, 5, climate(2150, 455)));
    EXPECT_TRUE(logger->InSync);
    EXPECT_EQ(flash().LastRecIDOnPC(), 11);
    EXPECT_EQ(flash().LastRecIDInFlash(), 11);
    EXPECT_EQ(th->RawValues[mtT], 2150);
    EXPECT_EQ(th->RawValues[mtH], 455);
    EXPECT_EQ(th->LastMeasureTime, at.addMSecs(0));
    ASSERT_EQ(store.rowsOf(2, mtT).size(), 1u);
    EXPECT_EQ(store.rowsOf(2, mtT)[0].time, at);

    // Records of other kinds and other addresses move the sequence on without a measurement.
    event(record(12, at, 5, climate(2150, 455), 'x'));
    EXPECT_EQ(flash().LastRecIDOnPC(), 11) << "a record of another kind is not handled here";
    event(record(12, at, 77, climate(2150, 455)));
    EXPECT_EQ(flash().LastRecIDOnPC(), 11) << "no sensor at that address";
    event(record(12, at.addSecs(60), 5, climate(2160, 455)));
    EXPECT_EQ(flash().LastRecIDOnPC(), 12);
    EXPECT_EQ(th->RawValues[mtT], 2160);
    event(QByteArray(15, 'x'));
    EXPECT_EQ(flash().LastRecIDOnPC(), 12) << "a record of a wrong length is ignored";
}

TEST_F(LoggerTest, AGapStartsTheDownloaderWhichFetchesTheMissingRecords)
{
    const QDateTime at = now().addSecs(-300);
    event(record(15, at.addSecs(240), 5, climate(2300, 500)));
    EXPECT_FALSE(logger->InSync);
    EXPECT_EQ(th->Recent.size(), 0u) << "out of sequence: not processed";
    EXPECT_TRUE(flash().Busy());
    SentFrame q = lastSent();
    EXPECT_EQ(q.data, "CELST");
    EXPECT_EQ(q.to, 249u);

    loggerAnswers(QByteArray("AELST") + IntToParam4(1) + IntToParam4(15));
    EXPECT_TRUE(log.contains(QStringLiteral("if1 - új adatok: 11-15")));
    q = lastSent();
    EXPECT_EQ(q.data, QByteArray("CELDL") + IntToParam4(11) + char(5));
    QByteArray records;
    for (int i = 0; i < 5; ++i)
        records += record(11 + i, at.addSecs(60 * i), 5, climate(2000 + 10 * i, 500));
    loggerAnswers(QByteArray("AELDL") + records);

    EXPECT_TRUE(logger->InSync);
    EXPECT_FALSE(flash().Busy());
    EXPECT_EQ(flash().LastRecIDOnPC(), 15);
    EXPECT_TRUE(log.contains(QStringLiteral("if1 - 5 új rekord letöltve.")));
    const auto rows = store.rowsOf(2, mtT);
    ASSERT_EQ(rows.size(), 5u) << "one recorded row per minute of logger time";
    EXPECT_EQ(rows[0].time, at);
    EXPECT_EQ(rows[0].value, "2000");
    EXPECT_EQ(rows[4].time, at.addSecs(240));
    EXPECT_EQ(rows[4].value, "2040");
    EXPECT_EQ(th->LastLoggerRecordTime, at.addSecs(240));
    EXPECT_FALSE(th->LastRecordTime.isValid()) << "live recording keeps its own clock";
    EXPECT_EQ(th->LastRowIds[mtT], 0) << "downloaded rows are never rewritten";
    EXPECT_TRUE(store.updates.empty());
    EXPECT_EQ(logger->Progress, 100);

    // Back in sequence: the next event is processed at once.
    event(record(16, now(), 5, climate(2100, 500)));
    EXPECT_EQ(flash().LastRecIDOnPC(), 16);
    EXPECT_EQ(th->RawValues[mtT], 2100);
}

TEST_F(LoggerTest, EmptyRecordsInSequenceMarkTheSensorInactiveWithoutStoring)
{
    shellState().INACTIVITY_FACTOR = 2;
    event(record(11, now(), 5, climate(2000, 500)));
    store.clear();
    event(record(12, now(), 5, QByteArray(8, char(0xFF))));
    EXPECT_FALSE(th->Inactive);
    EXPECT_EQ(th->EmptyRecordCount, 1);
    event(record(13, now(), 5, QByteArray(8, char(0xFF))));
    EXPECT_TRUE(th->Inactive);
    EXPECT_TRUE(store.adds.empty());
    EXPECT_TRUE(store.updates.empty());
    EXPECT_EQ(th->RawValues[mtT], 2000) << "the last values stay";
    event(record(14, now(), 5, climate(2010, 500)));
    EXPECT_FALSE(th->Inactive);
    EXPECT_EQ(th->EmptyRecordCount, 0);
}

TEST_F(LoggerTest, DownloadedRecordsDifferFromLiveOnes)
{
    int events = 0;
    acq->Hooks.EvaluateEvents = [&](TProbe&) { ++events; };
    int replies = 0;
    acq->Hooks.StartClientReplyTimer = [&] { ++replies; };
    th->RelayLocks.insert("1", {1, "x"}); // no latch from records
    std::vector<bool> recorded;
    acq->AddViewObserver([&](TProbe&, bool r, qint64) { recorded.push_back(r); });
    logger->InSync = false;
    const QDateTime at = now().addSecs(-3600);
    ASSERT_TRUE(acq->HandleLoggerRecord(*th, record(5, at, 5, climate(1950, 400))));
    ASSERT_TRUE(acq->HandleLoggerRecord(*th, record(6, at.addSecs(10), 5, climate(1960, 400))));
    EXPECT_EQ(th->LastAnswer.toLatin1(), QByteArray("AITGD") + climate(1960, 400) + QByteArray(2, '\0'));
    EXPECT_EQ(events, 0) << "out of sync: no event evaluation";
    EXPECT_EQ(replies, 0);
    EXPECT_EQ(recorded, (std::vector<bool>{true, true})) << "always shown as recorded";
    EXPECT_EQ(store.rowsOf(2, mtT).size(), 1u) << "the second is within the recording rate";
    EXPECT_TRUE(store.rowsOf(2, mtTAv).empty()) << "averages stay out of records";
    EXPECT_FALSE(th->HasValue(mtTAv));
    EXPECT_TRUE(th->HasValue(mtUe));
    EXPECT_EQ(th->Recent.size(), 2u);
    logger->InSync = true;
    acq->HandleLoggerRecord(*th, record(7, at.addSecs(120), 5, climate(1970, 400)));
    EXPECT_EQ(events, 1);
    // Empty records count only while in sync.
    logger->InSync = false;
    acq->HandleLoggerRecord(*th, record(8, at.addSecs(180), 5, QByteArray(8, char(0xFF))));
    EXPECT_EQ(th->EmptyRecordCount, 0);
    EXPECT_FALSE(th->HasValue(mtT));
    // A record without a readable time stamp is left out.
    QByteArray noTime = record(9, at, 5, climate(1980, 400));
    noTime.replace(4, 6, QByteArray(6, '\0'));
    EXPECT_TRUE(acq->HandleLoggerRecord(*th, noTime));
    EXPECT_EQ(th->Recent.size(), 4u);
}

TEST_F(LoggerTest, DownloaderOutcomesAreLoggedAndUnknownRecordKindsSkipped)
{
    bool canContinue = true;
    acq->OnFlashRecord(*logger, FRecErrVBTError, 11, {}, 0, canContinue);
    EXPECT_TRUE(log.contains(QStringLiteral("if1 - Kommunikációs hiba. A lekérdezés megszakadt.")));
    acq->OnFlashRecord(*logger, FRecNoRecords, 11, {}, 0, canContinue);
    EXPECT_TRUE(log.contains(QStringLiteral("if1 - A kért tartomány üres. A lekérdezés megszakadt.")));

    QByteArray odd = record(11, now(), 5, climate(2000, 400), 'e');
    odd.resize(24, '\0');
    canContinue = true;
    acq->OnFlashRecord(*logger, FRecOK, 11, odd, 50, canContinue);
    EXPECT_TRUE(canContinue);
    EXPECT_TRUE(log.contains(QStringLiteral("if1 - Nem implementált eseménytípus: 101 FlashID/tartalom: 11 / ")));
    EXPECT_EQ(flash().LastRecIDOnPC(), 11);
    EXPECT_EQ(logger->Progress, 50);
    EXPECT_FALSE(logger->InSync) << "the download is not over";
    canContinue = true;
    acq->OnFlashRecord(*logger, FRecOK, 11, odd, 100, canContinue);
    EXPECT_TRUE(logger->InSync) << "an old record is skipped, and the download ends";
    EXPECT_TRUE(log.contains(QStringLiteral("új rekord letöltve.")));
}

TEST_F(LoggerTest, AnErasedLoggerIsReadFromItsFirstRecord)
{
    event(record(3, now(), 5, climate(2000, 400))); // the PC holds 10: the logger was erased
    EXPECT_FALSE(logger->InSync);
    EXPECT_EQ(lastSent().data, "CELST");
    loggerAnswers(QByteArray("AELST") + IntToParam4(1) + IntToParam4(3));
    EXPECT_TRUE(log.contains(QStringLiteral("if1 - törölt flash; PC: 10 Flash: 1-3")));
    EXPECT_TRUE(log.contains(QStringLiteral("if1 - törlés utáni új adatok: 1-3")));
    const SentFrame q = lastSent();
    EXPECT_EQ(q.data, QByteArray("CELDL") + IntToParam4(1) + char(3));
    QByteArray records;
    for (int i = 1; i <= 3; ++i)
        records += record(i, now().addSecs(-300 + 100 * i), 5, climate(1900 + i, 400));
    loggerAnswers(QByteArray("AELDL") + records);
    EXPECT_EQ(flash().LastRecIDOnPC(), 3);
    EXPECT_TRUE(logger->InSync);
    EXPECT_EQ(store.rowsOf(2, mtT).size(), 3u) << "100 s apart: each one recorded";
}

TEST_F(LoggerTest, ADisconnectTakesTheInterfaceOutOfSync)
{
    event(record(11, now(), 5, climate(2000, 400)));
    ASSERT_TRUE(logger->InSync);
    transports.tcp->dropByPeer();
    EXPECT_FALSE(logger->InSync);
}

TEST_F(LoggerTest, LoggerEventsArriveThroughTheLoggerLink)
{
    TVBTProtocol device;
    device.VBTMode = PMVBTOnly;
    device.Cimzett = 250;
    device.Felado = 249;
    device.Felado_rovid_cim = 249;
    device.CsomagSorszam = 77;
    device.Info = kerek_nyugtat;
    transports.tcp->feed(device.EncodeFrame(QByteArray("EELDL") + record(11, now(), 5, climate(2222, 400))));
    time.advance(3);
    EXPECT_EQ(th->RawValues[mtT], 2222);
    EXPECT_EQ(flash().LastRecIDOnPC(), 11);
    const auto sent = framesOn(*transports.tcp);
    ASSERT_FALSE(sent.empty());
    const SentFrame ack = sent.back();
    EXPECT_EQ(ack.info, pozitiv_nyugta) << "the logger's report is acknowledged";
    EXPECT_EQ(ack.to, 249u);
}

TEST_F(LoggerTest, TheClockIsSetEveryFiveMinutes)
{
    time.advance(300'000);
    const auto sent = framesOn(*transports.tcp);
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back().data, QByteArray("CRTSC") + EncodePackedDateTime(now()));
}

} // namespace

namespace {

TEST_F(LoggerTest, AnOverrunIsLoggedAndNoDownloadStartsWhileAModalDialogIsOpen)
{
    flash().SetLastRecIDInFlash(120);
    shellState().ModalOpen = true;
    acq->OnFlashStatus(*logger, FStOkNewRecordsAvailable, TFMFlashWarnings{FWrFlashOverrun});
    EXPECT_TRUE(log.contains(QStringLiteral("if1 - körbefordulás; PC: 10 Flash: 1-120")));
    EXPECT_TRUE(log.contains(QStringLiteral("if1 - új adatok: 11-120")));
    EXPECT_FALSE(flash().Busy()) << "a modal dialog is open";
    shellState().ModalOpen = false;
    acq->OnFlashStatus(*logger, FStOkNewRecordsAvailable, {});
    EXPECT_TRUE(flash().Busy());
    EXPECT_EQ(lastSent().data, QByteArray("CELDL") + IntToParam4(11) + char(5));
    acq->OnFlashStatus(*logger, FStOkNoNewRecords, {});
    EXPECT_TRUE(flash().Busy()) << "nothing to do for other statuses";
}

} // namespace
