// The record downloader and the parameter block against vbtsim's data logger, over
// loopback TCP with the real link engine, its timers on virtual time.
#include "devproto/binary_params.h"
#include "devproto/ds_block.h"
#include "devproto/ds_configurator.h"
#include "devproto/flash_manager.h"
#include "link/vbt_comms.h"
#include "link_wait.h"
#include "platform/manual_time_service.h"
#include "shell/logs.h"
#include "shell/shell_state.h"
#include "test_support.h"
#include "vbtsim_process.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace cvx::test {
namespace {

constexpr quint32 LoggerAddress = 249;

// A bridge with two sensors and a logger that measures only when told (its interval is
// the longest there is); capacity and prefilled rounds vary.
QByteArray scenario(int capacity, int prefillRounds)
{
    return QStringLiteral(R"({
  "name": "loggertest",
  "interfaces": [ {
    "name": "bridge", "protocol": "VBTW", "tcp": { "host": "127.0.0.1", "port": 0 },
    "devices": [
      { "name": "s1", "address": 5, "type": 4, "values": { "T": 21.5, "H": 40 } },
      { "name": "s2", "address": 6, "type": 1, "values": { "T": -18.25 } },
      { "name": "logger", "kind": "logger", "address": 249, "interval": 254, "restartSeconds": 0,
        "sensors": ["s1", "s2"], "capacity": %1, "prefill": %2,
        "watchdog": { "checkInterval": 7, "failures": 4, "pauseMinutes": 120 } }
    ] } ] })")
        .arg(capacity)
        .arg(prefillRounds)
        .toUtf8();
}

struct Received {
    TFMRecordInfo info;
    qint64 id;
    QByteArray record;
    int percent;
};

// One connection to the bridge: a port link and the logger's client link.
class Connection {
public:
    Connection(ManualTimeService& time, int port, const QString& logFile) : time_(time)
    {
        log.LogFile = logFile;
        log.Logging = true;
        link = std::make_unique<TVBTComms>(time);
        link->Host = QStringLiteral("127.0.0.1");
        link->Port = port;
        link->LogWriter = &log;
        logger = std::make_unique<TVBTComms>(time);
        logger->PortOwner = link.get();
        logger->VBTAddress = LoggerAddress;
    }
    ~Connection()
    {
        logger.reset();
        link.reset();
    }
    bool open()
    {
        link->SetActive(true);
        logger->SetActive(true);
        return pump([this] { return link->Connected(); });
    }
    // Real I/O until done, the links' timers on virtual time.
    bool pump(const std::function<bool()>& done)
    {
        return pumpVirtualTime(time_, [this] { return waitingOnDevice(link.get()); }, done);
    }
    bool reopen()
    {
        link->SetActive(false);
        return open();
    }

    ManualTimeService& time_;
    TNaplo log;
    std::unique_ptr<TVBTComms> link;
    std::unique_ptr<TVBTComms> logger;
};

class LoggerSim : public ::testing::Test {
protected:
    LoggerSim() { resetShellState(); }
    ~LoggerSim() override
    {
        fm.reset();
        conn.reset();
        resetShellState();
    }

