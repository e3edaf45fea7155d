// The record downloader on virtual time, against a fake logger behind the link engine.
#include "fake_logger.h"

#include "devproto/flash_manager.h"
#include "test_support.h"

namespace cvx {
inline void PrintTo(TFMFlashStatus s, std::ostream* os) { *os << FlashStatusName(s).toStdString(); }
inline void PrintTo(TFMRecordInfo i, std::ostream* os) { *os << RecordInfoName(i).toStdString(); }
inline void PrintTo(TFMFlashWarnings w, std::ostream* os) { *os << "{" << FlashWarningsText(w).toStdString() << "}"; }
} // namespace cvx

namespace cvx::test {
namespace {

struct StatusEvent {
    TFMFlashStatus status;
    TFMFlashWarnings warnings;
};

struct RecordEvent {
    TFMRecordInfo info;
    qint64 id;
    QByteArray text;
    QByteArray record;
    int percent;
};

class FlashTest : public LoggerTest {
protected:
    FlashTest()
    {
        fm.SetVBTPort(loggerLink);
        fm.SetFirmwareType(FMFWCorvalux);
        fm.OnStatus = [this](TFlashManager&, TFMFlashStatus s, TFMFlashWarnings w) { statuses.push_back({s, w}); };
        fm.OnRecord = [this](TFlashManager&, TFMRecordInfo info, TFMRecordWarnings warnings, qint64 id,
                             const QByteArray& text, const QByteArray& record, int percent, bool& canContinue) {
            EXPECT_TRUE(warnings.empty());
            events.push_back({info, id, text, record, percent});
            if (info == FRecOK && stopAfter > 0 && int(events.size()) >= stopAfter)
                canContinue = false;
        };
    }

    // Sets the computer's last identifier, asks the logger and waits for the answer.
    void queryWith(qint64 lastOnPc)
    {
        fm.SetLastRecIDOnPC(lastOnPc);
        const size_t before = statuses.size();
        fm.QueryStatus();
        ASSERT_TRUE(runUntil([&] { return statuses.size() > before; }));
    }
    bool downloadDone(int maxMs = 60000) { return runUntil([&] { return !fm.Busy(); }, maxMs); }
    std::vector<qint64> okIds() const
    {
        std::vector<qint64> ids;
        for (const auto& e : events)
            if (e.info == FRecOK)
                ids.push_back(e.id);
        return ids;
    }
    static std::vector<qint64> range(qint64 from, qint64 to)
    {
        std::vector<qint64> v;
        for (qint64 i = from; i <= to; ++i)
            v.push_back(i);
        return v;
    }

