// From an answer to measurements: decoding, plausibility, derived values, recording at
// the recording rate with updates of the newest rows in between, the text log, the
// relay latch, the views and the event engine.

#include "acquisition.h"

#include "measure_decode.h"

#include "devproto/commands.h"
#include "link/vbt_comms.h"
#include "platform/time_service.h"
#include "shell/catalogue.h"
#include "shell/conventions.h"
#include "shell/logs.h"
#include "shell/safe_format.h"
#include "shell/shell_state.h"
#include "store/measure_store.h"
#include "store/sql_connection.h"
#include "store/sql_query.h"

#include <QFileDevice>
#include <QIODevice>

#include <cmath>

namespace cvx {

namespace {

// Shortest decimal text with the process decimal separator ("22,45").
QString shortestText(double value)
{
    QString text = QString::number(value, 'f', QLocale::FloatingPointShortest);
    text.replace(u'.', DecimalSeparator);
    return text;
}

// The same moment with its UTC offset fixed. Times of the hot path are kept this way:
// comparing and subtracting local times asks the C library for the time zone at every
// step (and glibc looks at /etc/localtime each time), a fixed offset is arithmetic.
// The wall-clock reading, which is what the database stores, is unchanged.
QDateTime fixedOffset(const QDateTime& t)
{
    if (!t.isValid() || t.timeSpec() != Qt::LocalTime)
        return t;
    return QDateTime::fromMSecsSinceEpoch(t.toMSecsSinceEpoch(), Qt::OffsetFromUTC, t.offsetFromUtc());
}

bool hasMnemonic(const QByteArray& answer, const char* mnemonic)
{
    return answer.startsWith(QByteArrayView(mnemonic, MnemonicLength));
}

// The derived values 17..20 of one pass; false when the value cannot be computed.
bool derivedValue(const TProbe& s, int l, double* value)
{
    if (!sensorCarries(s.SensorType, l))
        return false;
    if (l == mtUe) {
        // Without a valid temperature and humidity there is no moisture to compute.
        if (!s.HasValue(mtT) || !s.HasValue(mtH))
            return false;
        *value = EquilibriumMoisture(s.Values[mtT], s.Values[mtH]);
        return std::isfinite(*value);
    }
    // An empty window has no average (its extremes are out of range anyway).
    if (s.TempWindow.Count() == 0)
        return false;
    *value = l == mtTAv ? s.TempWindow.Average() : l == mtTMin ? s.TempWindow.Minimum() : s.TempWindow.Maximum();
    return true;
}

} // namespace

void Acquisition::HandleAnswer(TProbe& sensor, const QByteArray& answer, quint16 code)
{
    if (code != 0 || sensor.isInterface())
        return;
    if (sensor.SensorType == stWeatherStation && hasMnemonic(answer, cmd::AWSRM)) {
        QByteArray synthesized;
        if (weatherStep(sensor, answer, &synthesized))
            processAnswer(sensor, synthesized);
        return;
    }
    processAnswer(sensor, answer);
}

void Acquisition::processAnswer(TProbe& sensor, const QByteArray& answer)
{
    if (hasMnemonic(answer, cmd::EELDL)) {
        QByteArray data;
        QDateTime time;
        if (loggerSequenceCheck(sensor, answer, &data, &time))
            measure(sensor, answer, data, time, Source::LoggerEvent);
        return;
    }
    measure(sensor, answer, answer.mid(MnemonicLength), currentTime(), Source::Live);
}

QDateTime Acquisition::currentTime() const { return fixedOffset(time_.localNow()); }

void Acquisition::measure(TProbe& s, const QByteArray& answer, const QByteArray& received,
                          const QDateTime& measuredAt, Source source)
{
    const QDateTime time = fixedOffset(measuredAt);
    const QDateTime now = source == Source::Live ? time : currentTime();
    const TProbe* iface = s.ParentInterface;
    const bool inSync = iface && iface->InSync;

    // Empty logger records: the logger could not reach the sensor. The record's own
    // data is checked, not the zero padding added for the computed moisture.
    if (source == Source::LoggerEvent || (source == Source::LoggerRecord && inSync)) {
        bool empty = !received.isEmpty();
        for (char c : received)
            empty = empty && quint8(c) == 0xFF;
        if (empty) {
            if (++s.EmptyRecordCount >= shellState().INACTIVITY_FACTOR)
                s.Inactive = true;
            return;
        }
        s.EmptyRecordCount = 0;
    }
    if (!hasMnemonic(answer, cmd::EELDL) && !hasMnemonic(answer, cmd::AITGD) && !hasMnemonic(answer, cmd::ARLGS))
        return;

    const bool broken = IsBrokenMeasurementData(received);
    QByteArray data = received;
    if (sensorCarries(s.SensorType, mtUe))
        data.append(2, '\0');

    s.PollPending = false;
    s.LastAnswer = source == Source::LoggerRecord ? QString::fromLatin1(QByteArray(cmd::AITGD) + data)
                                                   : QString::fromLatin1(answer);
    s.MeasureGap = s.LastMeasureTime.isValid() ? s.LastMeasureTime.msecsTo(time) : 0;
    s.LastMeasureTime = time;

    QDateTime& recordedAt = source == Source::LoggerRecord ? s.LastLoggerRecordTime : s.LastRecordTime;
    const bool recordNow = !recordedAt.isValid() || recordedAt.msecsTo(time) >= s.RecordingRate;
    const bool isMaster = master();
    const bool textLog = isMaster && recordNow && csv_;
    const bool storing = store_ && !loading_;
    QString line;
    if (textLog)
        line = s.Name + u'\t' + FormatDateTimeText(time);

    for (int l = 1; l <= MeasureTypeCount; ++l) {
        qint64 raw = NoValueMarker;
        double value = NoValue;
        if (l <= mtRainTot || source == Source::LoggerRecord) {
            // Measured values come from what the device sent: a short answer must not
            // read the moisture's zero padding as a humidity of 0 %.
            const QByteArray& from = l == mtUe ? data : received;
            if (broken || !DecodeValue(s, from, l, &raw, &value)) {
                s.SetInvalid(l);
                continue;
            }
        }
        if (l == mtT && sensorCarries(s.SensorType, mtT))
            s.TempWindow.Add(time, value, now, AverageWindowMinutes());
        if (l >= mtUe) {
            if (!derivedValue(s, l, &value)) {
                s.SetInvalid(l);
                continue;
            }
            raw = RoundHalfEven(value * measureType(l).factor);
        }
        s.RawValues[l] = raw;
        s.Values[l] = value;
        if (!isPlausibleRaw(l, raw)) {
            s.SetInvalid(l);
            continue;
        }

        if (isMaster && recordNow && (s.AveragesReady || l < mtTAv)) {
            if (storing) {
                const qint64 id = store_->StoreMeasure(QString::number(raw), s.Id, l, time);
                if (source != Source::LoggerRecord)
                    s.LastRowIds[l] = id;
            }
            recordedAt = time;
            if (textLog) {
                line += u'\t';
                line += QLatin1String(measureType(l).shortName);
                // The value as stored (a computed value at its stored precision).
                line += shortestText(double(raw) / measureType(l).factor);
            }
        } else if (source != Source::LoggerRecord && s.LastRowIds[l] != 0) {
            if (storing)
                store_->UpdateMeasureRow(s.LastRowIds[l], QString::number(raw), l, s.Id, time);
        }

        if (isMaster && l == mtRState && raw != 1 && !s.RelayLocks.isEmpty() && source != Source::LoggerRecord)
            relayLatch(s);
    }

    s.Recent.push_front(s.Values);
    if (s.Recent.size() > size_t(TProbe::RecentLimit))
        s.Recent.pop_back();

    if (textLog)
        writeLogLine(line);

    if (source != Source::LoggerRecord && s.Inactive) {
        s.MeasureGap = isMaster ? (iface ? iface->PollInterval : s.PollInterval) : ClientRefreshPeriodMs;
        if (Hooks.CloseOutdatedWarning)
            Hooks.CloseOutdatedWarning();
        s.Inactive = false;
    }

    ++answersHandled_;
    NotifyViews(s, source == Source::LoggerRecord ? true : recordNow);

    if (isMaster) {
        if (source != Source::LoggerRecord) {
            if (Hooks.StartClientReplyTimer)
                Hooks.StartClientReplyTimer();
            if (Hooks.EvaluateEvents)
                Hooks.EvaluateEvents(s);
        } else if (inSync && Hooks.EvaluateEvents) {
            Hooks.EvaluateEvents(s);
        }
    }
}

void Acquisition::relayLatch(TProbe& s)
{
    TProbe* iface = s.ParentInterface;
    if (!iface || !iface->Link)
        return;
    if (s.SensorType == stSerialRelay) {
        iface->Link->SetLine(s.RelayIndex + 1, true);
        return;
    }
    SendTagged(iface->Link.get(), CmdRelay(cmd::CRLSO, s.RelayIndex), quint32(s.Address), 0, 0, nullptr, nullptr,
               QByteArray());
}

void Acquisition::writeLogLine(const QString& line)
{
    // Write errors are ignored: the database is the record; the text log is a copy.
    csv_->write((line + u'\n').toUtf8());
    if (auto* file = qobject_cast<QFileDevice*>(csv_))
        file->flush();
}

// ------------------------------------------------------------------------ client side

void Acquisition::SetRemoteValue(TProbe& s, int l, const QDateTime& time, double value, bool active, bool online,
                                 bool recorded)
{
    s.MeasureGap = s.LastMeasureTime.isValid() ? s.LastMeasureTime.msecsTo(time) : 0;
    s.LastMeasureTime = time;
    for (int m = 1; m <= MeasureTypeCount; ++m)
        if (!sensorCarries(s.SensorType, m))
            s.SetInvalid(m);
    if (isValidMeasureType(l)) {
        if (value == NoValue) {
            s.SetInvalid(l);
        } else {
            s.Values[l] = value;
            s.RawValues[l] = RoundHalfEven(value * measureType(l).factor);
        }
    }
    if (sensorCarries(s.SensorType, mtUe)) {
        double ue = NoValue;
        if (derivedValue(s, mtUe, &ue)) {
            s.Values[mtUe] = ue;
            s.RawValues[mtUe] = RoundHalfEven(ue * measureType(mtUe).factor);
        } else {
            s.SetInvalid(mtUe);
        }
    }
    s.RemoteActive = active;
    s.RemoteOnline = online;
    if (s.Inactive) {
        if (Hooks.CloseOutdatedWarning)
            Hooks.CloseOutdatedWarning();
        s.Inactive = false;
    }
    NotifyViews(s, recorded);
}

void Acquisition::NotifyViews(TProbe& s, bool recorded)
{
    if (observers_.empty())
        return;
    qint64 period = ClientRefreshPeriodMs;
    if (master())
        period = s.ParentInterface ? s.ParentInterface->PollInterval : s.PollInterval;
    // An observer may remove observers (itself included) while it is told.
    ++notifying_;
    for (auto it = observers_.begin(); it != observers_.end(); ++it)
        if (it->second)
            it->second(s, recorded, period);
    if (--notifying_ == 0 && removedWhileNotifying_) {
        removedWhileNotifying_ = false;
        std::erase_if(observers_, [](const auto& entry) { return !entry.second; });
    }
}

// -------------------------------------------------------------------- temperature window

void Acquisition::FillTempWindow(TProbe& s)
{
    s.AveragesReady = false;
    if (!s.IsUsed || !sensorCarries(s.SensorType, mtTAv))
        return;
    s.TempWindow.Clear();
    const QDateTime now = currentTime();
    qint64 openMs = 0;
    qint64 readMs = 0;
    bool ok = true;
    if (db_) {
        auto q = db_->NewQuery(QStringLiteral(" SELECT * FROM Measure WHERE (Measure_datetime > :kezdodt )  AND "
                                              "(Measure_type_code=1) AND (Probe_id=:prid)"));
        q->ForwardOnly = true;
        q->SetParam(QStringLiteral("kezdodt"), now.addSecs(-60 * AverageWindowMinutes()));
        q->SetParam(QStringLiteral("prid"), s.Id);
        const qint64 t0 = time_.tickMs();
        QString error;
        ok = q->Open(&error);
        const qint64 t1 = time_.tickMs();
        openMs = t1 - t0;
        if (!ok) {
            LogLine(Fmt("errGrOpeningDSetIs", error));
        } else {
            const int idField = q->FieldIndex(QStringLiteral("Measure_id"));
            const int valueField = q->FieldIndex(QStringLiteral("Measure_value"));
            const bool encrypted = store_ && store_->EncryptionInUse();
            QDateTime previous;
            for (; !q->Eof(); q->Next()) {
                const QDateTime t = q->AsDateTime(QStringLiteral("Measure_datetime"));
                if (previous.isValid() && t == previous)
                    continue;
                previous = t;
                QString text = q->Value(valueField).toString();
                while (text.endsWith(u' '))
                    text.chop(1);
                if (encrypted) {
                    bool deciphered = false;
                    text = store_->PlainMeasureValue(q->Value(idField).toLongLong(), text, &deciphered);
                    if (!deciphered)
                        continue;
                }
                bool isInt = false;
                const qint64 v = text.toLongLong(&isInt);
                if (!isInt || !t.isValid())
                    continue;
                s.TempWindow.Add(t, double(v) / 100.0, now, AverageWindowMinutes());
            }
            readMs = time_.tickMs() - t1;
        }
    }
    if (ok) {
        for (int l = mtTAv; l <= mtTMax; ++l) {
            double value = NoValue;
            const qint64 raw = derivedValue(s, l, &value) ? RoundHalfEven(value * 100) : NoValueMarker;
            if (raw == NoValueMarker || !isPlausibleRaw(l, raw)) {
                s.SetInvalid(l);
            } else {
                s.RawValues[l] = raw;
                s.Values[l] = value;
            }
        }
        s.AveragesReady = true;
    }
    LogLine(SafeFormat(QStringLiteral("Average temp. calculated for probe %s. TOpen: %u TRead: %u Record count: %d"),
                       s.Name, unsigned(openMs), unsigned(readMs), s.TempWindow.Count()));
}

void Acquisition::RefillAllTempWindows()
{
    for (const auto& s : lists_.Sensors)
        FillTempWindow(*s);
}

} // namespace cvx
