#include "ds_configurator.h"

#include "commands.h"
#include "ds_block.h"
#include "link/kuldendo.h"
#include "link/vbt_comms.h"

namespace cvx {

using namespace dsblock;

namespace {

const QString UnassignedText = QStringLiteral("TDataStoreConfigurator: VBTPort not assigned.");
const QString InProgressText = QStringLiteral("TDataStoreConfigurator: Operation in progress.");
constexpr int RestartTag = PieceCount + 1;

} // namespace

TDataStoreConfigurator::TDataStoreConfigurator() : block_(EmptyBlock()) {}

TDataStoreConfigurator::~TDataStoreConfigurator() { Stop(); }

void TDataStoreConfigurator::checkLink() const
{
    if (!port_.lost())
        return;
    port_ = {};
    operation_ = TOperation::Idle;
}

TVBTComms* TDataStoreConfigurator::VBTPort() const
{
    checkLink();
    return port_.get();
}

TDataStoreConfigurator::TOperation TDataStoreConfigurator::Operation() const
{
    checkLink();
    return operation_;
}

void TDataStoreConfigurator::SetVBTPort(TVBTComms* link)
{
    if (Busy())
        throw DataStoreConfiguratorError(InProgressText);
    port_ = link;
}

void TDataStoreConfigurator::SetBlock(const QByteArray& block)
{
    block_ = block.left(BlockSize);
    if (block_.size() < BlockSize)
        block_.append(BlockSize - block_.size(), char(0xFF));
}

void TDataStoreConfigurator::requireReady() const
{
    checkLink();
    if (!port_)
        throw DataStoreConfiguratorError(UnassignedText);
    if (operation_ != TOperation::Idle)
        throw DataStoreConfiguratorError(InProgressText);
}

TOnVBTCmdResult TDataStoreConfigurator::readHandler()
{
    return TOnVBTCmdResult::keyed(this, "read",
                                  [this](TVBTComms*, const QByteArray& s, quint16 code, int tag, void*, const QString&) {
                                      onRead(s, code, tag);
                                  });
}

TOnVBTCmdResult TDataStoreConfigurator::writeHandler()
{
    return TOnVBTCmdResult::keyed(this, "write",
                                  [this](TVBTComms*, const QByteArray&, quint16 code, int tag, void*, const QString&) {
                                      onWritten(code, tag);
                                  });
}

TOnVBTCmdResult TDataStoreConfigurator::restartHandler()
{
    // The restart outlives the write it belongs to (and may outlive this component):
    // its outcome concerns nobody, so the handler touches nothing.
    return TOnVBTCmdResult::keyed(this, "restart",
                                  [](TVBTComms*, const QByteArray&, quint16, int, void*, const QString&) {});
}

void TDataStoreConfigurator::withdraw(bool alsoRestart)
{
    if (!port_)
        return;
    port_->ClearQueueByResultHandler(readHandler());
    port_->ClearQueueByResultHandler(writeHandler());
    if (alsoRestart)
        port_->ClearQueueByResultHandler(restartHandler());
}

void TDataStoreConfigurator::Stop()
{
    checkLink();
    ++run_;
    // A restart whose pieces were not all written must not reach the device: it would
    // start working from a half-written block.
    withdraw(operation_ == TOperation::Writing);
    operation_ = TOperation::Idle;
}

void TDataStoreConfigurator::ReadBlock()
{
    requireReady();
    operation_ = TOperation::Reading;
    received_.clear();
    staging_ = block_;
    const int run = ++run_;
    for (int i = 0; i < PieceCount; ++i) {
        SendWithResult(port_.get(), CmdReadParams(BlockAddress + PieceSize * i, PieceSize), VBTAddress, 0, QString(),
                       nullptr, i + 1, readHandler(), cmd::ASYRE);
        // A refusal is reported at once and may already have ended the read.
        if (run != run_ || operation_ != TOperation::Reading)
            return;
    }
}

void TDataStoreConfigurator::onRead(const QByteArray& s, quint16 code, int tag)
{
    if (operation_ != TOperation::Reading)
        return;
    if (code == vbt::rcOk && tag >= 1 && tag <= PieceCount) {
        const QByteArray data = AnswerParams(s);
        received_ += data;
        // Each piece goes to its own place: a short answer leaves the rest of its piece
        // as it was instead of shifting every later piece.
        const QByteArray piece = data.left(PieceSize);
        staging_.replace(PieceSize * (tag - 1), piece.size(), piece);
    }
    if (code != vbt::rcOk || tag == PieceCount) {
        Stop();
        if (code == vbt::rcOk)
            block_ = staging_;
        operation_ = TOperation::Idle;
        if (OnDSDataRead)
            OnDSDataRead(*this, code);
        return;
    }
    if (OnPercentDone)
        OnPercentDone(*this, tag * 100 / PieceCount);
}

void TDataStoreConfigurator::WriteBlock()
{
    requireReady();
    operation_ = TOperation::Writing;
    const int run = ++run_;
    for (int i = 0; i < PieceCount; ++i) {
        const QByteArray piece = block_.mid(PieceSize * i, PieceSize);
        if (piece.isEmpty())
            continue;
        auto p = std::make_unique<TKuldendo>(CmdWriteParams(BlockAddress + PieceSize * i, piece), VBTAddress);
        p->ExpectedAnswer = cmd::ASYWE;
        p->WaitTime = WritePieceWaitMs;
        p->Options = psoDontAck;
        p->Tag = i + 1;
        p->OnResult = writeHandler();
        SendWith(std::move(p), port_.get());
        if (run != run_ || operation_ != TOperation::Writing)
            return;
    }
    auto restart = std::make_unique<TKuldendo>(QByteArray(cmd::CSYRS), VBTAddress);
    restart->WaitTime = RestartWaitMs;
    restart->Options = psoDontAck | psoForceWait;
    restart->Tag = RestartTag;
    restart->OnResult = restartHandler();
    SendWith(std::move(restart), port_.get());
}

void TDataStoreConfigurator::onWritten(quint16 code, int tag)
{
    if (operation_ != TOperation::Writing)
        return;
    if (code != vbt::rcOk || tag >= PieceCount) {
        // After a failure nothing more goes out; after the last piece the restart does.
        withdraw(code != vbt::rcOk);
        ++run_;
        operation_ = TOperation::Idle;
        if (OnDSDataWritten)
            OnDSDataWritten(*this, code);
        return;
    }
    if (OnPercentDone)
        OnPercentDone(*this, tag * 100 / PieceCount);
}

} // namespace cvx
