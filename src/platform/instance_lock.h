#pragma once
// A named, computer-wide lock: the counterpart of a named system mutex. Held until
// release() or the end of the process (also when the process is killed), so a crashed
// instance never blocks the next start.

#include <QString>

namespace cvx {

class NamedInstanceLock {
public:
    explicit NamedInstanceLock(QString name);
    ~NamedInstanceLock();
    NamedInstanceLock(const NamedInstanceLock&) = delete;
    NamedInstanceLock& operator=(const NamedInstanceLock&) = delete;

    // False when another holder has it (or the lock file cannot be made).
    bool tryAcquire();
    void release();
    bool held() const { return fd_ >= 0; }
    QString lockFilePath() const;

    // Folder of the lock files; tests point it at a private folder.
    static void setLockFolder(const QString& folder);

private:
    QString name_;
    int fd_ = -1;
};

} // namespace cvx
