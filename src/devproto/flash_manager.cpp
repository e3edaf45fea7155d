#include "flash_manager.h"

#include "binary_params.h"
#include "commands.h"
#include "link/kuldendo.h"
#include "link/vbt_comms.h"
#include "shell/logs.h"

#include <QStringList>

#include <algorithm>
#include <exception>

namespace cvx {

namespace {

const QString UnassignedText = QStringLiteral("Flash management error: Unassigned VBTPort");
const QString InProgressText = QStringLiteral("Flash management error: Communication in progress");
// The misspelling is the text the program has always shown.
const QString SetWhileBusyText =
    QStringLiteral("Flash managament error: Cannot set property while communication in progress");

// Byte offsets (0-based) inside answers: identifiers of a state answer, and the header
// of an older-family download answer (type, first identifier, signed count).
constexpr int StateFirstOffset = 5;
constexpr int StateLastOffset = 9;
constexpr int StateAnswerLength = 13;
constexpr int TalvoIdOffset = 6;
constexpr int TalvoCountOffset = 10;
constexpr int TalvoRecordsOffset = 11;
constexpr int KestrelOldIdLength = 4;
constexpr qint64 MaxRecId = 0xFFFFFFFFLL;

bool bigEndian(TFMFirmwareType f) { return f == FMFWKestrelOld; }

qint64 readId(const QByteArray& bytes, int offset, bool reversed)
{
    return ParamToIntAt(bytes, offset, 4, IntSign::Unsigned, reversed);
}

QByteArray padded(const QByteArray& record)
{
    QByteArray b = record.left(TFlashManager::RecordBufferSize);
    b.append(TFlashManager::RecordBufferSize - b.size(), '\0');
    return b;
}

} // namespace

// ---- names --------------------------------------------------------------------------------

QString FlashStatusName(TFMFlashStatus status)
{
    switch (status) {
    case FStUnknown: return QStringLiteral("FStUnknown");
    case FStErrVBTError: return QStringLiteral("FStErrVBTError");
    case FStOkNewRecordsAvailable: return QStringLiteral("FStOkNewRecordsAvailable");
    case FStOkNoNewRecords: return QStringLiteral("FStOkNoNewRecords");
    case FStErrLastRecIDLessThanOnPC: return QStringLiteral("FStErrLastRecIDLessThanOnPC");
    }
    return QString::number(int(status));
}

QString FlashWarningsText(TFMFlashWarnings warnings)
{
    static const char* const names[] = {"FWrSystimesMismatch", "FWrLastRecordsMismatch", "FWrFlashOverrun",
                                        "FWrProbablyFlashError"};
    QStringList out;
    for (int i = 0; i < 4; ++i)
        if (warnings.contains(TFMFlashWarning(i)))
            out << QString::fromLatin1(names[i]);
    return out.join(QLatin1Char(','));
}

QString RecordInfoName(TFMRecordInfo info)
{
    switch (info) {
    case FRecOK: return QStringLiteral("FRecOK");
    case FRecErrVBTError: return QStringLiteral("FRecErrVBTError");
    case FRecInvalidAnswer: return QStringLiteral("FRecInvalidAnswer");
    case FRecNoRecords: return QStringLiteral("FRecNoRecords");
    case FRecInvalidStatus: return QStringLiteral("FRecInvalidStatus");
    }
    return QString::number(int(info));
}

QString FlashRecordInfoText(TFMRecordInfo info)
{
    switch (info) {
    case FRecOK: return {};
    case FRecErrVBTError: return QStringLiteral("Kommunikációs hiba");
    case FRecInvalidAnswer: return QStringLiteral("Hibás válasz");
    case FRecNoRecords: return QStringLiteral("A kért tartomány üres");
    case FRecInvalidStatus: return QStringLiteral("Ismeretlen/hibás státusz");
    }
    return {};
}

// ---- lifecycle and properties ---------------------------------------------------------------

TFlashManager::TFlashManager() : recordBuffer_(RecordBufferSize, '\0'), alive_(std::make_shared<bool>(true)) {}

TFlashManager::~TFlashManager()
{
    Stop();
    *alive_ = false;
}

int TFlashManager::RecordSize(TFMFirmwareType family, quint8 recordType)
{
    switch (family) {
    case FMFWTalvo: return recordType == 1 ? 6 : 19;
    case FMFWCorvalux: return 21;
    case FMFWKestrelOld: return 12;
    case FMFWKestrel: return 17;
    case FMFWBrenniProject: return 24;
    }
    return 21;
}

void TFlashManager::checkLink() const
{
    if (!port_.lost())
        return;
    // The link went away; with it went every request (and no callback comes any more).
    port_ = {};
    state_ = TState::Idle;
}

TVBTComms* TFlashManager::VBTPort() const
{
    checkLink();
    return port_.get();
}

TFlashManager::TState TFlashManager::State() const
{
    checkLink();
    return state_;
}

void TFlashManager::requireIdleForSetter() const
{
    if (Busy())
        throw FlashManagementError(SetWhileBusyText);
}

void TFlashManager::SetVBTPort(TVBTComms* link)
{
    requireIdleForSetter();
    if (link == port_.get())
        return;
    port_ = link;
    status_ = FStUnknown;
}

void TFlashManager::SetVBTAddress(quint32 address)
{
    requireIdleForSetter();
    vbtAddress_ = address;
}

void TFlashManager::SetRecordType(quint8 type)
{
    requireIdleForSetter();
    recordType_ = type;
}

void TFlashManager::SetRecordsPerRequest(int count)
{
    recordsPerRequest_ = firmware_ == FMFWKestrelOld ? MaxRecordsPerRequest : std::clamp(count, 1, MaxRecordsPerRequest);
}

void TFlashManager::SetFirmwareType(TFMFirmwareType type)
{
    requireIdleForSetter();
    firmware_ = type;
    SetRecordsPerRequest(recordsPerRequest_);
}

void TFlashManager::SetLastRecIDOnPC(qint64 id)
{
    lastRecIdOnPc_ = id;
    classify();
}

void TFlashManager::SetLastRecIDInFlash(qint64 id)
{
    lastRecIdInFlash_ = id;
    classify();
}

// ---- classification ---------------------------------------------------------------------------

void TFlashManager::classify()
{
    warnings_ = {};
    // Records were lost only when at least one identifier lies between the computer's
    // newest and the logger's oldest.
    if (lastRecIdOnPc_ + 1 < firstRecIdInFlash_)
        warnings_.insert(FWrFlashOverrun);
    if (lastRecIdInFlash_ < lastRecIdOnPc_) {
        status_ = FStErrLastRecIDLessThanOnPC;
        if (lastRecIdOnPc_ - lastRecIdInFlash_ == 1)
            warnings_ = {FWrProbablyFlashError};
    } else {
        status_ = lastRecIdOnPc_ < lastRecIdInFlash_ ? FStOkNewRecordsAvailable : FStOkNoNewRecords;
    }
}

// ---- operations -----------------------------------------------------------------------------------

TOnIncoming_tagged TFlashManager::statusHandler()
{
    return TOnIncoming_tagged::keyed(this, "status",
                                     [this](const QByteArray& s, quint16 code, int tag) { onStatusAnswer(s, code, tag); });
}

TOnIncoming_tagged TFlashManager::downloadHandler()
{
    return TOnIncoming_tagged::keyed(
        this, "download", [this](const QByteArray& s, quint16 code, int tag) { onDownloadAnswer(s, code, tag); });
}

void TFlashManager::requireReady()
{
    checkLink();
    if (!port_)
        throw FlashManagementError(UnassignedText);
    if (state_ != TState::Idle)
        throw FlashManagementError(InProgressText);
}

void TFlashManager::Stop()
{
    checkLink();
    ++generation_;
    state_ = TState::Idle;
    if (port_) {
        port_->ClearQueueByHandler(statusHandler());
        port_->ClearQueueByHandler(downloadHandler());
    }
}

void TFlashManager::QueryStatus()
{
    requireReady();
    state_ = TState::StatusQuery;
    const int tag = ++generation_;
    const bool talvo = firmware_ == FMFWTalvo;
    const QByteArray requestData = talvo ? CmdOldLoggerState(recordType_) : QByteArray(cmd::CELST);
    const QByteArray expected = talvo ? QByteArray(cmd::AFLGS) : QByteArray(cmd::AELST);
    try {
        SendTagged(port_.get(), requestData, vbtAddress_, 0, tag, statusHandler(), statusHandler(), expected);
    } catch (...) {
        state_ = TState::Idle;
        throw;
    }
}

void TFlashManager::onStatusAnswer(const QByteArray& s, quint16 code, int tag)
{
    if (tag != generation_ || state_ != TState::StatusQuery)
        return;
    lastErrorCode_ = code;
    state_ = TState::Idle;
    const bool usable = code == vbt::rcOk && s.size() >= StateAnswerLength;
    if (!usable) {
        // An answer too short to hold both identifiers is no answer either.
        if (code == vbt::rcOk)
            lastErrorCode_ = vbt::rcWrongAnswer;
        firstRecIdInFlash_ = 1;
        lastRecIdInFlash_ = 0;
        status_ = FStErrVBTError;
        warnings_ = {};
        if (OnStatus)
            OnStatus(*this, status_, {});
        return;
    }
    const bool reversed = bigEndian(firmware_);
    firstRecIdInFlash_ = std::max<qint64>(1, readId(s, StateFirstOffset, reversed));
    lastRecIdInFlash_ = readId(s, StateLastOffset, reversed);
    classify();
    if (OnStatus)
        OnStatus(*this, status_, warnings_);
}

void TFlashManager::DownloadNew()
{
    requireReady();
    switch (status_) {
    case FStUnknown:
    case FStErrVBTError: return finish(FRecInvalidStatus);
    case FStOkNoNewRecords: return finish(FRecNoRecords);
    default: break;
    }
    if (lastRecIdOnPc_ != 0 && status_ != FStErrLastRecIDLessThanOnPC)
        DownloadRange(lastRecIdOnPc_ + 1, lastRecIdInFlash_);
    else
        DownloadAll();
}

void TFlashManager::DownloadAll()
{
    requireReady();
    if (status_ == FStUnknown || status_ == FStErrVBTError)
        return finish(FRecInvalidStatus);
    if (lastRecIdInFlash_ == 0)
        return finish(FRecNoRecords);
    DownloadRange(firstRecIdInFlash_, lastRecIdInFlash_);
}

void TFlashManager::DownloadRange(qint64 from, qint64 to)
{
    requireReady();
    percentDone_ = 0;
    state_ = TState::Download;
    ++generation_;
    rangeFrom_ = std::max({qint64(1), from, firstRecIdInFlash_});
    rangeTo_ = to;
    receivedCount_ = 0;
    try {
        request(rangeFrom_);
    } catch (...) {
        Stop();
        throw;
    }
}

void TFlashManager::request(qint64 start)
{
    qint64 n = std::min<qint64>({recordsPerRequest_, rangeTo_ - start + 1, MaxRecordsPerRequest});
    if (n <= 0)
        n = 1;
    checkLink();
    if (!port_) {
        Stop();
        throw FlashManagementError(UnassignedText);
    }
    QByteArray data;
    QByteArray expected;
    switch (firmware_) {
    case FMFWTalvo:
        data = CmdOldLoggerDownload(recordType_, start, int(n));
        expected = cmd::AFLGR;
        break;
    case FMFWKestrelOld:
        if (start < 0 || start > MaxRecId)
            throw DevProtoError(QStringLiteral("Record identifier out of range"));
        data = cmd::CELDL + IntToParam4(start, true) + QByteArray(1, char(n));
        expected = cmd::AELDL;
        break;
    default:
        data = CmdLoggerDownload(start, int(n));
        expected = cmd::AELDL;
        break;
    }
    auto p = std::make_unique<TKuldendo>(data, vbtAddress_);
    p->ExpectedAnswer = expected;
    p->Options = psoTagged | psoDontAck;
    p->Tag = generation_;
    p->OnRead = downloadHandler();
    p->OnError = downloadHandler();
    ++requestCount_;
    if (PauseRate > 0 && requestCount_ % PauseRate == 0) {
        p->WaitTime = port_->Timeout_1 + PauseLength;
        p->Options |= psoForceWait;
    }
    // Before sending: a refusal is reported before SendWith returns.
    nextRecId_ = start;
    SendWith(std::move(p), port_.get());
}

void TFlashManager::finish(TFMRecordInfo info)
{
    Stop();
    bool ignored = true;
    fireRecord(info, nextRecId_, {}, {}, ignored);
}

bool TFlashManager::fireRecord(TFMRecordInfo info, qint64 recId, const QByteArray& text, const QByteArray& buffer,
                               bool& canContinue)
{
    if (!OnRecord)
        return true;
    auto alive = alive_;
    const int generation = generation_;
    try {
        OnRecord(*this, info, {}, recId, text, buffer, percentDone_, canContinue);
    } catch (const std::exception& e) {
        // Unwinding through the link engine would leave it half way through a frame.
        if (*alive) {
            Stop();
            LogLine(QStringLiteral("Flash management error: %1").arg(QString::fromUtf8(e.what())), true);
        }
        return false;
    }
    return *alive && generation == generation_ && state_ == TState::Download;
}

int TFlashManager::percentFor(qint64 recId) const
{
    if (rangeTo_ == rangeFrom_ || recId > rangeTo_)
        return 100;
    return int((recId - rangeFrom_) * 100 / (rangeTo_ - rangeFrom_));
}

void TFlashManager::onDownloadAnswer(const QByteArray& s, quint16 code, int tag)
{
    if (tag != generation_ || state_ != TState::Download)
        return;
    lastErrorCode_ = code;
    // The logger's "nothing stored there" is not the download answer the request
    // expected, so the link reports it as a wrong answer.
    if ((code == vbt::rcOk || code == vbt::rcWrongAnswer) && HasMnemonic(s, cmd::AERCM))
        return finish(FRecNoRecords);
    if (code != vbt::rcOk)
        return finish(FRecErrVBTError);
    handleRecords(s);
}

TFlashManager::Parse TFlashManager::parseAnswer(const QByteArray& s, std::vector<Record>& out) const
{
    const int size = RecordSize(firmware_, recordType_);
    if (firmware_ == FMFWTalvo) {
        if (!HasMnemonic(s, cmd::AFLGR) || s.size() < TalvoRecordsOffset)
            return Parse::Invalid;
        const int count = int(qint8(s.at(TalvoCountOffset)));
        if (count == 0)
            return Parse::NoRecords;
        const QByteArray data = s.mid(TalvoRecordsOffset);
        if (count < 0 || data.size() != qsizetype(count) * size)
            return Parse::Invalid;
        const qint64 first = readId(s, TalvoIdOffset, false);
        for (int i = 0; i < count; ++i) {
            const QByteArray r = data.mid(qsizetype(i) * size, size);
            out.push_back({first + i, r, padded(r)});
        }
        return Parse::Records;
    }

    if (!HasMnemonic(s, cmd::AELDL))
        return Parse::Invalid;
    QByteArray data = s.mid(AnswerParamOffset);
    qint64 first = 0;
    if (firmware_ == FMFWKestrelOld) {
        if (data.size() < KestrelOldIdLength)
            return Parse::Invalid;
        first = readId(data, 0, true);
        if (first == 0)
            return Parse::Invalid;
        data = data.mid(KestrelOldIdLength);
    }
    // An answer without records would ask for the same records again and again.
    if (data.isEmpty())
        return Parse::NoRecords;
    if (data.size() % size != 0)
        return Parse::Invalid;
    for (qsizetype pos = 0, i = 0; pos < data.size(); pos += size, ++i) {
        const QByteArray r = data.mid(pos, size);
        if (firmware_ == FMFWKestrelOld) {
            // Running identifier, time stamp turned little-endian, the data bytes.
            QByteArray stamp = r.left(4);
            std::reverse(stamp.begin(), stamp.end());
            out.push_back({first + i, r, padded(IntToParam4(first + i) + stamp + r.right(8))});
        } else {
            out.push_back({readId(r, 0, false), r, padded(r)});
        }
    }
    return Parse::Records;
}

void TFlashManager::handleRecords(const QByteArray& s)
{
    std::vector<Record> records;
    switch (parseAnswer(s, records)) {
    case Parse::NoRecords: return finish(FRecNoRecords);
    case Parse::Invalid: {
        Stop();
        bool ignored = true;
        fireRecord(FRecInvalidAnswer, nextRecId_, {}, {}, ignored);
        return;
    }
    case Parse::Records: break;
    }

    bool canContinue = true;
    for (const Record& r : records) {
        if (!canContinue)
            break;
        // A logger that overwrote the requested records meanwhile sends later ones; the
        // identifiers they carry keep the download in step, never moving back.
        const qint64 current = std::max(nextRecId_, r.id);
        recordBuffer_ = r.buffer;
        ++receivedCount_;
        percentDone_ = percentFor(current);
        if (!fireRecord(FRecOK, r.id, r.text, recordBuffer_, canContinue))
            return;
        nextRecId_ = current + 1;
    }
    if (canContinue && rangeTo_ >= nextRecId_) {
        try {
            request(nextRecId_);
        } catch (const std::exception& e) {
            LogLine(QStringLiteral("Flash management error: %1").arg(QString::fromUtf8(e.what())), true);
            finish(FRecErrVBTError);
        }
    } else {
        Stop();
    }
}

} // namespace cvx
