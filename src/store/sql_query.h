#pragma once
// Queries and commands of a TpSQLConnection. Parameters are named (":name" in the SQL
// text) and always bound, never pasted into the text. A query writes its SQL and
// parameters to the SQL log before it opens and its timing and first row after; a
// command writes its text and parameters before it runs.

#include <QDateTime>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <functional>
#include <map>
#include <memory>
#include <stdexcept>

namespace cvx {

class TpSQLConnection;
struct SqlStatementPrivate;

// Misuse of the SQL layer (a programming error, not a database failure).
class SqlMisuse : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

// What queries and commands share: the connection, the statement text and its
// parameters.
class SqlStatement {
public:
    SqlStatement(const SqlStatement&) = delete;
    SqlStatement& operator=(const SqlStatement&) = delete;
    virtual ~SqlStatement();

    TpSQLConnection* Connection() const;
    void SetConnection(TpSQLConnection* connection);

    // Parameters are those the text names, in order of first occurrence.
    QStringList ParamNames() const;
    bool HasParam(const QString& name) const;
    QVariant Param(const QString& name) const;
    void ClearParams();
    // " [name="value", ...]" or empty without parameters.
    QString ParamDump() const;

    QString LastError() const;
    // The database's own code of the last error (SQLSTATE on PostgreSQL, the result
    // code on the local file).
    QString LastErrorCode() const;
    // Seconds; on a server the statement is cancelled after it (0: no limit).
    int CommandTimeout = 30;
    // Whether this statement writes to the SQL log (plain queries do not).
    bool Logged = true;
    // The measurement writer's own statements do not trigger the connection's barrier.
    bool BypassBarrier = false;

protected:
    explicit SqlStatement(TpSQLConnection* connection);
    void setText(const QString& text);
    const QString& text() const;
    void setParamValue(const QString& name, const QVariant& value);
    // Prepares (once per text) and binds; runs the statement.
    bool run(bool forwardOnly);
    std::unique_ptr<SqlStatementPrivate> d_;
    friend struct SqlStatementPrivate;
};

class TpSQLQuery : public SqlStatement {
public:
    explicit TpSQLQuery(TpSQLConnection* connection = nullptr, const QString& sql = QString());
    ~TpSQLQuery() override;

    void SetSQL(const QString& sql);
    const QString& SQL() const { return text(); }
    // Gives the named parameter its value; does nothing when the text has no such parameter.
    void SetParam(const QString& name, const QVariant& value);

    // Reads rows one way only (large reads); set before Open.
    bool ForwardOnly = false;

    // Runs the query and stands on its first row. False with the error text.
    bool Open(QString* error = nullptr);
    // Runs a statement without rows; not written to the SQL log.
    bool ExecSQL(qint64* rowsAffected = nullptr, QString* error = nullptr);
    void Close();
    bool Active() const;
    // Re-runs with the same parameters and stands on the first row.
    bool Requery(QString* error = nullptr);

    bool Eof() const;
    bool IsEmpty() const;
    bool Next();
    bool First();
    // Current row (0-based), -1 when not on a row.
    int RecNo() const;
    bool Seek(int row);
    // Moves to the first row whose field equals the value (text comparison for texts,
    // numeric otherwise). Stays put and gives false when there is none.
    bool Locate(const QString& field, const QVariant& value);

    int FieldCount() const;
    QStringList FieldNames() const;
    int FieldIndex(const QString& name) const; // ignores case; -1 when absent
    QVariant Value(int index) const;
    QVariant Value(const QString& field) const;
    QString AsString(const QString& field) const;
    qint64 AsInteger(const QString& field, qint64 defaultValue = 0) const;
    double AsFloat(const QString& field, double defaultValue = 0) const;
    QDateTime AsDateTime(const QString& field) const;
    bool AsBoolean(const QString& field) const;
    // "[name="value", ...]" of the current row; "[empty]" without fields.
    QString FieldDump() const;

    // Millisecond tick at which the last open began.
    qint64 OpenStartTick() const;
    qint64 RowsAffected() const;

    // Views bound to the query are told around a requery or reopen (true: about to change).
    int AddChangeObserver(std::function<void(bool aboutToChange)> observer);
    void RemoveChangeObserver(int handle);
    void NotifyChange(bool aboutToChange);

private:
    std::map<int, std::function<void(bool)>> observers_;
    int nextObserver_ = 1;
};

class TpSQLCommand : public SqlStatement {
public:
    explicit TpSQLCommand(TpSQLConnection* connection = nullptr, const QString& commandText = QString());
    ~TpSQLCommand() override;

    void SetCommandText(const QString& text);
    const QString& CommandText() const { return text(); }
    // Gives the named parameter its value; throws SqlMisuse when the text has no such parameter.
    void SetParam(const QString& name, const QVariant& value);

    // Runs the command (prepared once, then re-run with new values).
    bool Execute(qint64* rowsAffected = nullptr, QString* error = nullptr);
    // First field of the first row the command returned (INSERT ... RETURNING), else null.
    QVariant ReturnedValue() const;
    // Row id the database assigned to the last insert (local file).
    QVariant LastInsertId() const;
};

} // namespace cvx
