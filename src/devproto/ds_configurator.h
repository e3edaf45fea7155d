#pragma once
// TDataStoreConfigurator: reads a data logger's parameter block (ds_block.h) into
// memory in 14 requests of 179 bytes, and writes it back the same way followed by a
// restart of the device, which makes the logger work from the new block. Outcomes
// arrive through OnDSDataRead / OnDSDataWritten with the link's result code (0 =
// success); only misuse throws DataStoreConfiguratorError.

#include "devproto/devproto_error.h"
#include "link/link_ref.h"
#include "link/vbt_types.h"

#include <QByteArray>

#include <functional>
#include <memory>

namespace cvx {

class TVBTComms;

// "TDataStoreConfigurator: VBTPort not assigned." and
// "TDataStoreConfigurator: Operation in progress.".
class DataStoreConfiguratorError : public DevProtoError {
public:
    using DevProtoError::DevProtoError;
};

class TDataStoreConfigurator {
public:
    enum class TOperation { Idle, Reading, Writing };

    // Answer time-out of a written piece, and how long the link keeps quiet after the
    // restart request while the device starts again.
    static constexpr int WritePieceWaitMs = 3000;
    static constexpr int RestartWaitMs = 7000;

    using TOnDone = std::function<void(TDataStoreConfigurator& sender, int errorCode)>;
    using TOnPercentDone = std::function<void(TDataStoreConfigurator& sender, int percent)>;

    TDataStoreConfigurator();
    ~TDataStoreConfigurator(); // Stop
    TDataStoreConfigurator(const TDataStoreConfigurator&) = delete;
    TDataStoreConfigurator& operator=(const TDataStoreConfigurator&) = delete;

    // The logger's link (an interface's LoggerLink, or the watchdog link). Not owned;
    // reads as nullptr once that link has been destroyed. Throws while an operation runs.
    TVBTComms* VBTPort() const;
    void SetVBTPort(TVBTComms* link);
    // Device address on the link; 0: the link's own.
    quint32 VBTAddress = 0;

    // The block: always dsblock::BlockSize bytes, 0xFF ("not set") until read. A read
    // replaces it only when it succeeds.
    const QByteArray& Block() const { return block_; }
    // Takes a block to write; a shorter one is padded with 0xFF, a longer one cut.
    void SetBlock(const QByteArray& block);

    TOperation Operation() const;
    bool Busy() const { return Operation() != TOperation::Idle; }
    // The parameter bytes received so far by the running (or last) read, in order.
    const QByteArray& ReceivedText() const { return received_; }

    TOnDone OnDSDataRead;       // (error code) after the last piece or the first failure
    TOnDone OnDSDataWritten;    // (error code) after the 14th piece or the first failure
    TOnPercentDone OnPercentDone;

    // Reads the whole block from the device.
    void ReadBlock();
    // Writes the whole block and restarts the device. Completion is reported after the
    // last piece; the restart request stays queued on the link behind it.
    void WriteBlock();
    // Withdraws this component's waiting requests (a pending restart only while the
    // write it belongs to is still running) and returns to idle without an event.
    void Stop();

private:
    void checkLink() const;
    void requireReady() const;
    void onRead(const QByteArray& s, quint16 code, int tag);
    void onWritten(quint16 code, int tag);
    TOnVBTCmdResult readHandler();
    TOnVBTCmdResult writeHandler();
    TOnVBTCmdResult restartHandler();
    void withdraw(bool alsoRestart);

    mutable TLinkRef port_;
    mutable TOperation operation_ = TOperation::Idle;
    QByteArray block_;
    QByteArray staging_;   // the block being assembled by a read
    QByteArray received_;
    int run_ = 0;          // counts operations, so a submitting loop notices an early end
};

} // namespace cvx
