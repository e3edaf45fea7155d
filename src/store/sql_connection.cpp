#include "store/sql_connection.h"

#include "platform/time_service.h"
#include "shell/app_paths.h"
#include "shell/logs.h"
#include "store/sql_private.h"
#include "store/sql_query.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDriver>
#include <QUrl>

#include <atomic>
#include <map>
#include <mutex>

namespace cvx {

namespace {

std::atomic<int> g_nextConnection{1};

// One writer per log file, shared by every connection that logs there.
std::shared_ptr<TNaplo> sharedWriter(const QString& path)
{
    static std::mutex m;
    static std::map<QString, std::weak_ptr<TNaplo>> writers;
    std::lock_guard lock(m);
    if (auto w = writers[path].lock())
        return w;
    auto w = std::make_shared<TNaplo>();
    w->LogFile = path;
    w->LogThreadId = true;
    w->GroupBySecond = true;
    w->Logging = true;
    writers[path] = w;
    return w;
}

} // namespace

QString SqlErrorText(const QSqlError& e)
{
    QString t = e.databaseText().trimmed();
    if (t.isEmpty())
        t = e.driverText().trimmed();
    if (t.isEmpty())
        t = e.text().trimmed();
    return t;
}

TpSQLConnection::TpSQLConnection(const QString& name, TimeService* time)
    : Name(name), d_(std::make_unique<SqlConnectionPrivate>())
{
    d_->qtName = QStringLiteral("cvx_sql_%1").arg(g_nextConnection.fetch_add(1));
    d_->time = time;
    SQLLogPath = AppPaths::homeDir() + u'/';
}

TpSQLConnection::~TpSQLConnection()
{
    WriteLogLine(QStringLiteral("TpSQLConnection.Destroy"));
    Close();
    for (SqlClient* c : std::as_const(d_->clients))
        c->connectionGone();
    d_->clients.clear();
    if (QSqlDatabase::contains(d_->qtName))
        QSqlDatabase::removeDatabase(d_->qtName);
}

TimeService& TpSQLConnection::Time() const { return d_->time ? *d_->time : processTime(); }

void TpSQLConnection::loadFilterAndWriter()
{
    d_->filterLines.clear();
    if (SQLLoggingDisabled)
        return;
    SQLLogPath = AppPaths::homeDir() + u'/';
    QFile filter(SQLLogPath + QStringLiteral("SQLLog.filter"));
    if (filter.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> lines = filter.readAll().split('\n');
        for (QByteArray line : lines) {
            while (line.endsWith('\r'))
                line.chop(1);
            // An empty line would match every statement.
            if (!line.isEmpty())
                d_->filterLines.append(QString::fromUtf8(line));
        }
    }
    if (!d_->writer) {
        const QString logDir = SQLLogPath + QStringLiteral("Log");
        const QString path = QFileInfo(logDir).isDir() ? logDir + QStringLiteral("/SQLLog.log")
                                                       : SQLLogPath + QStringLiteral("SQLLog.log");
        d_->writer = sharedWriter(QDir::cleanPath(path));
    }
    d_->writer->Logging = true;
    WriteLogLine(QStringLiteral("%1 %2. ConnectionString=\"%3\"")
                     .arg(Name, QStringLiteral("Connected"), MaskPassword(ConnectionString)));
}

bool TpSQLConnection::Open(QString* error)
{
    auto fail = [&](const QString& text) {
        d_->lastError = text;
        if (error)
            *error = text;
        return false;
    };
    if (Connected())
        return true;
    loadFilterAndWriter();

    const DbEngine engine = Engine();
    if (engine == DbEngine::SqlServer)
        return fail(QStringLiteral("SQL Server connections are not supported yet: %1")
                        .arg(MaskPassword(ConnectionString)));

    if (!QSqlDatabase::contains(d_->qtName))
        QSqlDatabase::addDatabase(engine == DbEngine::LocalFile ? QStringLiteral("QSQLITE")
                                                                : QStringLiteral("QPSQL"),
                                  d_->qtName);
    QSqlDatabase db = QSqlDatabase::database(d_->qtName, false);
    if (!db.isValid())
        return fail(QStringLiteral("The database driver is not available"));

    if (engine == DbEngine::LocalFile) {
        const QString path = LocalDatabasePath(ConnectionString);
        if (path.isEmpty())
            return fail(QStringLiteral("The connection string names no database file"));
        if (!CreateLocalFile && !QFileInfo::exists(path))
            return fail(QStringLiteral("The database file does not exist: %1").arg(path));
        QString uri = QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded);
        uri += CreateLocalFile ? QStringLiteral("?mode=rwc") : QStringLiteral("?mode=rw");
        db.setDatabaseName(uri);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=%1").arg(BusyTimeoutMs));
    } else {
        const PgAddress a = PostgreSqlAddress(ConnectionString);
        db.setHostName(a.host);
        db.setPort(a.port);
        db.setUserName(a.user);
        db.setPassword(a.password);
        db.setDatabaseName(a.database.isEmpty() ? QStringLiteral("postgres") : a.database);
        db.setConnectOptions(QStringLiteral("connect_timeout=%1").arg(qMax(1, ConnectionTimeout)));
    }
    if (!db.open())
        return fail(SqlErrorText(db.lastError()));

