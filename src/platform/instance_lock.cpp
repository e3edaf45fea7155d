#include "instance_lock.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace cvx {

namespace {
QString g_folder;

QString defaultFolder()
{
    // Separate installations under test can be kept apart; one computer shares one.
    const QString forced = qEnvironmentVariable("CORVALUX_LOCK_DIR");
    if (!forced.isEmpty())
        return forced;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir(runtime).exists())
        return runtime;
    return QDir::tempPath();
}
} // namespace

void NamedInstanceLock::setLockFolder(const QString& folder) { g_folder = folder; }

NamedInstanceLock::NamedInstanceLock(QString name) : name_(std::move(name)) {}

NamedInstanceLock::~NamedInstanceLock() { release(); }

QString NamedInstanceLock::lockFilePath() const
{
    const QByteArray hash = QCryptographicHash::hash(name_.toUtf8(), QCryptographicHash::Sha1).toHex().left(16);
    const QString folder = g_folder.isEmpty() ? defaultFolder() : g_folder;
    return QDir(folder).filePath(QStringLiteral("corvalux-lock-%1").arg(QString::fromLatin1(hash)));
}

bool NamedInstanceLock::tryAcquire()
{
    if (fd_ >= 0)
        return true;
    const QByteArray path = QFile::encodeName(lockFilePath());
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

void NamedInstanceLock::release()
{
    if (fd_ < 0)
        return;
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
    fd_ = -1;
}

} // namespace cvx