    TFlashManager fm;
    std::vector<StatusEvent> statuses;
    std::vector<RecordEvent> events;
    int stopAfter = 0;
};

// ---- classification -------------------------------------------------------------------

struct ClassCase {
    const char* name;
    qint64 pc, first, last; // last 0: an empty (erased) store
    TFMFlashStatus status;
    TFMFlashWarnings warnings;
};

void PrintTo(const ClassCase& c, std::ostream* os) { *os << c.name; }

class Classification : public FlashTest, public ::testing::WithParamInterface<ClassCase> {};

TEST_P(Classification, StateAnswerIsClassifiedAgainstTheComputersLastRecord)
{
    const ClassCase& c = GetParam();
    logger.holdRecords(c.first, c.last);
    queryWith(c.pc);
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_EQ(statuses[0].status, c.status);
    EXPECT_EQ(statuses[0].warnings, c.warnings);
    EXPECT_EQ(fm.Status(), c.status);
    EXPECT_EQ(fm.Warnings(), c.warnings);
    EXPECT_EQ(fm.FirstRecIDInFlash(), c.last == 0 ? 1 : c.first);
    EXPECT_EQ(fm.LastRecIDInFlash(), c.last);
    EXPECT_EQ(fm.LastErrorCode(), 0);
    EXPECT_FALSE(fm.Busy());
    // The state request asks for no acknowledgement: an answer is expected.
    ASSERT_EQ(logger.requestsOf(cmd::CELST).size(), 1u);
    EXPECT_EQ(logger.requestsOf(cmd::CELST)[0].info, nem_kerek_nyugtat);
}

INSTANTIATE_TEST_SUITE_P(
    Flash, Classification,
    ::testing::Values(
        ClassCase{"NewRecords", 100, 50, 120, FStOkNewRecordsAvailable, {}},
        ClassCase{"Overrun", 40, 50, 120, FStOkNewRecordsAvailable, {FWrFlashOverrun}},
        ClassCase{"NothingLostRightBeforeTheOldest", 49, 50, 120, FStOkNewRecordsAvailable, {}},
        ClassCase{"FreshComputer", 0, 1, 3, FStOkNewRecordsAvailable, {}},
        ClassCase{"FreshComputerWrappedLogger", 0, 50, 120, FStOkNewRecordsAvailable, {FWrFlashOverrun}},
        ClassCase{"UpToDate", 120, 50, 120, FStOkNoNewRecords, {}},
        ClassCase{"OneAheadOfLogger", 121, 50, 120, FStErrLastRecIDLessThanOnPC, {FWrProbablyFlashError}},
        ClassCase{"FarAheadOfLogger", 200, 50, 120, FStErrLastRecIDLessThanOnPC, {}},
        ClassCase{"ErasedStore", 137, 0, 0, FStErrLastRecIDLessThanOnPC, {}},
        ClassCase{"ErasedStoreFreshComputer", 0, 0, 0, FStOkNoNewRecords, {}},
        ClassCase{"ErasedAndRefilled", 500, 1, 3, FStErrLastRecIDLessThanOnPC, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FlashTest, IdentifierSettersReclassifyWithoutTraffic)
{
    logger.holdRecords(50, 120);
    queryWith(120);
    EXPECT_EQ(fm.Status(), FStOkNoNewRecords);
    const size_t written = line().writes.size();

    fm.SetLastRecIDInFlash(125); // an EELDL report
    EXPECT_EQ(fm.Status(), FStOkNewRecordsAvailable);
    fm.SetLastRecIDOnPC(125);
    EXPECT_EQ(fm.Status(), FStOkNoNewRecords);
    fm.SetLastRecIDOnPC(126);
    EXPECT_EQ(fm.Status(), FStErrLastRecIDLessThanOnPC);
    EXPECT_EQ(fm.Warnings(), TFMFlashWarnings{FWrProbablyFlashError});
    fm.SetLastRecIDOnPC(30);
    EXPECT_EQ(fm.Warnings(), TFMFlashWarnings{FWrFlashOverrun});
    run(50);
    EXPECT_EQ(line().writes.size(), written);
    EXPECT_EQ(statuses.size(), 1u); // no OnStatus without a state answer
}

TEST_F(FlashTest, SilentLoggerGivesVbtErrorStatusAndResetsTheIdentifiers)
{
    logger.holdRecords(50, 120);
    queryWith(100);
    EXPECT_EQ(fm.FirstRecIDInFlash(), 50);

    logger.answerOverride = [](const QByteArray&) { return QByteArray(); };
    const qint64 start = time.tickMs();
    queryWith(100);
    ASSERT_EQ(statuses.size(), 2u);
    EXPECT_EQ(statuses[1].status, FStErrVBTError);
    EXPECT_TRUE(statuses[1].warnings.empty());
    EXPECT_EQ(fm.LastErrorCode(), vbt::rcNoAnswer);
    EXPECT_EQ(fm.FirstRecIDInFlash(), 1);
    EXPECT_EQ(fm.LastRecIDInFlash(), 0);
    EXPECT_GE(time.tickMs() - start, 110 + 160 + 230);
    EXPECT_EQ(logger.requestsOf(cmd::CELST).size(), 1u + 3u);

    // A download needs a usable state.
    fm.DownloadNew();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].info, FRecInvalidStatus);
    EXPECT_TRUE(events[0].record.isEmpty());
    EXPECT_TRUE(logger.requestsOf(cmd::CELDL).empty());
}

TEST_F(FlashTest, TooShortStateAnswerIsAVbtError)
{
    logger.answerOverride = [](const QByteArray& r) -> std::optional<QByteArray> {
        if (r.startsWith(cmd::CELST))
            return QByteArray(cmd::AELST) + le32(50);
        return std::nullopt;
    };
    queryWith(10);
    EXPECT_EQ(statuses.back().status, FStErrVBTError);
    EXPECT_EQ(fm.LastErrorCode(), vbt::rcWrongAnswer);
}

// ---- downloads ---------------------------------------------------------------------------

struct DownloadCase {
    const char* name;
    qint64 pc, first, last;
    int perRequest;
    std::vector<std::pair<qint64, int>> requests;
    qint64 firstId, lastId;
};

void PrintTo(const DownloadCase& c, std::ostream* os) { *os << c.name; }

class Downloads : public FlashTest, public ::testing::WithParamInterface<DownloadCase> {};

TEST_P(Downloads, DownloadNewFetchesTheMissingRangeInSmallRequests)
{
    const DownloadCase& c = GetParam();
    logger.holdRecords(c.first, c.last);
    fm.SetRecordsPerRequest(c.perRequest);
    queryWith(c.pc);
    fm.DownloadNew();
    EXPECT_TRUE(fm.Busy());
    ASSERT_TRUE(downloadDone());
    EXPECT_EQ(logger.downloads(), c.requests);
    EXPECT_EQ(okIds(), range(c.firstId, c.lastId));
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().percent, 100);
    EXPECT_EQ(fm.ReceivedCount(), int(c.lastId - c.firstId + 1));
    EXPECT_EQ(fm.RequestCount(), int(c.requests.size()));
    EXPECT_EQ(fm.RangeFrom(), c.firstId);
    EXPECT_EQ(fm.RangeTo(), c.lastId);
    // Download requests never ask for an acknowledgement.
    for (const auto& r : logger.requestsOf(cmd::CELDL))
        EXPECT_EQ(r.info, nem_kerek_nyugtat);
    // Each record arrives as received and in the common layout.
    for (const auto& e : events) {
        EXPECT_EQ(e.text, loggerRecord(e.id));
        EXPECT_EQ(e.record, loggerRecord(e.id) + QByteArray(3, '\0'));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Flash, Downloads,
    ::testing::Values(
        DownloadCase{"FivePerRequest", 100, 50, 120, 5, {{101, 5}, {106, 5}, {111, 5}, {116, 5}}, 101, 120},
        DownloadCase{"NotBelowTheOldestRecord", 40, 50, 62, 5, {{50, 5}, {55, 5}, {60, 3}}, 50, 62},
        DownloadCase{"FreshComputerTakesEverything", 0, 1, 3, 5, {{1, 3}}, 1, 3},
        DownloadCase{"AfterAnEraseEverything", 500, 1, 4, 5, {{1, 4}}, 1, 4},
        DownloadCase{"OneRecord", 119, 50, 120, 5, {{120, 1}}, 120, 120},
        DownloadCase{"TwoPerRequest", 100, 50, 105, 2, {{101, 2}, {103, 2}, {105, 1}}, 101, 105}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FlashTest, PercentDoneRunsFromZeroToOneHundredAcrossTheRange)
{
    logger.holdRecords(1, 120);
    queryWith(100);
    fm.DownloadNew();
    ASSERT_TRUE(downloadDone());
    ASSERT_EQ(events.size(), 20u);
    for (const auto& e : events)
        EXPECT_EQ(e.percent, int((e.id - 101) * 100 / 19)) << e.id;
    EXPECT_EQ(events.front().percent, 0);
    EXPECT_EQ(events.back().percent, 100);
}

TEST_F(FlashTest, RangeOfOneRecordIsOneHundredPercent)
{
    logger.holdRecords(1, 20);
    queryWith(0);
    fm.DownloadRange(7, 7);
    ASSERT_TRUE(downloadDone());
    EXPECT_EQ(logger.downloads(), (std::vector<std::pair<qint64, int>>{{7, 1}}));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].percent, 100);
    EXPECT_EQ(events[0].id, 7);
}

struct EndCase {
    const char* name;
    QByteArray answer;  // to every download request
    TFMRecordInfo info;
    int lastErrorCode;
};

void PrintTo(const EndCase& c, std::ostream* os) { *os << c.name; }

class DownloadEnds : public FlashTest, public ::testing::WithParamInterface<EndCase> {};

TEST_P(DownloadEnds, AnUnusableAnswerEndsTheDownloadOnce)
{
    const EndCase& c = GetParam();
    logger.holdRecords(1, 50);
    queryWith(10);
    logger.answerOverride = [&c](const QByteArray& r) -> std::optional<QByteArray> {
        if (r.startsWith(cmd::CELDL))
            return c.answer;
        return std::nullopt;
    };
    fm.DownloadNew();
    ASSERT_TRUE(downloadDone());
    run(1000);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].info, c.info);
    EXPECT_EQ(events[0].id, 11);
    EXPECT_TRUE(events[0].text.isEmpty());
    EXPECT_TRUE(events[0].record.isEmpty());
    EXPECT_EQ(fm.LastErrorCode(), c.lastErrorCode);
    EXPECT_EQ(logger.downloads().size(), 1u);
    EXPECT_EQ(loggerLink->QueueCount(), 0);
    EXPECT_EQ(port->QueueCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Flash, DownloadEnds,
    ::testing::Values(
        EndCase{"Aercm", QByteArray(cmd::AERCM), FRecNoRecords, vbt::rcWrongAnswer},
        EndCase{"FortyBytes", QByteArray(cmd::AELDL) + QByteArray(40, 'x'), FRecInvalidAnswer, 0},
        EndCase{"NoRecordsInTheAnswer", QByteArray(cmd::AELDL), FRecNoRecords, 0},
        EndCase{"Asyer", QByteArray(cmd::ASYER) + char(5), FRecErrVBTError, vbt::rcWrongAnswer}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FlashTest, SilentLoggerEndsTheDownloadWithTheLinksCode)
{
    logger.holdRecords(1, 50);
    queryWith(10);
    int calls = 0;
    logger.answerOverride = [&calls](const QByteArray& r) -> std::optional<QByteArray> {
        if (r.startsWith(cmd::CELDL) && ++calls > 1)
            return QByteArray();
        return std::nullopt;
    };
    fm.DownloadNew();
    ASSERT_TRUE(downloadDone());
    ASSERT_EQ(events.size(), 6u);
    EXPECT_EQ(okIds(), range(11, 15));
    EXPECT_EQ(events.back().info, FRecErrVBTError);
    EXPECT_EQ(events.back().id, 16);
    EXPECT_EQ(events.back().percent, (15 - 11) * 100 / (50 - 11));
    EXPECT_EQ(fm.LastErrorCode(), vbt::rcNoAnswer);
    EXPECT_EQ(FlashRecordInfoText(events.back().info), QStringLiteral("Kommunikációs hiba"));
    // A repeated request goes out with a new serial.
    const auto sent = logger.requestsOf(cmd::CELDL);
    ASSERT_EQ(sent.size(), 1u + 3u);
    EXPECT_NE(sent[1].serial, sent[2].serial);
    EXPECT_NE(sent[2].serial, sent[3].serial);
}

TEST_F(FlashTest, NoStoredRecordsOrNoNewOnesFinishWithoutTraffic)
{
    logger.holdRecords(50, 120);
    queryWith(120);
    fm.DownloadNew();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].info, FRecNoRecords);

    logger.holdRecords(0, 0);
    queryWith(0);
    fm.DownloadAll();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].info, FRecNoRecords);
    EXPECT_TRUE(logger.requestsOf(cmd::CELDL).empty());
    EXPECT_FALSE(fm.Busy());
}

