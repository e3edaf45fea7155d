#pragma once
// The program's logs: the main log (recent messages, mirrored into the program log
// file), the size-limited log file writer TNaplo behind every other log file, and the
// text forms in which bytes appear in logs.

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QString>
#include <QStringList>

#include <functional>
#include <map>
#include <memory>
#include <mutex>

namespace cvx {

class TimeService;

// Bytes from 32 up are kept; a lower byte becomes "#" and its decimal value (with
// codes) or "." (without).
QString PrintableText(const QByteArray& bytes, bool withCodes = true);
QString DecimalDump(const QByteArray& bytes);   // "%.3d " per byte
QString HexDump(const QByteArray& bytes);       // "%02X " per byte
// Control characters and "*./:<>?\| are replaced by "_", blanks trimmed at both ends.
QString SafeFileName(const QString& text);

// The list of recent messages the main window shows. Headless, an observer echoes it.
class MainLog {
public:
    static constexpr int MaxLines = 200;
    using Observer = std::function<void(const QString& line)>;

    // Until the shell attaches the log (the main window exists), LogLine does nothing.
    void setAttached(bool attached);
    bool attached() const;
    void add(const QString& line);
    QStringList lines() const;
    void clear();
    int addObserver(Observer observer);
    void removeObserver(int handle);

private:
    mutable std::mutex mutex_;
    bool attached_ = false;
    QStringList lines_;
    std::map<int, Observer> observers_;
    int nextHandle_ = 1;
};

MainLog& mainLog();

// The program log file "<Log>/<program>.log": every line stamped, flushed at once.
class ProgramLogFile {
public:
    ~ProgramLogFile();
    // Opens (creating when missing) for appending and writes the start banner. On
    // failure the file stays closed and the texts to report are added to errors.
    bool open(const QString& path, QStringList* errors);
    // Writes the stop banner and closes.
    void close();
    bool isOpen() const { return file_ != nullptr; }
    QString path() const { return path_; }
    void write(const QString& message);

private:
    void writeRaw(const QString& line);
    std::unique_ptr<QFile> file_;
    int lockedFd_ = -1;
    QString path_;
};

ProgramLogFile& programLog();

// Adds a message to the main log; with alsoToFile it also goes to the program log file.
void LogLine(const QString& message, bool alsoToFile = false);
// Writes to the program log file only (while it is open).
void WriteProgramLog(const QString& message);

// The size-limited log file writer. Lines from any thread; all writers share one lock,
// so lines never interleave and a cut is atomic for every writer.
class TNaplo {
public:
    explicit TNaplo(TimeService* time = nullptr); // nullptr: the process time service
    ~TNaplo();
    TNaplo(const TNaplo&) = delete;
    TNaplo& operator=(const TNaplo&) = delete;

    QString LogFile;
    bool Logging = false;
    qint64 LogLimit = 10'000'000;
    bool LogTime = true;
    bool ConvertToPrintable = true;
    std::function<void(const QString&)> LogMemo;
    bool LogThreadId = false;
    bool GroupBySecond = false;

    void Write(const QString& message);
    void CloseFile();

    // The stamp "yy.MM.dd hh:mm:ss.zzz " plus one blank.
    static QString Stamp(const QDateTime& dt);

private:
    QDateTime stampTime();
    void cutIfTooLarge();

    TimeService* time_;
    std::unique_ptr<QFile> file_;
    qint64 anchorTick_ = 0;
    QDateTime anchorTime_;
    QDateTime lastGroup_;
};

// Whether the caller runs on the process's main thread.
bool onMainThread();

} // namespace cvx
