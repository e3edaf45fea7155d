#include "logs.h"

#include "catalogue.h"
#include "conventions.h"
#include "platform/time_service.h"
#include "safe_format.h"

#include <QDir>
#include <QFileInfo>

#include <sys/file.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace cvx {

// ---------------------------------------------------------------- byte text forms

QString PrintableText(const QByteArray& bytes, bool withCodes)
{
    QByteArray out;
    out.reserve(bytes.size() + 8);
    for (char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        if (b >= 32) {
            out += ch;
        } else if (withCodes) {
            out += '#';
            out += QByteArray::number(b);
        } else {
            out += '.';
        }
    }
    // Bytes from devices are single-byte text; valid UTF-8 (our own texts) stays as is.
    QString s = QString::fromUtf8(out);
    if (s.contains(QChar::ReplacementCharacter))
        s = QString::fromLatin1(out);
    return s;
}

QString DecimalDump(const QByteArray& bytes)
{
    QString out;
    out.reserve(bytes.size() * 4);
    for (char ch : bytes) {
        out += QString::number(static_cast<unsigned char>(ch)).rightJustified(3, u'0');
        out += u' ';
    }
    return out;
}

QString HexDump(const QByteArray& bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    QString out;
    out.reserve(bytes.size() * 3);
    for (char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        out += QLatin1Char(digits[b >> 4]);
        out += QLatin1Char(digits[b & 15]);
        out += u' ';
    }
    return out;
}

QString SafeFileName(const QString& text)
{
    QString s = text;
    for (QChar& c : s) {
        const char16_t u = c.unicode();
        if (u < 32 || u == '"' || u == '*' || u == '.' || u == '/' || u == ':' || u == '<' || u == '>'
            || u == '?' || u == '\\' || u == '|')
            c = u'_';
    }
    return s.trimmed();
}

bool onMainThread() { return ::getpid() == static_cast<pid_t>(::syscall(SYS_gettid)); }

// ---------------------------------------------------------------- main log

void MainLog::setAttached(bool attached)
{
    std::lock_guard lock(mutex_);
    attached_ = attached;
}

bool MainLog::attached() const
{
    std::lock_guard lock(mutex_);
    return attached_;
}

void MainLog::add(const QString& line)
{
    std::map<int, Observer> observers;
    {
        std::lock_guard lock(mutex_);
        if (!attached_)
            return;
        if (lines_.size() >= MaxLines)
            lines_.clear();
        lines_.append(line);
        observers = observers_;
    }
    for (auto& [h, o] : observers)
        o(line);
}

QStringList MainLog::lines() const
{
    std::lock_guard lock(mutex_);
    return lines_;
}

void MainLog::clear()
{
    std::lock_guard lock(mutex_);
    lines_.clear();
}

int MainLog::addObserver(Observer observer)
{
    std::lock_guard lock(mutex_);
    observers_[nextHandle_] = std::move(observer);
    return nextHandle_++;
}

void MainLog::removeObserver(int handle)
{
    std::lock_guard lock(mutex_);
    observers_.erase(handle);
}

MainLog& mainLog()
{
    static MainLog log;
    return log;
}

// ---------------------------------------------------------------- program log file

ProgramLogFile::~ProgramLogFile()
{
    if (file_) {
        file_->close();
        if (lockedFd_ >= 0)
            ::close(lockedFd_);
    }
}

bool ProgramLogFile::open(const QString& path, QStringList* errors)
{
    close();
    path_ = path;
    if (!QFileInfo::exists(path)) {
        QFile create(path);
        if (!create.open(QIODevice::WriteOnly)) {
            if (errors) {
                errors->append(Fmt("errCreatingLogIs", create.errorString()));
                errors->append(Msg("msgOpeningLogFailed"));
            }
            return false;
        }
    }
    auto f = std::make_unique<QFile>(path);
    if (!f->open(QIODevice::WriteOnly | QIODevice::Append)) {
        if (errors) {
            errors->append(Fmt("errOpeningLogIs", f->errorString()));
            errors->append(Msg("msgOpeningLogFailed"));
        }
        return false;
    }
    // Another running instance keeps its program log locked, as the Windows original's
    // sharing mode did; a second instance then runs without a program log file.
    const int fd = ::dup(f->handle());
    if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (fd >= 0)
            ::close(fd);
        if (errors) {
            errors->append(Fmt("errOpeningLogIs", QStringLiteral("the file is in use by another process")));
            errors->append(Msg("msgOpeningLogFailed"));
        }
        return false;
    }
    lockedFd_ = fd;
    file_ = std::move(f);
    writeRaw(FormatDateTimeText(processTime().localNow()) + u' ' + Msg("labCorvaluxStarting"));
    return true;
}