    QSqlQuery q(db);
    if (engine == DbEngine::LocalFile) {
        // Readers (graphs, clients on this computer) never wait for the writer; a commit
        // reaches the operating system before it returns, so a process crash loses no
        // committed row.
        if (!q.exec(QStringLiteral("PRAGMA journal_mode=WAL")) || !q.next()
            || q.value(0).toString().compare(QStringLiteral("wal"), Qt::CaseInsensitive) != 0) {
            const QString reason = q.lastError().isValid() ? SqlErrorText(q.lastError())
                                                           : QStringLiteral("journal mode refused");
            q = QSqlQuery();
            db.close();
            return fail(reason);
        }
        q.exec(QStringLiteral("PRAGMA synchronous=NORMAL"));
    } else {
        q.exec(QStringLiteral("SET client_min_messages = warning"));
        q.exec(QStringLiteral("SET standard_conforming_strings = on"));
        if (CommandTimeout > 0)
            q.exec(QStringLiteral("SET statement_timeout = %1").arg(qint64(CommandTimeout) * 1000));
    }
    q = QSqlQuery();
    d_->db = db;
    d_->lastError.clear();
    return true;
}

void TpSQLConnection::Close()
{
    if (!d_->db.isValid())
        return;
    if (d_->db.isOpen())
        RunStatementBarrier();
    for (SqlClient* c : std::as_const(d_->clients))
        c->connectionClosing();
    d_->db.close();
    d_->db = QSqlDatabase();
}

bool TpSQLConnection::Connected() const { return d_->db.isValid() && d_->db.isOpen(); }

bool TpSQLConnection::Alive() const
{
    if (!Connected())
        return false;
    QSqlQuery q(d_->db);
    return q.exec(QStringLiteral("SELECT 1")) && q.next();
}

std::unique_ptr<TpSQLConnection> TpSQLConnection::Clone() const
{
    auto c = std::make_unique<TpSQLConnection>(Name, d_->time);
    c->ConnectionString = ConnectionString;
    c->CommandTimeout = CommandTimeout;
    c->ConnectionTimeout = ConnectionTimeout;
    c->BusyTimeoutMs = BusyTimeoutMs;
    c->LoginPrompt = LoginPrompt;
    c->KeepConnection = KeepConnection;
    c->SQLLoggingDisabled = SQLLoggingDisabled;
    c->SQLLogPath = SQLLogPath;
    c->d_->writer = d_->writer;
    return c;
}

bool TpSQLConnection::WriteLogLine(const QString& text, const QString& filterText)
{
    if (!d_->writer || SQLLoggingDisabled)
        return false;
    const QString& f = filterText.isEmpty() ? text : filterText;
    for (const QString& line : std::as_const(d_->filterLines))
        if (f.contains(line))
            return false;
    d_->writer->Write(text);
    return true;
}

QStringList TpSQLConnection::FilterLines() const { return d_->filterLines; }
std::shared_ptr<TNaplo> TpSQLConnection::LogWriter() const { return d_->writer; }

std::unique_ptr<TpSQLQuery> TpSQLConnection::NewQuery(const QString& sql)
{
    auto q = std::make_unique<TpSQLQuery>(this, sql);
    q->CommandTimeout = CommandTimeout;
    return q;
}

std::unique_ptr<TpSQLCommand> TpSQLConnection::NewCommand(const QString& commandText)
{
    auto c = std::make_unique<TpSQLCommand>(this, commandText);
    c->CommandTimeout = CommandTimeout;
    return c;
}

QString TpSQLConnection::DefaultDatabase() const
{
    if (Engine() == DbEngine::LocalFile)
        return LocalDatabasePath(ConnectionString);
    if (Connected()) {
        QSqlQuery q(d_->db);
        if (q.exec(QStringLiteral("SELECT current_database()")) && q.next())
            return q.value(0).toString();
    }
    const QString db = PostgreSqlAddress(ConnectionString).database;
    return db.isEmpty() ? QStringLiteral("postgres") : db;
}

QStringList TpSQLConnection::Tables(QString* error) const
{
    QStringList out;
    if (!Connected()) {
        if (error)
            *error = QStringLiteral("Not connected");
        return out;
    }
    const QStringList all = d_->db.tables(QSql::Tables);
    for (const QString& t : all)
        if (!t.startsWith(QStringLiteral("sqlite_"), Qt::CaseInsensitive))
            out.append(t);
    if (d_->db.lastError().isValid() && error)
        *error = SqlErrorText(d_->db.lastError());
    return out;
}

QString TpSQLConnection::LastError() const { return d_->lastError; }

bool TpSQLConnection::BeginTransaction(QString* error, bool immediate)
{
    if (immediate && Engine() == DbEngine::LocalFile && Connected()) {
        QSqlQuery q(d_->db);
        if (q.exec(QStringLiteral("BEGIN IMMEDIATE")))
            return true;
        d_->lastError = SqlErrorText(q.lastError());
        if (error)
            *error = d_->lastError;
        return false;
    }
    if (!Connected() || !d_->db.transaction()) {
        d_->lastError = Connected() ? SqlErrorText(d_->db.lastError()) : QStringLiteral("Not connected");
        if (error)
            *error = d_->lastError;
        return false;
    }
    return true;
}

bool TpSQLConnection::Commit(QString* error)
{
    if (!Connected() || !d_->db.commit()) {
        d_->lastError = Connected() ? SqlErrorText(d_->db.lastError()) : QStringLiteral("Not connected");
        if (error)
            *error = d_->lastError;
        return false;
    }
    return true;
}

bool TpSQLConnection::Rollback(QString* error)
{
    if (!Connected() || !d_->db.rollback()) {
        d_->lastError = Connected() ? SqlErrorText(d_->db.lastError()) : QStringLiteral("Not connected");
        if (error)
            *error = d_->lastError;
        return false;
    }
    return true;
}

void TpSQLConnection::SetStatementBarrier(std::function<void()> barrier) { d_->barrier = std::move(barrier); }

void TpSQLConnection::RunStatementBarrier()
{
    if (!d_->barrier || d_->inBarrier)
        return;
    d_->inBarrier = true;
    d_->barrier();
    d_->inBarrier = false;
}

} // namespace cvx