TEST_F(FlashTest, DownloadAllTakesEverythingTheLoggerHolds)
{
    logger.holdRecords(30, 41);
    queryWith(35);
    fm.DownloadAll();
    ASSERT_TRUE(downloadDone());
    EXPECT_EQ(okIds(), range(30, 41));
}

TEST_F(FlashTest, CanContinueFalseEndsTheDownloadAfterThatRecord)
{
    logger.holdRecords(1, 50);
    queryWith(0);
    stopAfter = 7;
    fm.DownloadNew();
    ASSERT_TRUE(downloadDone());
    run(1000);
    EXPECT_EQ(okIds(), range(1, 7));
    EXPECT_EQ(logger.downloads().size(), 2u);
    EXPECT_EQ(fm.NextRecID(), 8);
}

TEST_F(FlashTest, RecordsTheLoggerOverwroteMeanwhileAreNeitherRepeatedNorSkipped)
{
    // The logger wraps while the download runs: from the second request on, the oldest
    // records are gone and it answers with the first ones it still holds.
    logger.holdRecords(1, 40);
    queryWith(0);
    int calls = 0;
    logger.answerOverride = [this, &calls](const QByteArray& r) -> std::optional<QByteArray> {
        if (r.startsWith(cmd::CELDL) && ++calls == 2) {
            for (qint64 id = 1; id <= 8; ++id)
                logger.records.erase(id);
            QByteArray out(cmd::AELDL);
            for (qint64 id = 9; id <= 13; ++id)
                out += logger.records[id];
            return out;
        }
        return std::nullopt;
    };
    fm.DownloadNew();
    ASSERT_TRUE(downloadDone());
    std::vector<qint64> expected = range(1, 5);
    for (qint64 id = 9; id <= 40; ++id)
        expected.push_back(id);
    EXPECT_EQ(okIds(), expected);
    for (const auto& e : events)
        EXPECT_EQ(ParamToIntAt(e.record, 0, 4, IntSign::Unsigned), e.id);
    EXPECT_EQ(logger.downloads()[2].first, 14);
    EXPECT_EQ(events.back().percent, 100);
}