    void startWith(const QByteArray& s) { startedOk = sim.start(s) && connect(); }
    void startFile(const QString& path) { startedOk = sim.startFile(path) && connect(); }
    bool connect()
    {
        conn = std::make_unique<Connection>(time, sim.port(QStringLiteral("bridge")), dir.filePath("bridge.commlog"));
        fm = std::make_unique<TFlashManager>();
        fm->SetVBTPort(conn->logger.get());
        fm->SetFirmwareType(FMFWCorvalux);
        fm->OnStatus = [this](TFlashManager&, TFMFlashStatus s, TFMFlashWarnings) { statuses.push_back(s); };
        fm->OnRecord = [this](TFlashManager&, TFMRecordInfo info, TFMRecordWarnings, qint64 id, const QByteArray&,
                              const QByteArray& record, int percent, bool&) {
            received.push_back({info, id, record, percent});
            if (onRecord)
                onRecord(received.back());
        };
        return conn->open();
    }
    // Sets the computer's last record and asks the logger for its state.
    bool query(qint64 lastOnPc)
    {
        fm->SetLastRecIDOnPC(lastOnPc);
        const size_t before = statuses.size();
        fm->QueryStatus();
        return conn->pump([&] { return statuses.size() > before; });
    }
    bool download()
    {
        fm->DownloadNew();
        return conn->pump([&] { return !fm->Busy(); });
    }
    std::vector<qint64> okIds(size_t from = 0) const
    {
        std::vector<qint64> ids;
        for (size_t i = from; i < received.size(); ++i)
            if (received[i].info == FRecOK)
                ids.push_back(received[i].id);
        return ids;
    }
    static std::vector<qint64> range(qint64 from, qint64 to)
    {
        std::vector<qint64> v;
        for (qint64 i = from; i <= to; ++i)
            v.push_back(i);
        return v;
    }
    QString diagnostics() { return sim.stderrText() + readFile(dir.filePath("bridge.commlog")); }

    QTemporaryDir dir;
    ManualTimeService time;
    VbtsimProcess sim;
    bool startedOk = false;
    std::unique_ptr<Connection> conn;
    std::unique_ptr<TFlashManager> fm;
    std::vector<TFMFlashStatus> statuses;
    std::vector<Received> received;
    std::function<void(const Received&)> onRecord;
};

TEST_F(LoggerSim, GapOf137RecordsIsFetchedCompletelyAndInOrder)
{
    startFile(sourceDir() + QStringLiteral("/scenarios/datalogger.json"));
    ASSERT_TRUE(startedOk) << diagnostics().toStdString();
    ASSERT_TRUE(query(0));
    const qint64 last = fm->LastRecIDInFlash();
    ASSERT_GE(last, 1080); // an hour of rounds of three sensors

    ASSERT_TRUE(query(last - 137));
    EXPECT_EQ(statuses.back(), FStOkNewRecordsAvailable);
    EXPECT_TRUE(fm->Warnings().empty());
    ASSERT_TRUE(download()) << diagnostics().toStdString();
    ASSERT_EQ(okIds(), range(last - 136, last)) << diagnostics().toStdString();
    EXPECT_EQ(fm->RequestCount(), 28); // 27 of five, one of two
    EXPECT_EQ(received.back().percent, 100);
    const QList<int> addresses{5, 6, 7};
    for (const auto& r : received) {
        EXPECT_EQ(ParamToIntAt(r.record, 0, 4, IntSign::Unsigned), r.id);
        EXPECT_EQ(r.record.at(10), 'g');
        EXPECT_TRUE(addresses.contains(quint8(r.record.at(11)))) << r.id;
        EXPECT_TRUE(DecodePackedDateTime(r.record, 4).isValid()) << r.id;
        EXPECT_EQ(r.record.size(), 24);
    }
    // Records of one round come from the three sensors in turn.
    for (size_t i = 3; i < received.size(); ++i)
        EXPECT_EQ(received[i].record.at(11), received[i - 3].record.at(11));
}

TEST_F(LoggerSim, WrappedStoreIsAnOverrunAndDownloadsFromTheOldestRecordKept)
{
    // 60 rounds of two sensors into a store of 100: records 21..120 remain.
    startWith(scenario(100, 60));
    ASSERT_TRUE(startedOk) << diagnostics().toStdString();
    ASSERT_TRUE(query(20));
    EXPECT_EQ(fm->FirstRecIDInFlash(), 21);
    EXPECT_EQ(fm->LastRecIDInFlash(), 120);
    EXPECT_EQ(statuses.back(), FStOkNewRecordsAvailable);
    EXPECT_TRUE(fm->Warnings().empty()); // nothing between 20 and 21 was lost

    ASSERT_TRUE(query(10));
    EXPECT_EQ(statuses.back(), FStOkNewRecordsAvailable);
    EXPECT_EQ(fm->Warnings(), TFMFlashWarnings{FWrFlashOverrun});
    ASSERT_TRUE(download()) << diagnostics().toStdString();
    EXPECT_EQ(fm->RangeFrom(), 21);
    EXPECT_EQ(okIds(), range(21, 120));
}

