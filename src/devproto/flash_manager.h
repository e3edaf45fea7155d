#pragma once
// TFlashManager: fetches the numbered records that a data logger keeps in its flash
// store and the computer missed. It asks the logger for its oldest and newest record
// identifier, compares them with the newest identifier the computer holds, classifies
// the situation, and downloads a range of records a few at a time, handing each record
// to its owner through OnRecord. Every outcome arrives through OnStatus and OnRecord;
// only misuse (no link, overlapping operations) throws FlashManagementError.
//
// The manager has no timers of its own: every wait is the link engine's.

#include "devproto/devproto_error.h"
#include "link/link_ref.h"
#include "link/vbt_types.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <initializer_list>
#include <memory>
#include <vector>

namespace cvx {

class TVBTComms;

// A small set of enumerators (ordinals 0..31), the way the logger family flags travel.
template <typename E>
class TEnumSet {
public:
    constexpr TEnumSet() = default;
    constexpr TEnumSet(std::initializer_list<E> items)
    {
        for (E e : items)
            bits_ |= bit(e);
    }
    constexpr bool contains(E e) const { return (bits_ & bit(e)) != 0; }
    constexpr void insert(E e) { bits_ |= bit(e); }
    constexpr void remove(E e) { bits_ &= ~bit(e); }
    constexpr bool empty() const { return bits_ == 0; }
    constexpr quint32 bits() const { return bits_; }
    friend constexpr bool operator==(TEnumSet a, TEnumSet b) { return a.bits_ == b.bits_; }

private:
    static constexpr quint32 bit(E e) { return quint32(1) << int(e); }
    quint32 bits_ = 0;
};

// Logger firmware families; this system's loggers are FMFWCorvalux.
enum TFMFirmwareType : int { FMFWTalvo, FMFWCorvalux, FMFWKestrelOld, FMFWKestrel, FMFWBrenniProject };

enum TFMFlashStatus : int {
    FStUnknown,
    FStErrVBTError,
    FStOkNewRecordsAvailable,
    FStOkNoNewRecords,
    FStErrLastRecIDLessThanOnPC,
};

enum TFMFlashWarning : int {
    FWrSystimesMismatch,
    FWrLastRecordsMismatch,
    FWrFlashOverrun,        // the logger overwrote records the computer never got
    FWrProbablyFlashError,  // the logger is exactly one record behind the computer
};
using TFMFlashWarnings = TEnumSet<TFMFlashWarning>;

enum TFMRecordInfo : int {
    FRecOK,
    FRecErrVBTError,     // the link reported a failure (LastErrorCode holds its code)
    FRecInvalidAnswer,
    FRecNoRecords,       // the requested range holds no records
    FRecInvalidStatus,   // no usable store state to download from
};

// Declared for the record events; the downloader always reports the empty set.
enum TFMRecordWarning : int {
    FRecWrTimestampNewerThanSystime,
    FRecWrTimestampOlderThanPrevious,
    FRecWrTimestampOutOfDate,
};
using TFMRecordWarnings = TEnumSet<TFMRecordWarning>;

// Names for logs and test output ("FStOkNoNewRecords", "FWrFlashOverrun,FWrProbablyFlashError").
QString FlashStatusName(TFMFlashStatus status);
QString FlashWarningsText(TFMFlashWarnings warnings);
QString RecordInfoName(TFMRecordInfo info);
// Why a download ended, as the acquisition log words it: "Kommunikációs hiba",
// "Hibás válasz", "A kért tartomány üres", "Ismeretlen/hibás státusz"; empty for FRecOK.
QString FlashRecordInfoText(TFMRecordInfo info);

// Misuse of the downloader: "Flash management error: Unassigned VBTPort", "... Communication
// in progress", "Flash managament error: Cannot set property while communication in progress".
class FlashManagementError : public DevProtoError {
public:
    using DevProtoError::DevProtoError;
};

class TFlashManager {
public:
    enum class TState { Idle, StatusQuery, Download };

    static constexpr int RecordBufferSize = 24;
    static constexpr int MaxRecordsPerRequest = 5;

    // OnStatus (sender, status, warnings): after every state answer or link failure of
    // QueryStatus.
    using TOnStatus = std::function<void(TFlashManager& sender, TFMFlashStatus status, TFMFlashWarnings warnings)>;
    // OnRecord (sender, info, warnings, record identifier, record as received, record in
    // the common 24-byte layout, percent done, can-continue): once per downloaded record
    // with FRecOK; set canContinue to false to end the download after it. Once with
    // another info when a download ends early; then both record texts are empty and
    // canContinue is not read.
    using TOnRecord = std::function<void(TFlashManager& sender, TFMRecordInfo info, TFMRecordWarnings warnings,
                                         qint64 recId, const QByteArray& recordText, const QByteArray& record,
                                         int percentDone, bool& canContinue)>;

    TFlashManager();
    ~TFlashManager(); // stops first: its waiting requests leave the link
    TFlashManager(const TFlashManager&) = delete;
    TFlashManager& operator=(const TFlashManager&) = delete;