TEST_F(FlashTest, PauseRateGivesEveryNthRequestTheLongerWait)
{
    logger.holdRecords(1, 30);
    queryWith(0);
    fm.PauseRate = 2;
    fm.PauseLength = 500;
    fm.DownloadNew();
    ASSERT_TRUE(downloadDone());
    const auto sent = logger.requestsOf(cmd::CELDL);
    ASSERT_EQ(sent.size(), 6u);
    // The paused request holds the link for Timeout_1 + PauseLength even though the
    // answer came at once; the others are followed within a few milliseconds.
    EXPECT_GE(sent[2].tick - sent[1].tick, 110 + 500);
    EXPECT_LT(sent[1].tick - sent[0].tick, 20);
    EXPECT_GE(sent[4].tick - sent[3].tick, 110 + 500);
    EXPECT_LT(sent[3].tick - sent[2].tick, 20);
    EXPECT_EQ(okIds(), range(1, 30));
}

// ---- misuse, stop and lifetime -------------------------------------------------------------

TEST_F(FlashTest, MisuseThrowsItsTexts)
{
    TFlashManager lonely;
    auto text = [](const std::function<void()>& f) {
        try {
            f();
        } catch (const FlashManagementError& e) {
            return e.text();
        }
        return QString();
    };
    EXPECT_EQ(text([&] { lonely.QueryStatus(); }), QStringLiteral("Flash management error: Unassigned VBTPort"));
    EXPECT_EQ(text([&] { lonely.DownloadRange(1, 2); }), QStringLiteral("Flash management error: Unassigned VBTPort"));

    logger.holdRecords(1, 50);
    queryWith(0);
    fm.DownloadNew();
    EXPECT_EQ(text([&] { fm.QueryStatus(); }), QStringLiteral("Flash management error: Communication in progress"));
    EXPECT_EQ(text([&] { fm.DownloadAll(); }), QStringLiteral("Flash management error: Communication in progress"));
    EXPECT_EQ(text([&] { fm.SetVBTPort(nullptr); }),
              QStringLiteral("Flash managament error: Cannot set property while communication in progress"));
    EXPECT_EQ(text([&] { fm.SetFirmwareType(FMFWKestrel); }),
              QStringLiteral("Flash managament error: Cannot set property while communication in progress"));
    EXPECT_EQ(fm.VBTPort(), loggerLink);
    ASSERT_TRUE(downloadDone());
    EXPECT_EQ(okIds(), range(1, 50));
}

