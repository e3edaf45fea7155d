#include "store/measure_writer.h"

#include "platform/time_service.h"
#include "shell/catalogue.h"
#include "shell/logs.h"
#include "store/measure_cipher.h"
#include "store/sql_connection.h"
#include "store/sql_query.h"

namespace cvx {

namespace {

constexpr int IdBlock = 256;
constexpr int MaxChunk = 128;

// Parameter names of row k of a chunked statement, made once.
const QString& paramName(char field, int k)
{
    static const auto names = [] {
        std::map<char, std::vector<QString>> m;
        for (char f : {'i', 'v', 'p', 'm', 'd'})
            for (int j = 0; j < MaxChunk; ++j)
                m[f].push_back(QString(QLatin1Char(f)) + QString::number(j));
        return m;
    }();
    return names.at(field)[size_t(k)];
}

} // namespace

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
    commits_ = 0;
    slowCommits_ = 0;
}

void MeasureWriter::prepareCommands()
{
    if (prepared_)
        return;
    postgres_ = c_.Engine() == DbEngine::PostgreSql;
    auto make = [this](const QString& text) {
        auto cmd = std::make_unique<TpSQLCommand>(&c_, text);
        cmd->BypassBarrier = true;
        return cmd;
    };
    cmdAddWithId_ = make(QStringLiteral("INSERT INTO Measure (Measure_id, Measure_value, Probe_id, Measure_type_code, "
                                        "Measure_datetime) VALUES (:paramID, :paramMV, :paramPID, :paramMTC, :paramDT)"));
    cmdUpdate_ = make(QStringLiteral("UPDATE Measure SET Measure_value=:paramMeasure_value, "
                                     "Measure_type_code=:paramMeasure_type_code, Probe_id=:paramProbe_id WHERE "
                                     "Measure_id=:paramMeasure_id"));
    cmdUpdate2_ = make(QStringLiteral("UPDATE Measure SET Measure_value=:paramMeasure_value, "
                                      "Measure_type_code=:paramMeasure_type_code, Probe_id=:paramProbe_id, "
                                      "Measure_datetime=:paramMeasure_datetime WHERE Measure_id=:paramMeasure_id"));
    chunkInsert_.clear();
    chunkUpdate_.clear();
    sequence_.clear();
    idBlock_.reset();
    if (postgres_) {
        TpSQLQuery seq(&c_, QStringLiteral("SELECT pg_get_serial_sequence('measure', 'measure_id')"));
        seq.BypassBarrier = true;
        if (seq.Open() && !seq.Eof())
            sequence_ = seq.Value(0).toString();
        if (!sequence_.isEmpty()) {
            idBlock_ = std::make_unique<TpSQLQuery>(
                &c_, QStringLiteral("SELECT nextval(:seq) FROM generate_series(1, %1)").arg(IdBlock));
            idBlock_->BypassBarrier = true;
            idBlock_->ForwardOnly = true;
            idBlock_->SetParam(QStringLiteral("seq"), sequence_);
        }
    }
    prepared_ = true;
}