TEST_F(LoggerSim, ErasedStoreIsBehindTheComputerAndNewRecordsAfterTheEraseAreFetched)
{
    startWith(scenario(1000, 30));
    ASSERT_TRUE(startedOk) << diagnostics().toStdString();
    ASSERT_TRUE(query(60));
    EXPECT_EQ(statuses.back(), FStOkNoNewRecords);

    ASSERT_EQ(sim.control(QStringLiteral("erase logger")).last(), QStringLiteral("ok"));
    ASSERT_TRUE(query(60));
    EXPECT_EQ(statuses.back(), FStErrLastRecIDLessThanOnPC);
    EXPECT_TRUE(fm->Warnings().empty());
    EXPECT_EQ(fm->FirstRecIDInFlash(), 1);
    EXPECT_EQ(fm->LastRecIDInFlash(), 0);
    fm->DownloadNew();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].info, FRecNoRecords);

    // Two rounds after the erase: records 1..4, numbered from 1 again.
    ASSERT_EQ(sim.control(QStringLiteral("measure logger")).last(), QStringLiteral("ok"));
    ASSERT_EQ(sim.control(QStringLiteral("measure logger")).last(), QStringLiteral("ok"));
    ASSERT_TRUE(query(60));
    EXPECT_EQ(statuses.back(), FStErrLastRecIDLessThanOnPC);
    EXPECT_EQ(fm->LastRecIDInFlash(), 4);
    ASSERT_TRUE(download()) << diagnostics().toStdString();
    EXPECT_EQ(okIds(1), range(1, 4));
}

TEST_F(LoggerSim, DroppedLinkEndsTheDownloadAndALaterAttemptCompletesIt)
{
    startWith(scenario(1000, 100)); // records 1..200
    ASSERT_TRUE(startedOk) << diagnostics().toStdString();
    ASSERT_TRUE(query(0));
    ASSERT_EQ(fm->LastRecIDInFlash(), 200);
    bool dropped = false;
    onRecord = [this, &dropped](const Received& r) {
        if (r.info == FRecOK && r.id == 23 && !dropped) {
            dropped = true;
            EXPECT_EQ(sim.control(QStringLiteral("drop bridge")).last(), QStringLiteral("ok"));
        }
    };
    ASSERT_TRUE(download()) << diagnostics().toStdString();
    ASSERT_TRUE(dropped);
    ASSERT_FALSE(received.empty());
    EXPECT_EQ(received.back().info, FRecErrVBTError);
    EXPECT_EQ(FlashRecordInfoText(received.back().info), QStringLiteral("Kommunikációs hiba"));
    EXPECT_EQ(fm->LastErrorCode(), vbt::rcNoConnection) << diagnostics().toStdString();
    const std::vector<qint64> first = okIds();
    ASSERT_GE(first.size(), 23u);
    ASSERT_LT(first.size(), 200u);
    EXPECT_EQ(first, range(1, qint64(first.size())));

    // Later: the link is opened again and the download picks up where it stopped.
    ASSERT_TRUE(conn->reopen());
    const size_t before = received.size();
    ASSERT_TRUE(query(first.back()));
    EXPECT_EQ(statuses.back(), FStOkNewRecordsAvailable);
    ASSERT_TRUE(download()) << diagnostics().toStdString();
    EXPECT_EQ(okIds(before), range(first.back() + 1, 200));
    EXPECT_EQ(received.back().percent, 100);
}