TEST_F(FlashTest, NewLinkResetsTheStatus)
{
    logger.holdRecords(1, 5);
    queryWith(0);
    EXPECT_EQ(fm.Status(), FStOkNewRecordsAvailable);
    fm.SetVBTPort(loggerLink);
    EXPECT_EQ(fm.Status(), FStOkNewRecordsAvailable);
    fm.SetVBTPort(port.get());
    EXPECT_EQ(fm.Status(), FStUnknown);
}

TEST_F(FlashTest, RecordsPerRequestStaysBetweenOneAndFiveAndIsFiveForTheOldKestrel)
{
    fm.SetRecordsPerRequest(0);
    EXPECT_EQ(fm.RecordsPerRequest(), 1);
    fm.SetRecordsPerRequest(9);
    EXPECT_EQ(fm.RecordsPerRequest(), 5);
    fm.SetRecordsPerRequest(2);
    fm.SetFirmwareType(FMFWKestrelOld);
    EXPECT_EQ(fm.RecordsPerRequest(), 5);
    fm.SetRecordsPerRequest(3);
    EXPECT_EQ(fm.RecordsPerRequest(), 5);
    fm.SetFirmwareType(FMFWKestrel);
    fm.SetRecordsPerRequest(3);
    EXPECT_EQ(fm.RecordsPerRequest(), 3);
}