TpSQLCommand& MeasureWriter::chunkCommand(bool insert, int rows)
{
    auto& cache = insert ? chunkInsert_ : chunkUpdate_;
    auto& slot = cache[rows];
    if (slot)
        return *slot;
    QStringList tuples;
    for (int k = 0; k < rows; ++k) {
        if (insert)
            tuples << QStringLiteral("(:i%1, :v%1, :p%1, :m%1, :d%1)").arg(k);
        else
            tuples << QStringLiteral("(:i%1::bigint, :v%1::varchar, :m%1::integer, :p%1::integer, :d%1::timestamp)").arg(k);
    }
    const QString text = insert
        ? QStringLiteral("INSERT INTO Measure (Measure_id, Measure_value, Probe_id, Measure_type_code, "
                         "Measure_datetime) VALUES ")
              + tuples.join(QStringLiteral(", "))
        : QStringLiteral("UPDATE Measure AS m SET Measure_value = u.v, Measure_type_code = u.mt, Probe_id = u.p, "
                         "Measure_datetime = COALESCE(u.d, m.Measure_datetime) FROM (VALUES ")
              + tuples.join(QStringLiteral(", "))
              + QStringLiteral(") AS u(i, v, mt, p, d) WHERE m.Measure_id = u.i");
    slot = std::make_unique<TpSQLCommand>(&c_, text);
    slot->BypassBarrier = true;
    return *slot;
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

void MeasureWriter::rollback()
{
    if (txOpen_)
        c_.Rollback();
    txOpen_ = false;
    counterValid_ = false;
}

bool MeasureWriter::beginWrite(QString* error)
{
    if (txOpen_)
        return true;
    lastCode_.clear();
    // The local file takes its write lock now: while it is held no one else can add a
    // row, so counting on from the largest id is safe.
    if (!c_.BeginTransaction(error, true))
        return false;
    txOpen_ = true;
    if (!postgres_) {
        qint64 top = 0;
        TpSQLQuery max(&c_, QStringLiteral("SELECT MAX(Measure_id) FROM Measure"));
        max.BypassBarrier = true;
        max.Logged = false;
        if (!max.Open(error)) {
            rollback();
            return false;
        }
        top = max.Value(0).toLongLong();
        // Ids of deleted rows are not given again either.
        TpSQLQuery seq(&c_, QStringLiteral("SELECT seq FROM sqlite_sequence WHERE name='Measure'"));
        seq.BypassBarrier = true;
        seq.Logged = false;
        if (seq.Open() && !seq.Eof())
            top = qMax(top, seq.Value(0).toLongLong());
        nextLocalId_ = qMax(top, highestGiven_) + 1;
        counterValid_ = true;
    }
    return true;
}

bool MeasureWriter::allocateId(qint64* id, QString* error)
{
    prepareCommands();
    if (!postgres_) {
        if (!beginWrite(error))
            return false;
        *id = nextLocalId_++;
    } else if (idBlock_) {
        if (freeIds_.empty()) {
            if (!idBlock_->Open(error)) {
                lastCode_ = idBlock_->LastErrorCode();
                return false;
            }
            for (; !idBlock_->Eof(); idBlock_->Next())
                freeIds_.push_back(idBlock_->Value(0).toLongLong());
            if (freeIds_.empty()) {
                if (error)
                    *error = QStringLiteral("The Measure_id sequence gave no ids");
                return false;
            }
        }
        *id = freeIds_.front();
        freeIds_.pop_front();
    } else {
        // A table without a sequence: count on from its largest id.
        if (!counterValid_) {
            TpSQLQuery max(&c_, QStringLiteral("SELECT MAX(Measure_id) FROM Measure"));
            max.BypassBarrier = true;
            if (!max.Open(error))
                return false;
            nextLocalId_ = qMax(max.Value(0).toLongLong(), highestGiven_) + 1;
            counterValid_ = true;
        }
        *id = nextLocalId_++;
    }
    highestGiven_ = qMax(highestGiven_, *id);
    return true;
}

void MeasureWriter::armCommit()
{
    if (!commitTimer_->isActive())
        commitTimer_->start(commitDelayMs_);
}

void MeasureWriter::journal(Op op)
{
    if (op.id > 0) {
        const auto it = byId_.find(op.id);
        if (it != byId_.end() && !op.insert) {
            // Only the newest value of a row matters.
            Op& known = journal_[it->second];
            known.value = op.value;
            known.needsCipher = false;
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
    if (!broken_)
        armCommit();
}

void MeasureWriter::fail(const char* key, const QString& error)
{
    commitTimer_->stop();
    rollback();
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
    const qint64 start = time_.tickMs();
    Op op;
    op.insert = true;
    op.value = valueText;
    op.probeId = probeId;
    op.measureTypeCode = measureTypeCode;
    op.time = time;
    op.hasTime = true;
    const bool cipher = encipher && !password_.isEmpty();
    if (broken_ || !c_.Connected()) {
        broken_ = true;
        op.needsCipher = cipher;
        journal(std::move(op));
        return 0;
    }
    QString error;
    if (!allocateId(&op.id, &error)) {
        op.needsCipher = cipher;
        journal(std::move(op));
        fail("errAddingMeasRecIs", error);
        return 0;
    }
    if (cipher)
        op.value = EncipherMeasureValue(password_, op.id, op.value);
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
    journal(std::move(op));
    if (!broken_ && int(journal_.size()) >= maxBatch_)
        commit();
}

bool MeasureWriter::writeChunked(QString* error)
{
    std::vector<const Op*> inserts;
    std::vector<const Op*> updates;
    for (const Op& op : journal_)
        (op.insert ? inserts : updates).push_back(&op);
    for (bool insert : {true, false}) {
        const std::vector<const Op*>& ops = insert ? inserts : updates;
        size_t pos = 0;
        while (pos < ops.size()) {
            // Chunks of 128, 64, ... rows: few statement shapes, each prepared once.
            int rows = MaxChunk;
            while (size_t(rows) > ops.size() - pos)
                rows /= 2;
            TpSQLCommand& cmd = chunkCommand(insert, rows);
            for (int k = 0; k < rows; ++k) {
                const Op& op = *ops[pos + size_t(k)];
                cmd.SetParam(paramName('i', k), op.id);
                cmd.SetParam(paramName('v', k), op.value);
                cmd.SetParam(paramName('p', k), op.probeId);
                cmd.SetParam(paramName('m', k), op.measureTypeCode);
                cmd.SetParam(paramName('d', k), op.hasTime ? QVariant(op.time) : QVariant());
            }
            if (!cmd.Execute(nullptr, error)) {
                lastCode_ = cmd.LastErrorCode();
                return false;
            }
            pos += size_t(rows);
        }
    }
    return true;
}

bool MeasureWriter::writeRowByRow(QString* error, int* failedOp)
{
    for (size_t i = 0; i < journal_.size(); ++i) {
        const Op& op = journal_[i];
        TpSQLCommand* cmd;
        if (op.insert) {
            cmd = cmdAddWithId_.get();
            cmd->SetParam(QStringLiteral("paramID"), op.id);
            cmd->SetParam(QStringLiteral("paramMV"), op.value);
            cmd->SetParam(QStringLiteral("paramPID"), op.probeId);
            cmd->SetParam(QStringLiteral("paramMTC"), op.measureTypeCode);
            cmd->SetParam(QStringLiteral("paramDT"), op.time);
        } else {
            cmd = op.hasTime ? cmdUpdate2_.get() : cmdUpdate_.get();
            cmd->SetParam(QStringLiteral("paramMeasure_value"), op.value);
            cmd->SetParam(QStringLiteral("paramMeasure_type_code"), op.measureTypeCode);
            cmd->SetParam(QStringLiteral("paramProbe_id"), op.probeId);
            if (op.hasTime)
                cmd->SetParam(QStringLiteral("paramMeasure_datetime"), op.time);
            cmd->SetParam(QStringLiteral("paramMeasure_id"), op.id);
        }
        if (!cmd->Execute(nullptr, error)) {
            lastCode_ = cmd->LastErrorCode();
            if (failedOp)
                *failedOp = int(i);
            return false;
        }
    }
    return true;
}

bool MeasureWriter::writeJournal(bool rowByRow, QString* error, int* failedOp)
{
    prepareCommands();
    if (!beginWrite(error))
        return false;
    // Writes kept while the database was away get their ids (and ciphers) now.
    for (size_t i = 0; i < journal_.size(); ++i) {
        Op& op = journal_[i];
        if (op.insert && op.id == 0) {
            if (!allocateId(&op.id, error)) {
                rollback();
                return false;
            }
            byId_[op.id] = i;
        }
        if (op.needsCipher) {
            op.value = EncipherMeasureValue(password_, op.id, op.value);
            op.needsCipher = false;
        }
    }
    const bool ok = postgres_ && !rowByRow ? writeChunked(error) : writeRowByRow(error, failedOp);
    if (!ok) {
        rollback();
        return false;
    }
    if (!c_.Commit(error)) {
        rollback();
        return false;
    }
    txOpen_ = false;
    counterValid_ = false;
    return true;
}

void MeasureWriter::notify(const QList<CommittedWrite>& writes)
{
    committedTotal_ += writes.size();
    fullLogged_ = false;
    const auto copy = observers_;
    for (const auto& [h, fn] : copy)
        fn(writes);
}

void MeasureWriter::finishCommitted()
{
    QList<CommittedWrite> writes;
    writes.reserve(qsizetype(journal_.size()));
    for (const Op& op : journal_)
        writes.append(CommittedWrite{op.id, op.value, op.insert});
    journal_.clear();
    byId_.clear();
    notify(writes);
}

bool MeasureWriter::commit()
{
    commitTimer_->stop();
    if (journal_.empty()) {
        if (txOpen_) {
            c_.Commit();
            txOpen_ = false;
            counterValid_ = false;
        }
        return !broken_;
    }
    if (broken_)
        return false;
    const qint64 start = time_.tickMs();
    QString error;
    if (!writeJournal(false, &error, nullptr)) {
        fail("errAddingMeasRecIs", error);
        return false;
    }
    const qint64 took = time_.tickMs() - start;
    longestCommitMs_ = qMax(longestCommitMs_, took);
    ++commits_;
    if (took >= 50)
        ++slowCommits_;
    finishCommitted();
    return true;
}

bool MeasureWriter::Flush()
{
    if (!broken_)
        commit(); // a failure may be mended on the spot by the reset it triggers
    return !broken_ && journal_.empty();
}

bool MeasureWriter::Replay()
{
    if (journal_.empty()) {
        broken_ = false;
        return commit();
    }
    if (!c_.Connected())
        return false;
    bool rowByRow = false;
    const size_t attempts = journal_.size() + 2;
    for (size_t k = 0; k < attempts; ++k) {
        QString error;
        int failed = -1;
        if (writeJournal(rowByRow, &error, &failed)) {
            broken_ = false;
            finishCommitted();
            return true;
        }
        if (!lastErrorPermanent() || !c_.Alive())
            return false;
        if (!rowByRow && postgres_) {
            // Find the one write the database refuses.
            rowByRow = true;
            continue;
        }
        if (failed < 0)
            return false;
        // The database is there but refuses this write for good: it can never be
        // stored, and it must not hold back the others.
        const Op& op = journal_[size_t(failed)];
        LogLine(Fmt("errMeasurementRefused", op.id, op.probeId, op.measureTypeCode, error), true);
        ++dropped_;
        journal_.erase(journal_.begin() + failed);
        byId_.clear();
        for (size_t i = 0; i < journal_.size(); ++i)
            if (journal_[i].id > 0)
                byId_[journal_[i].id] = i;
        if (journal_.empty()) {
            broken_ = false;
            return true;
        }
    }
    return false;
}

bool MeasureWriter::ConnectionOpened()
{
    prepared_ = false;
    freeIds_.clear();
    txOpen_ = false;
    counterValid_ = false;
    return Replay();
}

} // namespace cvx
