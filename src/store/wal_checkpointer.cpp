#include "store/wal_checkpointer.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QUrl>

#include <atomic>
#include <chrono>

namespace cvx {

namespace {
std::atomic<int> g_next{1};
}

WalCheckpointer::WalCheckpointer(const QString& databasePath, int intervalMs)
    : path_(databasePath), intervalMs_(intervalMs)
{
    thread_ = std::thread([this] { run(); });
}

WalCheckpointer::~WalCheckpointer()
{
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void WalCheckpointer::CheckpointNow()
{
    std::unique_lock lock(mutex_);
    const qint64 target = served_ + 1;
    requested_ = true;
    wake_.notify_all();
    done_.wait(lock, [&] { return served_ >= target || stop_; });
}

void WalCheckpointer::run()
{
    const QString name = QStringLiteral("cvx_checkpoint_%1").arg(g_next.fetch_add(1));
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(QUrl::fromLocalFile(path_).toString(QUrl::FullyEncoded) + QStringLiteral("?mode=rw"));
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=0"));
        const bool open = db.open();
        std::unique_lock lock(mutex_);
        while (!stop_) {
            wake_.wait_for(lock, std::chrono::milliseconds(intervalMs_), [this] { return stop_ || requested_; });
            if (stop_)
                break;
            requested_ = false;
            lock.unlock();
            if (open) {
                QSqlQuery q(db);
                if (q.exec(QStringLiteral("PRAGMA wal_checkpoint(PASSIVE)")))
                    checkpoints_.fetch_add(1);
            }
            lock.lock();
            ++served_;
            done_.notify_all();
        }
        done_.notify_all();
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
}

} // namespace cvx