TEST_F(FlashTest, StopWithdrawsTheWaitingRequestAndReportsNothing)
{
    logger.holdRecords(1, 50);
    queryWith(0);
    logger.answerOverride = [](const QByteArray&) { return QByteArray(); };
    fm.DownloadNew();
    run(20);
    ASSERT_EQ(logger.requestsOf(cmd::CELDL).size(), 1u);
    fm.Stop();
    EXPECT_FALSE(fm.Busy());
    EXPECT_EQ(port->QueueCount(), 0);
    run(2000);
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(logger.requestsOf(cmd::CELDL).size(), 1u);
    EXPECT_TRUE(log.contains(QStringLiteral("KuldlistaTakaritas. Assigned(TOnIncoming_tagged) = -1")));

    // The manager and the link work on.
    logger.answerOverride = nullptr;
    fm.DownloadRange(48, 50);
    ASSERT_TRUE(downloadDone());
    EXPECT_EQ(okIds(), range(48, 50));
}

TEST_F(FlashTest, DestroyedManagerLeavesNothingOnTheLink)
{
    logger.holdRecords(1, 50);
    auto other = std::make_unique<TFlashManager>();
    other->SetVBTPort(loggerLink);
    other->SetFirmwareType(FMFWCorvalux);
    bool called = false;
    other->OnStatus = [&called](TFlashManager&, TFMFlashStatus, TFMFlashWarnings) { called = true; };
    logger.answerOverride = [](const QByteArray&) { return QByteArray(); };
    other->QueryStatus();
    run(5);
    EXPECT_EQ(port->QueueCount(), 1);
    other.reset();
    EXPECT_EQ(port->QueueCount(), 0);
    run(1000);
    EXPECT_FALSE(called);
}

TEST_F(FlashTest, DestroyedLinkIsForgotten)
{
    logger.holdRecords(1, 50);
    queryWith(0);
    logger.answerOverride = [](const QByteArray&) { return QByteArray(); };
    fm.DownloadNew();
    run(5);
    EXPECT_TRUE(fm.Busy());
    clients.clear(); // the interface drops its logger link
    // The port owner drops the request of the leaving client link.
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].info, FRecErrVBTError);
    EXPECT_EQ(fm.LastErrorCode(), vbt::rcDropped);
    EXPECT_EQ(fm.VBTPort(), nullptr);
    EXPECT_FALSE(fm.Busy());
    EXPECT_THROW(fm.QueryStatus(), FlashManagementError);
    run(1000);
    EXPECT_EQ(events.size(), 1u);
    EXPECT_EQ(port->QueueCount(), 0);
}

TEST_F(FlashTest, ThrowingRecordHandlerStopsTheManagerAndTheLinkWorksOn)
{
    CapturedMainLog mainLog;
    logger.holdRecords(1, 50);
    queryWith(0);
    fm.OnRecord = [](TFlashManager&, TFMRecordInfo, TFMRecordWarnings, qint64 id, const QByteArray&,
                     const QByteArray&, int, bool&) {
        if (id == 3)
            throw std::runtime_error("handler failed");
    };
    fm.DownloadNew();
    ASSERT_TRUE(downloadDone());
    run(500);
    EXPECT_EQ(logger.downloads().size(), 1u);
    EXPECT_TRUE(mainLog.contains(QStringLiteral("Flash management error: handler failed")));
    queryWith(0);
    EXPECT_EQ(fm.Status(), FStOkNewRecordsAvailable);
}

