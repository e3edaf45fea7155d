#pragma once
// Measurement writes grouped into transactions. A write runs at once inside an open
// transaction (so the caller gets its Measure_id at once); the transaction is committed
// by a short timer, when a batch is full, or before any other statement uses the
// connection. A write counts as stored only when its transaction has committed:
// commit observers are told then.
//
// Nothing written is dropped on a failure: the writes of a failed transaction stay in
// a journal, in order, with the ids they were given, and are written again (same ids)
// when the connection is back. Writes that arrive meanwhile join the journal.

#include <QDateTime>
#include <QList>
#include <QString>

#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace cvx {

class Timer;
class TimeService;
class TpSQLConnection;
class TpSQLCommand;

struct CommittedWrite {
    qint64 id = 0;
    QString storedValue;
    bool insert = false;
};

class MeasureWriter {
public:
    MeasureWriter(TpSQLConnection& connection, TimeService& time);
    ~MeasureWriter();

    // Milliseconds between the first write of a batch and its commit (0: when control
    // returns to the event loop).
    void SetCommitDelayMs(int ms) { commitDelayMs_ = ms; }
    int CommitDelayMs() const { return commitDelayMs_; }
    // A batch this large commits at once.
    void SetMaxBatchWrites(int n) { maxBatch_ = qMax(1, n); }
    // Writes kept while the database is unreachable; beyond it new rows are refused.
    void SetJournalLimit(int n) { journalLimit_ = qMax(1, n); }
    // Database password: with it, values are stored enciphered under password + id.
    void SetPassword(const QString& password) { password_ = password; }

    // Called with the catalogue key of the failed operation and the error text, after
    // the transaction was rolled back; the data module logs and resets the connection.
    void SetFailureHandler(std::function<void(const char* key, const QString& error)> handler)
    {
        onFailure_ = std::move(handler);
    }
    int AddCommitObserver(std::function<void(const QList<CommittedWrite>&)> observer);
    void RemoveCommitObserver(int handle);

    // The new row's id; 0 when it could not be written now (it is journaled) or the
    // journal is full. With encipher (and a password) the row holds only the enciphered
    // value: inserted empty, then rewritten under password + its id, in one transaction.
    qint64 Add(const QString& valueText, int probeId, int measureTypeCode, const QDateTime& time,
               bool encipher = false);
    void Update(qint64 id, const QString& valueText, int measureTypeCode, int probeId, const QDateTime* time);

    // Commits the open batch now. True when nothing remains unstored.
    bool Flush();
    // The connection was opened again: writes the journal. True when it is empty after.
    bool Replay();

    bool Broken() const { return broken_; }
    int UncommittedWrites() const { return int(journal_.size()); }
    qint64 CommittedWrites() const { return committedTotal_; }
    int DroppedWrites() const { return dropped_; }

    // Longest time one write or commit took (ms), for supervision and benchmarks.
    qint64 LongestWriteMs() const { return longestWriteMs_; }
    qint64 LongestCommitMs() const { return longestCommitMs_; }
    void ResetStatistics();

private:
    struct Op {
        bool insert = false;
        qint64 id = 0;           // 0: insert not yet given an id
        QString value;           // as stored (enciphered when encrypting), plain when needsCipher
        bool needsCipher = false;
        int probeId = 0;
        int measureTypeCode = 0;
        QDateTime time;
        bool hasTime = false;
    };

    bool ensureTransaction();
    bool execInsert(Op& op, bool explicitId, QString* error);
    bool execUpdate(const Op& op, QString* error);
    // The last failed statement can never succeed (bad data, a violated constraint),
    // unlike a lost connection or a busy database.
    bool lastErrorPermanent() const;
    void journal(Op op);
    void fail(const char* key, const QString& error);
    bool commit();
    void notify(const QList<CommittedWrite>& writes);
    void prepareCommands();
    bool replayOnce(bool* retry);

    TpSQLConnection& c_;
    TimeService& time_;
    std::unique_ptr<Timer> commitTimer_;
    std::unique_ptr<TpSQLCommand> cmdAdd_;
    std::unique_ptr<TpSQLCommand> cmdAddWithId_;
    std::unique_ptr<TpSQLCommand> cmdUpdate_;
    std::unique_ptr<TpSQLCommand> cmdUpdate2_;
    bool open_ = false;
    bool broken_ = false;
    bool inFailure_ = false;
    bool postgres_ = false;
    QString lastCode_;
    std::vector<Op> journal_;
    std::map<qint64, size_t> byId_;      // id -> journal index
    int commitDelayMs_ = 20;
    int maxBatch_ = 5000;
    int journalLimit_ = 1'000'000;
    QString password_;
    std::function<void(const char*, const QString&)> onFailure_;
    std::map<int, std::function<void(const QList<CommittedWrite>&)>> observers_;
    int nextObserver_ = 1;
    qint64 committedTotal_ = 0;
    int dropped_ = 0;
    bool fullLogged_ = false;
    qint64 longestWriteMs_ = 0;
    qint64 longestCommitMs_ = 0;
};

} // namespace cvx