    // ---- properties ----
    // The link the logger is reached through (the interface's LoggerLink). Not owned;
    // reads as nullptr once that link has been destroyed. Setting a different link
    // resets Status to FStUnknown. The setters of the link properties throw while busy.
    TVBTComms* VBTPort() const;
    void SetVBTPort(TVBTComms* link);
    // 0: the link's own device address.
    quint32 VBTAddress() const { return vbtAddress_; }
    void SetVBTAddress(quint32 address);
    // FMFWTalvo only: record type 0 (19-byte records) or 1 (6-byte records).
    quint8 RecordType() const { return recordType_; }
    void SetRecordType(quint8 type);
    // 1..5; always 5 for FMFWKestrelOld.
    int RecordsPerRequest() const { return recordsPerRequest_; }
    void SetRecordsPerRequest(int count);
    TFMFirmwareType FirmwareType() const { return firmware_; }
    void SetFirmwareType(TFMFirmwareType type);
    // Newest record identifier the computer holds. Setting it reclassifies (no traffic).
    qint64 LastRecIDOnPC() const { return lastRecIdOnPc_; }
    void SetLastRecIDOnPC(qint64 id);
    // Every PauseRate-th request (0: never) waits the link's first time-out plus
    // PauseLength ms, giving a slow logger a pause.
    int PauseRate = 0;
    int PauseLength = 0;

    TOnStatus OnStatus;
    TOnRecord OnRecord;

    // ---- state ----
    TState State() const;
    bool Busy() const { return State() != TState::Idle; }
    TFMFlashStatus Status() const { return status_; }
    TFMFlashWarnings Warnings() const { return warnings_; }
    qint64 FirstRecIDInFlash() const { return firstRecIdInFlash_; }
    qint64 LastRecIDInFlash() const { return lastRecIdInFlash_; }
    // The logger holds records up to id (an EELDL report): reclassifies without traffic.
    void SetLastRecIDInFlash(qint64 id);
    int LastErrorCode() const { return lastErrorCode_; }
    int RequestCount() const { return requestCount_; }
    qint64 RangeFrom() const { return rangeFrom_; }
    qint64 RangeTo() const { return rangeTo_; }
    qint64 NextRecID() const { return nextRecId_; }
    int ReceivedCount() const { return receivedCount_; }
    int PercentDone() const { return percentDone_; }
    const QByteArray& RecordBuffer() const { return recordBuffer_; }

    // ---- operations ----
    // Asks the logger for its store state; OnStatus reports the outcome.
    void QueryStatus();
    // Downloads what the computer lacks according to Status.
    void DownloadNew();
    // Downloads everything the logger holds.
    void DownloadAll();
    void DownloadRange(qint64 from, qint64 to);
    // Ends any activity and withdraws this manager's waiting requests from the link.
    void Stop();

    // Record size of a family's download answers.
    static int RecordSize(TFMFirmwareType family, quint8 recordType);

private:
    struct Record {
        qint64 id = 0;
        QByteArray text;   // as received
        QByteArray buffer; // common layout, RecordBufferSize bytes
    };
    enum class Parse { Records, NoRecords, Invalid };

    void checkLink() const;
    void requireReady(); // link assigned, idle
    void requireIdleForSetter() const;
    void classify();
    void request(qint64 start);
    void finish(TFMRecordInfo info);
    // false when this manager was destroyed by the handler, or the download ended.
    bool fireRecord(TFMRecordInfo info, qint64 recId, const QByteArray& text, const QByteArray& buffer,
                    bool& canContinue);
    void onStatusAnswer(const QByteArray& s, quint16 code, int tag);
    void onDownloadAnswer(const QByteArray& s, quint16 code, int tag);
    void handleRecords(const QByteArray& s);
    Parse parseAnswer(const QByteArray& s, std::vector<Record>& out) const;
    int percentFor(qint64 recId) const;
    TOnIncoming_tagged statusHandler();
    TOnIncoming_tagged downloadHandler();

    mutable TLinkRef port_;
    mutable TState state_ = TState::Idle;
    quint32 vbtAddress_ = 0;
    quint8 recordType_ = 0;
    int recordsPerRequest_ = MaxRecordsPerRequest;
    TFMFirmwareType firmware_ = FMFWKestrel;
    qint64 lastRecIdOnPc_ = 0;

    TFMFlashStatus status_ = FStUnknown;
    TFMFlashWarnings warnings_;
    qint64 firstRecIdInFlash_ = 1;
    qint64 lastRecIdInFlash_ = 0;
    int lastErrorCode_ = 0;
    int requestCount_ = 0;
    qint64 rangeFrom_ = 0;
    qint64 rangeTo_ = 0;
    qint64 nextRecId_ = 0;
    int receivedCount_ = 0;
    int percentDone_ = 0;
    QByteArray recordBuffer_;
    // Tag of the requests of the current operation; answers of an earlier one are ignored.
    int generation_ = 0;
    std::shared_ptr<bool> alive_;
};

} // namespace cvx
