#include "store/measure_writer.h"

#include "platform/time_service.h"
#include "shell/catalogue.h"
#include "shell/logs.h"
#include "store/measure_cipher.h"
#include "store/sql_connection.h"
#include "store/sql_query.h"

namespace cvx {

MeasureWriter::MeasureWriter(TpSQLConnection& connection, TimeService& time) : c_(connection), time_(time)
{
    commitTimer_ = time_.createTimer(0, true, [this] { commit(); });
}

MeasureWriter::~MeasureWriter() = default;

int MeasureWriter::AddCommitObserver(std::function<void(const QList<CommittedWrite>&)> observer)
{
    const int h = nextObserver_++;
    observers_[h] = std::move(observer);
    return h;
}

void MeasureWriter::RemoveCommitObserver(int handle) { observers_.erase(handle); }

void MeasureWriter::ResetStatistics()
{
    longestWriteMs_ = 0;
    longestCommitMs_ = 0;
}

void MeasureWriter::prepareCommands()
{
    const bool postgres = c_.Engine() == DbEngine::PostgreSql;
    if (cmdAdd_ && postgres == postgres_ && cmdAdd_->Connection() == &c_)
        return;
    postgres_ = postgres;
    auto make = [this](const QString& text) {
        auto cmd = std::make_unique<TpSQLCommand>(&c_, text);
        cmd->BypassBarrier = true;
        return cmd;
    };
    QString add = QStringLiteral("INSERT INTO Measure (Measure_value, Probe_id, Measure_type_code, Measure_datetime) "
                                 "VALUES (:paramMV, :paramPID, :paramMTC, :paramDT)");
    if (postgres)
        add += QStringLiteral(" RETURNING Measure_id");
    cmdAdd_ = make(add);
    cmdAddWithId_ = make(QStringLiteral("INSERT INTO Measure (Measure_id, Measure_value, Probe_id, Measure_type_code, "
                                        "Measure_datetime) VALUES (:paramID, :paramMV, :paramPID, :paramMTC, :paramDT)"));
    cmdUpdate_ = make(QStringLiteral("UPDATE Measure SET Measure_value=:paramMeasure_value, "
                                     "Measure_type_code=:paramMeasure_type_code, Probe_id=:paramProbe_id WHERE "
                                     "Measure_id=:paramMeasure_id"));
    cmdUpdate2_ = make(QStringLiteral("UPDATE Measure SET Measure_value=:paramMeasure_value, "
                                      "Measure_type_code=:paramMeasure_type_code, Probe_id=:paramProbe_id, "
                                      "Measure_datetime=:paramMeasure_datetime WHERE Measure_id=:paramMeasure_id"));
}

bool MeasureWriter::ensureTransaction()
{
    if (open_)
        return true;
    if (!c_.BeginTransaction())
        return false;
    open_ = true;
    commitTimer_->start(commitDelayMs_);
    return true;
}

bool MeasureWriter::execInsert(Op& op, bool explicitId, QString* error)
{
    prepareCommands();
    if (op.needsCipher && op.id > 0) {
        op.value = EncipherMeasureValue(password_, op.id, op.value);
        op.needsCipher = false;
    }
    const QString stored = op.needsCipher ? QStringLiteral("") : op.value;
    if (explicitId && op.id > 0) {
        cmdAddWithId_->SetParam(QStringLiteral("paramID"), op.id);
        cmdAddWithId_->SetParam(QStringLiteral("paramMV"), stored);
        cmdAddWithId_->SetParam(QStringLiteral("paramPID"), op.probeId);
        cmdAddWithId_->SetParam(QStringLiteral("paramMTC"), op.measureTypeCode);
        cmdAddWithId_->SetParam(QStringLiteral("paramDT"), op.time);
        const bool ok = cmdAddWithId_->Execute(nullptr, error);
        lastCode_ = cmdAddWithId_->LastErrorCode();
        return ok;
    }
    cmdAdd_->SetParam(QStringLiteral("paramMV"), stored);
    cmdAdd_->SetParam(QStringLiteral("paramPID"), op.probeId);
    cmdAdd_->SetParam(QStringLiteral("paramMTC"), op.measureTypeCode);
    cmdAdd_->SetParam(QStringLiteral("paramDT"), op.time);
    if (!cmdAdd_->Execute(nullptr, error)) {
        lastCode_ = cmdAdd_->LastErrorCode();
        return false;
    }
    const QVariant id = postgres_ ? cmdAdd_->ReturnedValue() : cmdAdd_->LastInsertId();
    bool ok = false;
    op.id = id.toLongLong(&ok);
    if (!ok || op.id <= 0) {
        op.id = 0;
        lastCode_.clear();
        if (error)
            *error = QStringLiteral("The database gave no Measure_id");
        return false;
    }
    if (op.needsCipher) {
        // The key includes the row's id, known only now.
        Op cipher = op;
        cipher.value = EncipherMeasureValue(password_, op.id, op.value);
        cipher.needsCipher = false;
        if (!execUpdate(cipher, error))
            return false;
        op.value = cipher.value;
        op.needsCipher = false;
    }
    return true;
}

bool MeasureWriter::execUpdate(const Op& op, QString* error)
{
    prepareCommands();
    TpSQLCommand& cmd = op.hasTime ? *cmdUpdate2_ : *cmdUpdate_;
    cmd.SetParam(QStringLiteral("paramMeasure_value"), op.value);
    cmd.SetParam(QStringLiteral("paramMeasure_type_code"), op.measureTypeCode);
    cmd.SetParam(QStringLiteral("paramProbe_id"), op.probeId);
    if (op.hasTime)
        cmd.SetParam(QStringLiteral("paramMeasure_datetime"), op.time);
    cmd.SetParam(QStringLiteral("paramMeasure_id"), op.id);
    const bool ok = cmd.Execute(nullptr, error);
    lastCode_ = cmd.LastErrorCode();
    return ok;
}

bool MeasureWriter::lastErrorPermanent() const
{
    if (postgres_) {
        // SQLSTATE classes 22 (data exception) and 23 (integrity constraint violation).
        return lastCode_.startsWith(QLatin1String("22")) || lastCode_.startsWith(QLatin1String("23"));
    }
    bool ok = false;
    const int primary = lastCode_.toInt(&ok) & 0xff;
    // SQLITE_TOOBIG, SQLITE_CONSTRAINT, SQLITE_MISMATCH, SQLITE_RANGE.
    return ok && (primary == 18 || primary == 19 || primary == 20 || primary == 25);
}

void MeasureWriter::journal(Op op)
{
    if (op.id > 0) {
        const auto it = byId_.find(op.id);
        if (it != byId_.end() && !op.insert) {
            // Only the newest value of a row matters for writing it again.
            Op& known = journal_[it->second];
            known.value = op.value;
            known.measureTypeCode = op.measureTypeCode;
            known.probeId = op.probeId;
            if (op.hasTime) {
                known.time = op.time;
                known.hasTime = true;
            }
            return;
        }
        byId_[op.id] = journal_.size();
    }
    journal_.push_back(std::move(op));
}

void MeasureWriter::fail(const char* key, const QString& error)
{
    commitTimer_->stop();
    if (open_) {
        c_.Rollback();
        open_ = false;
    }
    broken_ = true;
    if (inFailure_ || !onFailure_)
        return;
    inFailure_ = true;
    onFailure_(key, error);
    inFailure_ = false;
}

qint64 MeasureWriter::Add(const QString& valueText, int probeId, int measureTypeCode, const QDateTime& time,
                          bool encipher)
{
    if (int(journal_.size()) >= journalLimit_) {
        ++dropped_;
        if (!fullLogged_) {
            LogLine(Fmt("errMeasurementJournalFull", qint64(journal_.size())), true);
            fullLogged_ = true;
        }
        return 0;
    }
    Op op;
    op.insert = true;
    op.value = valueText;
    op.needsCipher = encipher && !password_.isEmpty();
    op.probeId = probeId;
    op.measureTypeCode = measureTypeCode;
    op.time = time;
    op.hasTime = true;
    if (broken_ || !c_.Connected()) {
        broken_ = true;
        journal(std::move(op));
        return 0;
    }
    const qint64 start = time_.tickMs();
    QString error;
    if (!ensureTransaction()) {
        journal(std::move(op));
        fail("errAddingMeasRecIs", c_.LastError());
        return 0;
    }
    if (!execInsert(op, false, &error)) {
        journal(std::move(op));
        fail("errAddingMeasRecIs", error);
        return 0;
    }
    const qint64 id = op.id;
    journal(std::move(op));
    longestWriteMs_ = qMax(longestWriteMs_, time_.tickMs() - start);
    if (int(journal_.size()) >= maxBatch_)
        commit();
    return id;
}

void MeasureWriter::Update(qint64 id, const QString& valueText, int measureTypeCode, int probeId, const QDateTime* time)
{
    if (id <= 0)
        return;
    Op op;
    op.id = id;
    op.value = valueText;
    op.probeId = probeId;
    op.measureTypeCode = measureTypeCode;
    if (time) {
        op.time = *time;
        op.hasTime = true;
    }
    if (broken_ || !c_.Connected()) {
        broken_ = true;
        journal(std::move(op));
        return;
    }
    const qint64 start = time_.tickMs();
    QString error;
    if (!ensureTransaction()) {
        journal(std::move(op));
        fail("errModifingMeasureRecIs", c_.LastError());
        return;
    }
    if (!execUpdate(op, &error)) {
        journal(std::move(op));
        fail("errModifingMeasureRecIs", error);
        return;
    }
    journal(std::move(op));
    longestWriteMs_ = qMax(longestWriteMs_, time_.tickMs() - start);
    if (int(journal_.size()) >= maxBatch_)
        commit();
}

void MeasureWriter::notify(const QList<CommittedWrite>& writes)
{
    committedTotal_ += writes.size();
    fullLogged_ = false;
    const auto copy = observers_;
    for (const auto& [h, fn] : copy)
        fn(writes);
}


bool MeasureWriter::commit()
{
    commitTimer_->stop();
    if (!open_)
        return !broken_ && journal_.empty();
    const qint64 start = time_.tickMs();
    QString error;
    if (!c_.Commit(&error)) {
        fail("errAddingMeasRecIs", error);
        return false;
    }
    open_ = false;
    longestCommitMs_ = qMax(longestCommitMs_, time_.tickMs() - start);
    QList<CommittedWrite> writes;
    writes.reserve(qsizetype(journal_.size()));
    for (const Op& op : journal_)
        writes.append(CommittedWrite{op.id, op.value, op.insert});
    journal_.clear();
    byId_.clear();
    notify(writes);
    return true;
}

bool MeasureWriter::Flush()
{
    if (open_)
        return commit();
    return journal_.empty();
}

bool MeasureWriter::replayOnce(bool* retry)
{
    *retry = false;
    QString error;
    if (!c_.BeginTransaction(&error))
        return false;
    for (size_t i = 0; i < journal_.size(); ++i) {
        Op& op = journal_[i];
        const bool ok = op.insert ? execInsert(op, true, &error) : execUpdate(op, &error);
        if (ok)
            continue;
        const bool permanent = lastErrorPermanent();
        c_.Rollback();
        if (!permanent || !c_.Alive())
            return false;
        // The database is there but refuses this one write for good: it can never be
        // stored, and it must not hold back the others.
        LogLine(Fmt("errMeasurementRefused", op.id, op.probeId, op.measureTypeCode, error), true);
        ++dropped_;
        journal_.erase(journal_.begin() + qsizetype(i));
        byId_.clear();
        for (size_t k = 0; k < journal_.size(); ++k)
            if (journal_[k].id > 0)
                byId_[journal_[k].id] = k;
        *retry = true;
        return false;
    }
    if (!c_.Commit(&error)) {
        c_.Rollback();
        return false;
    }
    QList<CommittedWrite> writes;
    for (const Op& op : journal_)
        writes.append(CommittedWrite{op.id, op.value, op.insert});
    journal_.clear();
    byId_.clear();
    broken_ = false;
    notify(writes);
    return true;
}

bool MeasureWriter::Replay()
{
    if (open_)
        return commit();
    if (journal_.empty()) {
        broken_ = false;
        return true;
    }
    if (!c_.Connected())
        return false;
    const size_t attempts = journal_.size() + 1;
    for (size_t k = 0; k < attempts; ++k) {
        bool retry = false;
        if (replayOnce(&retry))
            return true;
        if (!retry)
            return false;
        if (journal_.empty()) {
            broken_ = false;
            return true;
        }
    }
    return false;
}

} // namespace cvx