TEST_F(FlashTest, RefusedRequestIsReportedAtOnce)
{
    logger.holdRecords(1, 50);
    queryWith(0);
    loggerLink->SetActive(false);
    fm.DownloadNew();
    EXPECT_FALSE(fm.Busy());
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].info, FRecErrVBTError);
    EXPECT_EQ(fm.LastErrorCode(), vbt::rcNotActive);
    EXPECT_EQ(events[0].id, 1);
}

// ---- other logger families -----------------------------------------------------------------

TEST_F(FlashTest, OldKestrelSpeaksBigEndianAndIsTurnedIntoTheCommonLayout)
{
    fm.SetFirmwareType(FMFWKestrelOld);
    auto record12 = [](qint64 id) {
        QByteArray r;
        r += char(0x10), r += char(0x20), r += char(0x30), r += char(id);   // time stamp, big-endian
        for (int i = 0; i < 8; ++i)
            r += char(0x40 + i);
        return r;
    };
    logger.answerOverride = [&record12](const QByteArray& r) -> std::optional<QByteArray> {
        if (r.startsWith(cmd::CELST))
            return QByteArray(cmd::AELST) + IntToParam4(300, true) + IntToParam4(312, true);
        if (r.startsWith(cmd::CELDL)) {
            const qint64 from = ParamToIntAt(r, 5, 4, IntSign::Unsigned, true);
            const int n = quint8(r.at(9));
            QByteArray out = QByteArray(cmd::AELDL) + IntToParam4(from, true);
            for (qint64 id = from; id < from + n && id <= 312; ++id)
                out += record12(id);
            return out;
        }
        return std::nullopt;
    };
    queryWith(305);
    EXPECT_EQ(fm.FirstRecIDInFlash(), 300);
    EXPECT_EQ(fm.LastRecIDInFlash(), 312);
    fm.DownloadNew();
    ASSERT_TRUE(downloadDone());
    EXPECT_EQ(okIds(), range(306, 312));
    const auto sent = logger.requestsOf(cmd::CELDL);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].data, QByteArray(cmd::CELDL) + IntToParam4(306, true) + char(5));
    ASSERT_FALSE(events.empty());
    QByteArray expected = IntToParam4(306);
    expected += char(306 & 0xFF), expected += char(0x30), expected += char(0x20), expected += char(0x10);
    for (int i = 0; i < 8; ++i)
        expected += char(0x40 + i);
    EXPECT_EQ(events[0].record, expected + QByteArray(8, '\0'));
    EXPECT_EQ(events[0].text, record12(306));
}

TEST_F(FlashTest, OldKestrelAnswerWithStartIdentifierZeroIsInvalid)
{
    fm.SetFirmwareType(FMFWKestrelOld);
    logger.answerOverride = [](const QByteArray& r) -> std::optional<QByteArray> {
        if (r.startsWith(cmd::CELST))
            return QByteArray(cmd::AELST) + IntToParam4(1, true) + IntToParam4(9, true);
        if (r.startsWith(cmd::CELDL))
            return QByteArray(cmd::AELDL) + IntToParam4(0, true) + QByteArray(12, 'x');
        return std::nullopt;
    };
    queryWith(0);
    fm.DownloadNew();
    ASSERT_TRUE(downloadDone());
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].info, FRecInvalidAnswer);
}

struct FamilyCase {
    const char* name;
    TFMFirmwareType family;
    int size;
};

void PrintTo(const FamilyCase& c, std::ostream* os) { *os << c.name; }

class RecordSizes : public FlashTest, public ::testing::WithParamInterface<FamilyCase> {};

TEST_P(RecordSizes, RecordsOfTheFamilySizeAreCopiedAsTheyAre)
{
    const FamilyCase& c = GetParam();
    fm.SetFirmwareType(c.family);
    auto rec = [&c](qint64 id) { return (le32(id) + QByteArray(30, char(id))).left(c.size); };
    logger.answerOverride = [&rec](const QByteArray& r) -> std::optional<QByteArray> {
        if (r.startsWith(cmd::CELST))
            return QByteArray(cmd::AELST) + le32(1) + le32(4);
        if (r.startsWith(cmd::CELDL))
            return QByteArray(cmd::AELDL) + rec(1) + rec(2) + rec(3) + rec(4);
        return std::nullopt;
    };
    queryWith(0);
    fm.DownloadNew();
    ASSERT_TRUE(downloadDone());
    ASSERT_EQ(okIds(), range(1, 4));
    EXPECT_EQ(events[2].record, rec(3) + QByteArray(24 - c.size, '\0'));
    EXPECT_EQ(TFlashManager::RecordSize(c.family, 0), c.size);
}

