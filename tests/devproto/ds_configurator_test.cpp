// Reading and writing the logger parameter block on virtual time, against a fake logger.
#include "fake_logger.h"

#include "devproto/ds_block.h"
#include "devproto/ds_configurator.h"

namespace cvx::test {
namespace {

using namespace dsblock;

class ConfiguratorTest : public LoggerTest {
protected:
    ConfiguratorTest()
    {
        cfg.SetVBTPort(loggerLink);
        cfg.OnDSDataRead = [this](TDataStoreConfigurator&, int code) { readCodes.push_back(code); };
        cfg.OnDSDataWritten = [this](TDataStoreConfigurator&, int code) {
            writtenCodes.push_back(code);
            restartsWhenWritten = logger.requestsOf(cmd::CSYRS).size();
        };
        cfg.OnPercentDone = [this](TDataStoreConfigurator&, int percent) { percents.push_back(percent); };
        // The device's block: every byte tells its own offset.
        for (int i = 0; i < BlockSize; ++i)
            logger.memory[BlockAddress + i] = char((i * 7 + 3) & 0xFF);
    }
    QByteArray deviceBlock() const { return logger.memory.mid(BlockAddress, BlockSize); }

    TDataStoreConfigurator cfg;
    std::vector<int> readCodes;
    std::vector<int> writtenCodes;
    std::vector<int> percents;
    size_t restartsWhenWritten = 0;
};

std::vector<int> progressOf13()
{
    std::vector<int> p;
    for (int tag = 1; tag <= 13; ++tag)
        p.push_back(tag * 100 / 14);
    return p;
}

TEST_F(ConfiguratorTest, ReadTakesFourteenPiecesIntoTheBlock)
{
    EXPECT_EQ(cfg.Block(), EmptyBlock());
    cfg.ReadBlock();
    EXPECT_EQ(cfg.Operation(), TDataStoreConfigurator::TOperation::Reading);
    ASSERT_TRUE(runUntil([&] { return !readCodes.empty(); }));
    EXPECT_EQ(readCodes, std::vector<int>{0});
    EXPECT_EQ(cfg.Block(), deviceBlock());
    EXPECT_EQ(cfg.ReceivedText(), deviceBlock());
    EXPECT_EQ(percents, progressOf13());
    EXPECT_FALSE(cfg.Busy());
    const auto sent = logger.requestsOf(cmd::CSYRE);
    ASSERT_EQ(sent.size(), 14u);
    for (int i = 0; i < 14; ++i)
        EXPECT_EQ(sent[size_t(i)].data, CmdReadParams(450 + 179 * i, 179)) << i;
}

TEST_F(ConfiguratorTest, ShortAnswersFillOnlyWhatTheyCarry)
{
    QByteArray before = EmptyBlock();
    before[0] = 'k';
    cfg.SetBlock(before);
    // Piece 5 (offset 716) and the last piece (offset 2327) come back 100 bytes short.
    logger.answerOverride = [this](const QByteArray& r) -> std::optional<QByteArray> {
        if (!r.startsWith(cmd::CSYRE))
            return std::nullopt;
        const int addr = int(ParamToIntAt(r, 5, 2, IntSign::Unsigned));
        const int n = (addr == 450 + 179 * 4 || addr == 450 + 179 * 13) ? 79 : 179;
        return QByteArray(cmd::ASYRE) + logger.memory.mid(addr, n);
    };
    cfg.ReadBlock();
    ASSERT_TRUE(runUntil([&] { return !readCodes.empty(); }));
    EXPECT_EQ(readCodes, std::vector<int>{0});
    const QByteArray device = deviceBlock();
    QByteArray expected = device;
    expected.replace(179 * 4 + 79, 100, before.mid(179 * 4 + 79, 100));
    expected.replace(179 * 13 + 79, 100, before.mid(179 * 13 + 79, 100));
    EXPECT_EQ(cfg.Block(), expected);
    // Every later piece still lands at its own place.
    EXPECT_EQ(cfg.Block().mid(179 * 5, 179), device.mid(179 * 5, 179));
    EXPECT_EQ(cfg.ReceivedText().size(), BlockSize - 200);
}

TEST_F(ConfiguratorTest, FailedReadKeepsTheBlockAndStopsAtOnce)
{
    QByteArray before = EmptyBlock();
    before[100] = 'q';
    cfg.SetBlock(before);
    logger.answerOverride = [](const QByteArray& r) -> std::optional<QByteArray> {
        if (r.startsWith(cmd::CSYRE) && ParamToIntAt(r, 5, 2, IntSign::Unsigned) == 450 + 179 * 4)
            return QByteArray();
        return std::nullopt;
    };
    cfg.ReadBlock();
    ASSERT_TRUE(runUntil([&] { return !readCodes.empty(); }));
    run(2000);
    EXPECT_EQ(readCodes, std::vector<int>{vbt::rcNoAnswer});
    EXPECT_EQ(cfg.Block(), before);
    EXPECT_EQ(percents, (std::vector<int>{7, 14, 21, 28}));
    // Pieces 1..4 once, piece 5 three times, nothing after it.
    EXPECT_EQ(logger.requestsOf(cmd::CSYRE).size(), 4u + 3u);
    EXPECT_EQ(port->QueueCount(), 0);
    EXPECT_FALSE(cfg.Busy());
}

TEST_F(ConfiguratorTest, WriteSendsFourteenPiecesThenTheRestart)
{
    QByteArray block = EmptyBlock();
    for (int i = 0; i < BlockSize; ++i)
        block[i] = char((i * 13) & 0xFF);
    cfg.SetBlock(block);
    cfg.WriteBlock();
    EXPECT_EQ(cfg.Operation(), TDataStoreConfigurator::TOperation::Writing);
    EXPECT_THROW(cfg.ReadBlock(), DataStoreConfiguratorError);
    ASSERT_TRUE(runUntil([&] { return !writtenCodes.empty(); }));
    EXPECT_EQ(writtenCodes, std::vector<int>{0});
    EXPECT_EQ(percents, progressOf13());
    EXPECT_FALSE(cfg.Busy());
    // Completion comes after the 14th piece, before the restart went out.
    EXPECT_EQ(restartsWhenWritten, 0u);
    EXPECT_EQ(port->QueueCount(), 1);
    run(20);
    ASSERT_EQ(logger.requestsOf(cmd::CSYRS).size(), 1u);
    EXPECT_EQ(logger.requestsOf(cmd::CSYRS)[0].info, nem_kerek_nyugtat);
    EXPECT_EQ(deviceBlock(), block);

    const auto pieces = logger.requestsOf(cmd::CSYWE);
    ASSERT_EQ(pieces.size(), 14u);
    for (int i = 0; i < 14; ++i) {
        EXPECT_EQ(pieces[size_t(i)].data, CmdWriteParams(450 + 179 * i, block.mid(179 * i, 179))) << i;
        EXPECT_EQ(pieces[size_t(i)].info, nem_kerek_nyugtat);
    }
    // The restart holds the link for its whole wait while the device starts again.
    const qint64 restartAt = logger.requestsOf(cmd::CSYRS)[0].tick;
    ASSERT_TRUE(runUntil([&] { return port->QueueCount() == 0; }, 10000));
    EXPECT_GE(time.tickMs() - restartAt, TDataStoreConfigurator::RestartWaitMs);
    EXPECT_EQ(writtenCodes.size(), 1u);
}

TEST_F(ConfiguratorTest, FailedPieceEndsTheWriteAndTheDeviceIsNotRestarted)
{
    logger.answerOverride = [](const QByteArray& r) -> std::optional<QByteArray> {
        if (r.startsWith(cmd::CSYWE) && ParamToIntAt(r, 5, 2, IntSign::Unsigned) == 450 + 179 * 2)
            return QByteArray(cmd::ASYER) + char(5);
        return std::nullopt;
    };
    cfg.WriteBlock();
    ASSERT_TRUE(runUntil([&] { return !writtenCodes.empty(); }));
    run(10000);
    EXPECT_EQ(writtenCodes, std::vector<int>{vbt::rcWrongAnswer});
    EXPECT_EQ(percents, (std::vector<int>{7, 14}));
    EXPECT_EQ(logger.requestsOf(cmd::CSYWE).size(), 3u);
    EXPECT_TRUE(logger.requestsOf(cmd::CSYRS).empty());
    EXPECT_EQ(port->QueueCount(), 0);
}

TEST_F(ConfiguratorTest, ReadRightAfterAWriteFollowsTheRestart)
{
    QByteArray block = EmptyBlock();
    block[PollIntervalOffset] = char(30);
    cfg.SetBlock(block);
    cfg.WriteBlock();
    ASSERT_TRUE(runUntil([&] { return !writtenCodes.empty(); }));
    cfg.ReadBlock();
    ASSERT_TRUE(runUntil([&] { return !readCodes.empty(); }, 20000));
    EXPECT_EQ(readCodes, std::vector<int>{0});
    EXPECT_EQ(cfg.Block(), block);
    ASSERT_EQ(logger.requestsOf(cmd::CSYRS).size(), 1u);
    EXPECT_LT(logger.requestsOf(cmd::CSYRS)[0].tick, logger.requestsOf(cmd::CSYRE)[0].tick);
}

TEST_F(ConfiguratorTest, StopDuringAWriteWithdrawsTheRestartToo)
{
    logger.answerOverride = [](const QByteArray& r) -> std::optional<QByteArray> {
        if (r.startsWith(cmd::CSYWE) && ParamToIntAt(r, 5, 2, IntSign::Unsigned) == 450 + 179 * 3)
            return QByteArray();
        return std::nullopt;
    };
    cfg.WriteBlock();
    ASSERT_TRUE(runUntil([&] { return logger.requestsOf(cmd::CSYWE).size() == 4; }));
    cfg.Stop();
    EXPECT_FALSE(cfg.Busy());
    EXPECT_EQ(port->QueueCount(), 0);
    run(10000);
    EXPECT_TRUE(writtenCodes.empty());
    EXPECT_TRUE(logger.requestsOf(cmd::CSYRS).empty());
    EXPECT_EQ(logger.requestsOf(cmd::CSYWE).size(), 4u);
    EXPECT_TRUE(log.contains(QStringLiteral("KuldlistaTakaritas. Assigned(TOnVBTCmdResult) = -1")));
}

TEST_F(ConfiguratorTest, StopDuringAReadIsSilentAndAnotherReadWorks)
{
    cfg.ReadBlock();
    ASSERT_TRUE(runUntil([&] { return logger.requestsOf(cmd::CSYRE).size() == 3; }));
    cfg.Stop();
    run(1000);
    EXPECT_TRUE(readCodes.empty());
    EXPECT_EQ(cfg.Block(), EmptyBlock());
    cfg.ReadBlock();
    ASSERT_TRUE(runUntil([&] { return !readCodes.empty(); }));
    EXPECT_EQ(readCodes, std::vector<int>{0});
    EXPECT_EQ(cfg.Block(), deviceBlock());
}

TEST_F(ConfiguratorTest, MisuseThrowsItsTexts)
{
    auto text = [](const std::function<void()>& f) {
        try {
            f();
        } catch (const DataStoreConfiguratorError& e) {
            return e.text();
        }
        return QString();
    };
    TDataStoreConfigurator lonely;
    EXPECT_EQ(text([&] { lonely.ReadBlock(); }), QStringLiteral("TDataStoreConfigurator: VBTPort not assigned."));
    EXPECT_EQ(text([&] { lonely.WriteBlock(); }), QStringLiteral("TDataStoreConfigurator: VBTPort not assigned."));
    cfg.ReadBlock();
    EXPECT_EQ(text([&] { cfg.ReadBlock(); }), QStringLiteral("TDataStoreConfigurator: Operation in progress."));
    EXPECT_EQ(text([&] { cfg.WriteBlock(); }), QStringLiteral("TDataStoreConfigurator: Operation in progress."));
    EXPECT_EQ(text([&] { cfg.SetVBTPort(nullptr); }), QStringLiteral("TDataStoreConfigurator: Operation in progress."));
    ASSERT_TRUE(runUntil([&] { return !readCodes.empty(); }));
    EXPECT_EQ(readCodes, std::vector<int>{0});
}

TEST_F(ConfiguratorTest, RefusedFirstPieceEndsTheReadAtOnce)
{
    loggerLink->SetActive(false);
    cfg.ReadBlock();
    EXPECT_EQ(readCodes, std::vector<int>{vbt::rcNotActive});
    EXPECT_FALSE(cfg.Busy());
    EXPECT_EQ(port->QueueCount(), 0);
}

TEST_F(ConfiguratorTest, DestroyedComponentMidWriteWithdrawsEverything)
{
    auto other = std::make_unique<TDataStoreConfigurator>();
    other->SetVBTPort(loggerLink);
    bool called = false;
    other->OnDSDataWritten = [&called](TDataStoreConfigurator&, int) { called = true; };
    other->WriteBlock();
    run(5);
    other.reset();
    // The pieces are withdrawn; a half-written block is never restarted into.
    EXPECT_EQ(port->QueueCount(), 0);
    run(10000);
    EXPECT_FALSE(called);
    EXPECT_TRUE(logger.requestsOf(cmd::CSYRS).empty());
}

TEST_F(ConfiguratorTest, DestroyedLinkIsForgotten)
{
    clients.clear();
    EXPECT_EQ(cfg.VBTPort(), nullptr);
    EXPECT_THROW(cfg.ReadBlock(), DataStoreConfiguratorError);
}

TEST(ConfiguratorBlock, SetBlockKeepsTheSize)
{
    TDataStoreConfigurator cfg;
    cfg.SetBlock(QByteArray(10, 'a'));
    EXPECT_EQ(cfg.Block().size(), BlockSize);
    EXPECT_EQ(cfg.Block().left(10), QByteArray(10, 'a'));
    EXPECT_EQ(cfg.Block().mid(10), QByteArray(BlockSize - 10, char(0xFF)));
    cfg.SetBlock(QByteArray(3000, 'b'));
    EXPECT_EQ(cfg.Block(), QByteArray(BlockSize, 'b'));
}

} // namespace
} // namespace cvx::test