TEST_F(LoggerSim, ParameterBlockIsReadChangedWrittenAndReadBack)
{
    startWith(scenario(1000, 1));
    ASSERT_TRUE(startedOk) << diagnostics().toStdString();
    using namespace dsblock;
    TDataStoreConfigurator cfg;
    cfg.SetVBTPort(conn->logger.get());
    std::vector<int> reads, writes;
    cfg.OnDSDataRead = [&reads](TDataStoreConfigurator&, int code) { reads.push_back(code); };
    cfg.OnDSDataWritten = [&writes](TDataStoreConfigurator&, int code) { writes.push_back(code); };

    cfg.ReadBlock();
    ASSERT_TRUE(conn->pump([&] { return !reads.empty(); })) << diagnostics().toStdString();
    ASSERT_EQ(reads, std::vector<int>{0});
    QByteArray block = cfg.Block();
    EXPECT_EQ(quint8(block.at(ModeOffset)), 0);
    EXPECT_EQ(quint8(block.at(PollIntervalOffset)), 254);
    EXPECT_EQ(ParamToIntAt(block, SensorAddressOffset(0), 4, IntSign::Unsigned), 5);
    EXPECT_EQ(ParamToIntAt(block, SensorAddressOffset(1), 4, IntSign::Unsigned), 6);
    EXPECT_EQ(block.mid(SensorAddressOffset(2), 4), QByteArray(4, char(0xFF)));
    EXPECT_EQ(quint8(block.at(SensorTypesOffset)), 4);
    EXPECT_EQ(quint8(block.at(SensorTypesOffset + 1)), 1);
    EXPECT_EQ(quint8(block.at(WatchdogCheckIntervalOffset)), 7);
    EXPECT_EQ(quint8(block.at(WatchdogFailuresOffset)), 4);
    EXPECT_EQ(quint8(block.at(WatchdogPauseMinutesOffset)), 120);
    const QString report = ReportText(block);
    EXPECT_TRUE(report.contains(QStringLiteral("Működési mód: számítógéptől függő működés\r\n")));
    EXPECT_TRUE(report.contains(QStringLiteral(" 2. lekérdezett szenzor: 6\r\n")));

    // The watchdog alarm as the settings window fills it, and a faster polling interval.
    block[PollIntervalOffset] = char(30);
    block.replace(EventOffset(0), EventRecordSize, QByteArray(EventRecordSize, char(0xFF)));
    block[EventOffset(0) + event::MeasureType] = char(WatchdogMeasureType);
    block[EventOffset(0) + event::TaskOnActivate] = char(0);
    block[EventOffset(0) + event::Enabled] = char(1);
    block[TaskOffset(0) + task::Type] = char(0);
    block.replace(WatchdogAlarmPhoneOffset, 13, QByteArray("+36301234567") + '\0');
    block.replace(WatchdogAlarmTextOffset, 10, QByteArray("Gep leallt") );
    block[WatchdogPauseMinutesOffset] = char(180);
    cfg.SetBlock(block);
    cfg.WriteBlock();
    ASSERT_TRUE(conn->pump([&] { return !writes.empty(); })) << diagnostics().toStdString();
    ASSERT_EQ(writes, std::vector<int>{0});

    // The logger works from the new block once the restart that follows has reached it.
    ASSERT_TRUE(conn->pump([&] { return sim.control(QStringLiteral("status")).join('\n').contains(QStringLiteral("every 30 s")); }))
        << sim.control(QStringLiteral("status")).join('\n').toStdString();

    // Read back over a second connection, while the first one keeps quiet for the restart.
    Connection second(time, sim.port(QStringLiteral("bridge")), dir.filePath("second.commlog"));
    ASSERT_TRUE(second.open());
    TDataStoreConfigurator check;
    check.SetVBTPort(second.logger.get());
    std::vector<int> checkReads;
    check.OnDSDataRead = [&checkReads](TDataStoreConfigurator&, int code) { checkReads.push_back(code); };
    check.ReadBlock();
    ASSERT_TRUE(second.pump([&] { return !checkReads.empty(); })) << diagnostics().toStdString();
    ASSERT_EQ(checkReads, std::vector<int>{0});
    EXPECT_EQ(check.Block(), block);
    const QString after = ReportText(check.Block());
    EXPECT_TRUE(after.contains(QStringLiteral("  Watchdogriasztás után hány óra múlva lehet újabb riasztás : 3\r\n")));
    EXPECT_TRUE(after.contains(QStringLiteral("  1. telefonszám    : +36301234567\r\n")));
    EXPECT_TRUE(after.contains(QStringLiteral("  SMS szövege    : Gep leallt\r\n")));
}

} // namespace
} // namespace cvx::test
