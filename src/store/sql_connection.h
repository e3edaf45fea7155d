#pragma once
// The database connection every statement goes through. Besides opening and closing it
// keeps the SQL log: a size-limited log file ("SQLLog.log" in the Log folder, or beside
// the working folder when there is no Log folder) shared with its clones, and the filter
// lines of "SQLLog.filter" that keep frequent statements out of it.
//
// Qt SQL stays behind this header: callers see QtCore types only.

#include "store/connection_string.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

namespace cvx {

class TNaplo;
class TimeService;
class TpSQLQuery;
class TpSQLCommand;
struct SqlConnectionPrivate;

class TpSQLConnection {
public:
    explicit TpSQLConnection(const QString& name = QStringLiteral("conMainConnection"),
                             TimeService* time = nullptr);
    ~TpSQLConnection();
    TpSQLConnection(const TpSQLConnection&) = delete;
    TpSQLConnection& operator=(const TpSQLConnection&) = delete;

    // Component name written in the log's connect line.
    QString Name;
    QString ConnectionString;
    // Seconds a statement may run on a server (0: no limit).
    int CommandTimeout = 30;
    // Seconds a server connect may take. A connect blocks the event loop, so keep it short.
    int ConnectionTimeout = 15;
    // Milliseconds a write to the local file waits while another process writes.
    int BusyTimeoutMs = 5000;
    bool LoginPrompt = false;
    bool KeepConnection = true;
    bool SQLLoggingDisabled = false;
    // Folder of the SQL log and its filter file; set to the working folder at every connect.
    QString SQLLogPath;
    // Opening a local file that does not exist creates it (only the creation of a new
    // local database sets this; otherwise a missing file is an error, never an empty database).
    bool CreateLocalFile = false;

    // Opens with ConnectionString. False with the library's error text.
    bool Open(QString* error = nullptr);
    void Close();
    bool Connected() const;
    // Connected and answering a trivial statement.
    bool Alive() const;
    DbEngine Engine() const { return EngineOf(ConnectionString); }

    // Same attributes and the same log writer (shared); not connected.
    std::unique_ptr<TpSQLConnection> Clone() const;

    // Writes one SQL log line unless logging is off, there is no writer, or a filter
    // line occurs in filterText (empty: the text itself). True when written.
    bool WriteLogLine(const QString& text, const QString& filterText = QString());
    QStringList FilterLines() const;
    std::shared_ptr<TNaplo> LogWriter() const;

    std::unique_ptr<TpSQLQuery> NewQuery(const QString& sql = QString());
    std::unique_ptr<TpSQLCommand> NewCommand(const QString& commandText = QString());

    // The database the connection uses (file name of a local file, catalogue on a server).
    QString DefaultDatabase() const;
    // User tables, without the engine's own.
    QStringList Tables(QString* error = nullptr) const;
    QString LastError() const;
    TimeService& Time() const;

    // immediate: on the local file, take the write lock at once (BEGIN IMMEDIATE).
    bool BeginTransaction(QString* error = nullptr, bool immediate = false);
    bool Commit(QString* error = nullptr);
    bool Rollback(QString* error = nullptr);

    // Run before any statement that is not the barrier owner's own: the measurement
    // writer commits its open batch there, so no other statement joins (or, on a server,
    // poisons) that transaction.
    void SetStatementBarrier(std::function<void()> barrier);
    void RunStatementBarrier();

    SqlConnectionPrivate* d() const { return d_.get(); }

private:
    void loadFilterAndWriter();
    std::unique_ptr<SqlConnectionPrivate> d_;
};

} // namespace cvx
