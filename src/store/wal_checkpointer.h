#pragma once
// Copies the local database's write-ahead log back into the database file from a
// thread of its own. A checkpoint waits for the disk (it syncs the file); done inside a
// commit on the event loop it would hold up every device for tens of milliseconds.
// The main connection therefore turns automatic checkpoints off and this thread runs a
// passive checkpoint (one that never waits for readers or the writer) once a second.

#include <QString>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace cvx {

class WalCheckpointer {
public:
    explicit WalCheckpointer(const QString& databasePath, int intervalMs = 1000);
    ~WalCheckpointer();
    WalCheckpointer(const WalCheckpointer&) = delete;
    WalCheckpointer& operator=(const WalCheckpointer&) = delete;

    qint64 Checkpoints() const { return checkpoints_.load(); }
    // Asks for a checkpoint now (and waits until it ran); for tests and shutdown.
    void CheckpointNow();

private:
    void run();

    QString path_;
    int intervalMs_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    bool requested_ = false;
    qint64 served_ = 0;
    std::condition_variable done_;
    std::atomic<qint64> checkpoints_{0};
    std::thread thread_;
};

} // namespace cvx