INSTANTIATE_TEST_SUITE_P(Flash, RecordSizes,
                         ::testing::Values(FamilyCase{"Corvalux", FMFWCorvalux, 21},
                                           FamilyCase{"Kestrel", FMFWKestrel, 17},
                                           FamilyCase{"BrenniProject", FMFWBrenniProject, 24}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FlashTest, TalvoFamilyUsesItsOwnCommandsAndCounts)
{
    fm.SetFirmwareType(FMFWTalvo);
    fm.SetRecordType(1);
    auto rec6 = [](qint64 id) { return le32(id) + QByteArray(2, char(id)); };
    logger.answerOverride = [&rec6](const QByteArray& r) -> std::optional<QByteArray> {
        if (r.startsWith(cmd::CFLGS))
            return QByteArray(cmd::AFLGS) + le32(10) + le32(16);
        if (r.startsWith(cmd::CFLGR)) {
            const qint64 from = ParamToIntAt(r, 6, 4, IntSign::Unsigned);
            const int n = quint8(r.at(10));
            QByteArray recs;
            int count = 0;
            for (qint64 id = from; id < from + n && id <= 14; ++id, ++count)
                recs += rec6(id);
            return QByteArray(cmd::AFLGR) + char(1) + le32(from) + char(count) + recs;
        }
        return std::nullopt;
    };
    queryWith(10);
    EXPECT_EQ(logger.requestsOf(cmd::CFLGS)[0].data, QByteArray(cmd::CFLGS) + char(1));
    EXPECT_EQ(fm.Status(), FStOkNewRecordsAvailable);
    fm.DownloadNew();
    ASSERT_TRUE(downloadDone());
    // 11..14 exist; the request from 15 gets a count of 0: nothing more stored there.
    EXPECT_EQ(okIds(), range(11, 14));
    EXPECT_EQ(events.back().info, FRecNoRecords);
    EXPECT_EQ(events[0].record, rec6(11) + QByteArray(18, '\0'));
    const auto sent = logger.requestsOf(cmd::CFLGR);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].data, QByteArray(cmd::CFLGR) + char(1) + le32(11) + char(5));
}

TEST_F(FlashTest, TalvoAnswerWhoseLengthDisagreesWithItsCountIsInvalid)
{
    fm.SetFirmwareType(FMFWTalvo);
    logger.answerOverride = [](const QByteArray& r) -> std::optional<QByteArray> {
        if (r.startsWith(cmd::CFLGS))
            return QByteArray(cmd::AFLGS) + le32(1) + le32(9);
        if (r.startsWith(cmd::CFLGR))
            return QByteArray(cmd::AFLGR) + char(0) + le32(1) + char(2) + QByteArray(19, 'x');
        return std::nullopt;
    };
    queryWith(0);
    fm.DownloadNew();
    ASSERT_TRUE(downloadDone());
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].info, FRecInvalidAnswer);
}

TEST(FlashTexts, RecordInfoTextsAndNames)
{
    EXPECT_EQ(FlashRecordInfoText(FRecOK), QString());
    EXPECT_EQ(FlashRecordInfoText(FRecErrVBTError), QStringLiteral("Kommunikációs hiba"));
    EXPECT_EQ(FlashRecordInfoText(FRecInvalidAnswer), QStringLiteral("Hibás válasz"));
    EXPECT_EQ(FlashRecordInfoText(FRecNoRecords), QStringLiteral("A kért tartomány üres"));
    EXPECT_EQ(FlashRecordInfoText(FRecInvalidStatus), QStringLiteral("Ismeretlen/hibás státusz"));
    EXPECT_EQ(FlashWarningsText({FWrFlashOverrun, FWrProbablyFlashError}),
              QStringLiteral("FWrFlashOverrun,FWrProbablyFlashError"));
    EXPECT_EQ(int(FRecInvalidStatus), 4);
    EXPECT_EQ(int(FStErrLastRecIDLessThanOnPC), 4);
    EXPECT_EQ(int(FMFWBrenniProject), 4);
}

} // namespace
} // namespace cvx::test
