#pragma once
// Measurement writes, written behind. A write gets its Measure_id at once (the local
// file counts on from the table's largest id under its write lock; PostgreSQL hands out
// blocks of its sequence) and is kept in a journal; the journal is written in one
// transaction by a short timer, when it is full, or before any other statement uses
// the connection. A write counts as stored only when that transaction has committed:
// commit observers are told then.
//
// Nothing is dropped on a failure: the journal keeps every write, in order, with the id
// it was given, and is written again (same ids) when the connection is back. Writes
// that arrive meanwhile join it. Updates of a row still in the journal merge into it.

#include <QDateTime>
#include <QList>
#include <QString>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace cvx {

class Timer;
class TimeService;
class TpSQLConnection;
class TpSQLCommand;
class TpSQLQuery;

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

    // The new row's id; 0 when no id could be given now (the write is journaled and gets
    // one when it is written) or the journal is full. With encipher (and a password)
    // only the value enciphered under password + id is ever written.
    qint64 Add(const QString& valueText, int probeId, int measureTypeCode, const QDateTime& time,
               bool encipher = false);
    void Update(qint64 id, const QString& valueText, int measureTypeCode, int probeId, const QDateTime* time);

    // Writes and commits the journal now. True when nothing remains unstored.
    bool Flush();
    // The connection was opened again: writes the journal. True when it is empty after.
    bool Replay();
    // Called after every (re)open of the connection: forgets what belonged to the old
    // session (open transaction, prepared statements, unused ids), then replays.
    bool ConnectionOpened();

    bool Broken() const { return broken_; }
    int UncommittedWrites() const { return int(journal_.size()); }
    qint64 CommittedWrites() const { return committedTotal_; }
    int DroppedWrites() const { return dropped_; }

    // Longest time one write or one commit took (ms), for supervision and benchmarks.
    qint64 LongestWriteMs() const { return longestWriteMs_; }
    qint64 LongestCommitMs() const { return longestCommitMs_; }
    qint64 Commits() const { return commits_; }
    // Commits that held the event loop for 50 ms or more.
    qint64 SlowCommits() const { return slowCommits_; }
    void ResetStatistics();

private:
    struct Op {
        bool insert = false;
        qint64 id = 0;           // 0: not given an id yet
        QString value;           // as stored; plain while needsCipher
        bool needsCipher = false;
        int probeId = 0;
        int measureTypeCode = 0;
        QDateTime time;
        bool hasTime = false;
    };

    void journal(Op op);
    void armCommit();
    bool allocateId(qint64* id, QString* error);
    bool beginWrite(QString* error);
    bool writeJournal(bool rowByRow, QString* error, int* failedOp);
    bool writeChunked(QString* error);
    bool writeRowByRow(QString* error, int* failedOp);
    void finishCommitted();
    void fail(const char* key, const QString& error);
    bool commit();
    void notify(const QList<CommittedWrite>& writes);
    void prepareCommands();
    TpSQLCommand& chunkCommand(bool insert, int rows);
    bool lastErrorPermanent() const;
    void rollback();

    TpSQLConnection& c_;
    TimeService& time_;
    std::unique_ptr<Timer> commitTimer_;
    std::unique_ptr<TpSQLCommand> cmdAddWithId_;
    std::unique_ptr<TpSQLCommand> cmdUpdate_;
    std::unique_ptr<TpSQLCommand> cmdUpdate2_;
    std::map<int, std::unique_ptr<TpSQLCommand>> chunkInsert_;
    std::map<int, std::unique_ptr<TpSQLCommand>> chunkUpdate_;
    std::unique_ptr<TpSQLQuery> idBlock_;
    bool prepared_ = false;
    bool postgres_ = false;
    QString sequence_;           // PostgreSQL: the sequence of Measure_id (empty: none)
    std::deque<qint64> freeIds_; // PostgreSQL: ids handed out by the sequence, not used yet
    bool txOpen_ = false;        // a write transaction is open on the connection
    qint64 nextLocalId_ = 0;     // next id while the write lock is held (or without a sequence)
    bool counterValid_ = false;
    qint64 highestGiven_ = 0;    // ids are never given twice
    bool broken_ = false;
    bool inFailure_ = false;
    QString lastCode_;
    std::vector<Op> journal_;
    std::map<qint64, size_t> byId_;      // id -> journal index
    int commitDelayMs_ = 20;
    int maxBatch_ = 1000;
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
    qint64 commits_ = 0;
    qint64 slowCommits_ = 0;
};

} // namespace cvx
