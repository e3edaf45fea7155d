// Data loggers: records reported with EELDL are kept in sequence; a gap starts the
// record downloader, whose records become measurements as well.

#include "acquisition.h"

#include "devproto/binary_params.h"
#include "devproto/commands.h"
#include "devproto/flash_manager.h"
#include "link/vbt_comms.h"
#include "platform/time_service.h"
#include "shell/logs.h"
#include "shell/safe_format.h"
#include "shell/shell_state.h"
#include "store/sql_connection.h"
#include "store/sql_query.h"

#include <exception>

namespace cvx {

namespace {

constexpr qsizetype RecordOffset = MnemonicLength; // the record follows "EELDL"
constexpr int TypeByte = 10;
constexpr int AddressByte = 11;
constexpr int DataOffset = 13;
constexpr int DataBytes = 8;

bool validRecordLength(qsizetype n) { return n == 17 || n == 21 || n == 24; }

qint64 recordId(const QByteArray& record)
{
    const auto* b = reinterpret_cast<const quint8*>(record.constData());
    return qint32(quint32(b[0]) | (quint32(b[1]) << 8) | (quint32(b[2]) << 16) | (quint32(b[3]) << 24));
}

} // namespace

void Acquisition::wireFlashManager(TProbe& iface, qint64 lastRecId)
{
    if (!iface.FlashManager)
        iface.FlashManager = std::make_shared<TFlashManager>();
    TFlashManager& f = *iface.FlashManager;
    f.Stop();
    f.SetVBTPort(iface.LoggerLink.get());
    f.SetFirmwareType(FMFWCorvalux);
    f.SetLastRecIDOnPC(lastRecId);
    iface.SavedLastRecID = lastRecId;
    iface.InSync = false;
    TProbe* self = &iface;
    f.OnStatus = [this, self](TFlashManager&, TFMFlashStatus status, TFMFlashWarnings warnings) {
        OnFlashStatus(*self, status, warnings);
    };
    f.OnRecord = [this, self](TFlashManager&, TFMRecordInfo info, TFMRecordWarnings, qint64 recId, const QByteArray&,
                              const QByteArray& record, int percentDone, bool& canContinue) {
        OnFlashRecord(*self, info, recId, record, percentDone, canContinue);
    };
}

void Acquisition::SaveLastRecID(TProbe& iface)
{
    if (!iface.isInterface() || !iface.FlashManager)
        return;
    const qint64 id = iface.FlashManager->LastRecIDOnPC();
    if (!db_ || id == iface.SavedLastRecID)
        return;
    auto c = db_->NewCommand(QStringLiteral("update probe_type set Last_RecID = :rid where Probe_type_id = :id"));
    c->SetParam(QStringLiteral("rid"), id);
    c->SetParam(QStringLiteral("id"), iface.Id);
    if (c->Execute())
        iface.SavedLastRecID = id;
}

void Acquisition::logFlash(const TProbe& iface, const QString& message)
{
    LogLine(SafeFormat(QStringLiteral("%s - %s"), iface.Name, message));
}

// ------------------------------------------------------------------- logger events

void Acquisition::HandleLoggerEvent(TProbe& iface, const QByteArray& answer, quint16 code)
{
    if (!answer.startsWith(QByteArrayView(cmd::EELDL, MnemonicLength)))
        return;
    const QByteArray record = answer.mid(RecordOffset);
    if (!validRecordLength(record.size()) || record[TypeByte] != 'g')
        return;
    if (TProbe* sensor = lists_.FindSensorByAddress(&iface, quint8(record[AddressByte])))
        HandleAnswer(*sensor, answer, code);
}

bool Acquisition::loggerSequenceCheck(TProbe& sensor, const QByteArray& answer, QByteArray* data, QDateTime* time)
{
    const QByteArray record = answer.mid(RecordOffset);
    TProbe* iface = sensor.ParentInterface;
    if (!validRecordLength(record.size()) || !iface || !iface->FlashManager)
        return false;
    TFlashManager& f = *iface->FlashManager;
    const qint64 r = recordId(record);
    if (r < 0 || r != f.LastRecIDOnPC() + 1) {
        iface->InSync = false;
        if (r >= 0)
            f.SetLastRecIDInFlash(r);
        if (!f.Busy()) {
            try {
                f.QueryStatus();
            } catch (const std::exception& e) {
                logFlash(*iface, QString::fromUtf8(e.what()));
            }
        }
        return false;
    }
    iface->InSync = true;
    f.SetLastRecIDInFlash(r);
    f.SetLastRecIDOnPC(r);
    SaveLastRecID(*iface);
    if (record[TypeByte] != 'g')
        return false;
    *data = record.mid(DataOffset, DataBytes);
    *time = DecodePackedDateTime(record, 4);
    // A logger reports a record as it stores it: without a readable time stamp, now is
    // the best time it has.
    if (!time->isValid())
        *time = currentTime();
    return true;
}

// ---------------------------------------------------------------- downloaded records

bool Acquisition::HandleLoggerRecord(TProbe& sensor, const QByteArray& record)
{
    if (record.size() < DataOffset + DataBytes)
        return false;
    const QByteArray data = record.mid(DataOffset, DataBytes);
    const QDateTime time = DecodePackedDateTime(record, 4);
    if (!time.isValid()) {
        // Storing it at some other time would falsify the history; it is left out.
        LogLine(SafeFormat(QStringLiteral("%s - hibás időbélyeg, a rekord kimarad: %s"), sensor.Name,
                           DecimalDump(record)));
        return true;
    }
    measure(sensor, QByteArray(cmd::AITGD) + data, data, time, Source::LoggerRecord);
    return true;
}

void Acquisition::startDownload(TProbe& iface)
{
    TFlashManager& f = *iface.FlashManager;
    if (shellState().ModalOpen || f.Busy())
        return;
    try {
        f.DownloadNew();
    } catch (const std::exception& e) {
        logFlash(iface, QString::fromUtf8(e.what()));
    }
}

void Acquisition::OnFlashStatus(TProbe& iface, TFMFlashStatus status, TFMFlashWarnings warnings)
{
    if (!iface.FlashManager)
        return;
    TFlashManager& f = *iface.FlashManager;
    if (status == FStErrLastRecIDLessThanOnPC) {
        logFlash(iface, SafeFormat(QStringLiteral("törölt flash; PC: %d Flash: %d-%d"), f.LastRecIDOnPC(),
                                   f.FirstRecIDInFlash(), f.LastRecIDInFlash()));
        if (f.LastRecIDInFlash() != 0 && f.LastRecIDInFlash() >= f.FirstRecIDInFlash()) {
            logFlash(iface, SafeFormat(QStringLiteral("törlés utáni új adatok: %d-%d"), f.FirstRecIDInFlash(),
                                       f.LastRecIDInFlash()));
            startDownload(iface);
        }
    } else if (status == FStOkNewRecordsAvailable) {
        if (warnings.contains(FWrFlashOverrun))
            logFlash(iface, SafeFormat(QStringLiteral("körbefordulás; PC: %d Flash: %d-%d"), f.LastRecIDOnPC(),
                                       f.FirstRecIDInFlash(), f.LastRecIDInFlash()));
        logFlash(iface, SafeFormat(QStringLiteral("új adatok: %d-%d"), f.LastRecIDOnPC() + 1, f.LastRecIDInFlash()));
        startDownload(iface);
    }
}

void Acquisition::OnFlashRecord(TProbe& iface, TFMRecordInfo info, qint64 recId, const QByteArray& record,
                                int percentDone, bool& canContinue)
{
    if (!iface.FlashManager)
        return;
    TFlashManager& f = *iface.FlashManager;
    if (info != FRecOK) {
        f.Stop();
        logFlash(iface, SafeFormat(QStringLiteral("%s. A lekérdezés megszakadt."), FlashRecordInfoText(info)));
        return;
    }
    iface.Progress = iface.InSync ? 100 : percentDone;
    const bool erased = f.LastRecIDInFlash() != 0 && f.LastRecIDInFlash() < f.LastRecIDOnPC();
    if ((recId >= 0 && recId > f.LastRecIDOnPC()) || erased)
        canContinue = processFlashRecord(iface, recId, record);
    if (canContinue && percentDone < 100)
        return;
    logFlash(iface, SafeFormat(QStringLiteral("%d új rekord letöltve."), f.ReceivedCount()));
    iface.InSync = true;
    SaveLastRecID(iface);
}

bool Acquisition::processFlashRecord(TProbe& iface, qint64 recId, const QByteArray& record)
{
    try {
        bool ok = true;
        if (record.size() <= AddressByte)
            return false;
        const char type = record[TypeByte];
        if (type == 'g') {
            try {
                if (TProbe* sensor = lists_.FindSensorByAddress(&iface, quint8(record[AddressByte])))
                    ok = HandleLoggerRecord(*sensor, record);
            } catch (const std::exception& e) {
                logFlash(iface, SafeFormat(QStringLiteral("Mérésiesemény-rögzítési hiba. %s"), QString::fromUtf8(e.what())));
                ok = false;
            }
        } else {
            logFlash(iface, SafeFormat(QStringLiteral("Nem implementált eseménytípus: %d FlashID/tartalom: %d / %s"),
                                       int(quint8(type)), recId, DecimalDump(record)));
        }
        if (ok)
            iface.FlashManager->SetLastRecIDOnPC(recordId(record));
        return ok;
    } catch (const std::exception& e) {
        logFlash(iface, SafeFormat(QStringLiteral("Rekordfeldolgozási hiba: %s"), QString::fromUtf8(e.what())));
        return false;
    }
}

} // namespace cvx