void ProgramLogFile::close()
{
    if (!file_)
        return;
    writeRaw(FormatDateTimeText(processTime().localNow()) + u' ' + Msg("labCorvaluxHalting"));
    file_->close();
    file_.reset();
    if (lockedFd_ >= 0) {
        ::flock(lockedFd_, LOCK_UN);
        ::close(lockedFd_);
        lockedFd_ = -1;
    }
}

void ProgramLogFile::writeRaw(const QString& line)
{
    if (!file_)
        return;
    file_->write(line.toUtf8() + '\n');
    file_->flush();
}

void ProgramLogFile::write(const QString& message)
{
    if (!file_)
        return;
    const QString prefix = FormatDateTimeText(processTime().localNow()) + u' ';
    QString body = message;
    body.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    body.replace(u'\r', u'\n');
    body.replace(QLatin1String("\n"), QLatin1String("\n") + prefix);
    writeRaw(prefix + body);
}

ProgramLogFile& programLog()
{
    static ProgramLogFile log;
    return log;
}

void LogLine(const QString& message, bool alsoToFile)
{
    if (!mainLog().attached())
        return;
    mainLog().add(message);
    if (alsoToFile)
        programLog().write(message);
}

void WriteProgramLog(const QString& message) { programLog().write(message); }

// ---------------------------------------------------------------- TNaplo

namespace {
std::mutex& naploLock()
{
    static std::mutex m;
    return m;
}
} // namespace

TNaplo::TNaplo(TimeService* time) : time_(time) {}

TNaplo::~TNaplo()
{
    std::lock_guard lock(naploLock());
    file_.reset();
}

void TNaplo::CloseFile()
{
    std::lock_guard lock(naploLock());
    file_.reset();
}

QString TNaplo::Stamp(const QDateTime& dt) { return dt.toString(QStringLiteral("yy.MM.dd hh:mm:ss.zzz")) + QStringLiteral("  "); }

QDateTime TNaplo::stampTime()
{
    TimeService& ts = time_ ? *time_ : processTime();
    const QDateTime clock = ts.localNow();
    const qint64 tick = ts.tickMs();
    if (anchorTime_.isValid()) {
        const qint64 elapsed = tick - anchorTick_;
        if (elapsed >= 0 && elapsed <= 2000) {
            const QDateTime candidate = anchorTime_.addMSecs(elapsed);
            if (qAbs(candidate.msecsTo(clock)) <= 120)
                return candidate;
        }
    }
    anchorTime_ = clock;
    anchorTick_ = tick;
    return clock;
}

void TNaplo::Write(const QString& message)
{
    if (!Logging || LogLimit == 0)
        return;
    std::lock_guard lock(naploLock());
    if (!file_) {
        if (LogFile.isEmpty())
            return;
        auto f = std::make_unique<QFile>(LogFile);
        if (!f->open(QIODevice::ReadWrite))
            return;
        f->seek(f->size());
        file_ = std::move(f);
    }
    QString line;
    if (LogTime) {
        const QDateTime t = stampTime();
        if (GroupBySecond) {
            const bool newGroup = !lastGroup_.isValid()
                || t.time().second() != lastGroup_.time().second() || lastGroup_.msecsTo(t) >= 1000;
            if (newGroup) {
                // The first group of a writer needs no separating line.
                if (lastGroup_.isValid())
                    file_->write("\r\n");
                lastGroup_ = t;
            }
        }
        line = Stamp(t);
    }
    if (LogThreadId)
        line += onMainThread() ? QString(8, u' ')
                               : SafeFormat(QStringLiteral("%6u: "), qint64(::syscall(SYS_gettid)));
    line += ConvertToPrintable ? PrintableText(message.toUtf8(), true) : message;
    file_->write(line.toUtf8() + "\r\n");
    file_->flush();
    if (LogMemo)
        LogMemo(line);
    cutIfTooLarge();
}

void TNaplo::cutIfTooLarge()
{
    if (!file_ || LogLimit <= 0 || file_->size() <= LogLimit)
        return;
    const qint64 keep = LogLimit / 2;
    const QString tmpPath = LogFile + QStringLiteral(".tmp");
    QFile tmp(tmpPath);
    if (!tmp.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return;
    if (!file_->seek(file_->size() - keep))
        return;
    qint64 remaining = keep;
    QByteArray block;
    while (remaining > 0) {
        block = file_->read(qMin<qint64>(remaining, 64 * 1024));
        if (block.isEmpty())
            break;
        tmp.write(block);
        remaining -= block.size();
    }
    tmp.close();
    file_.reset();
    QFile::remove(LogFile);
    if (!QFile::rename(tmpPath, LogFile))
        return;
    auto f = std::make_unique<QFile>(LogFile);
    if (f->open(QIODevice::ReadWrite)) {
        f->seek(f->size());
        file_ = std::move(f);
    }
}

} // namespace cvx
