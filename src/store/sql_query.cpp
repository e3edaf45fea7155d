#include "store/sql_query.h"

#include "platform/time_service.h"
#include "store/sql_private.h"

#include <QSqlField>
#include <QSqlRecord>

namespace cvx {

// ---------------------------------------------------------------- helpers

ParsedSql ParseNamedParameters(const QString& sql)
{
    ParsedSql out;
    out.positional.reserve(sql.size());
    const int n = sql.size();
    int i = 0;
    auto isIdentStart = [](QChar c) { return c.isLetter() || c == u'_'; };
    auto isIdent = [](QChar c) { return c.isLetterOrNumber() || c == u'_'; };
    while (i < n) {
        const QChar c = sql[i];
        if (c == u'\'' || c == u'"') {
            // Literal or quoted identifier; a doubled quote stays inside.
            const QChar quote = c;
            int j = i + 1;
            while (j < n) {
                if (sql[j] == quote) {
                    if (j + 1 < n && sql[j + 1] == quote) {
                        j += 2;
                        continue;
                    }
                    break;
                }
                ++j;
            }
            out.positional += sql.mid(i, j - i + 1);
            i = j + 1;
        } else if (c == u'-' && i + 1 < n && sql[i + 1] == u'-') {
            int j = sql.indexOf(u'\n', i);
            if (j < 0)
                j = n;
            out.positional += sql.mid(i, j - i);
            i = j;
        } else if (c == u'/' && i + 1 < n && sql[i + 1] == u'*') {
            int j = sql.indexOf(QStringLiteral("*/"), i + 2);
            j = j < 0 ? n : j + 2;
            out.positional += sql.mid(i, j - i);
            i = j;
        } else if (c == u':' && i + 1 < n && sql[i + 1] == u':') {
            out.positional += QStringLiteral("::");
            i += 2;
        } else if (c == u':' && i + 1 < n && isIdentStart(sql[i + 1])) {
            int j = i + 1;
            while (j < n && isIdent(sql[j]))
                ++j;
            const QString name = sql.mid(i + 1, j - i - 1);
            out.occurrences.append(name);
            out.occurrenceKeys.append(name.toLower());
            bool known = false;
            for (const QString& k : std::as_const(out.names))
                if (k.compare(name, Qt::CaseInsensitive) == 0)
                    known = true;
            if (!known)
                out.names.append(name);
            out.positional += u'?';
            i = j;
        } else {
            out.positional += c;
            ++i;
        }
    }
    return out;
}

QVariant BindableValue(const QVariant& v)
{
    switch (v.typeId()) {
    case QMetaType::QDateTime: {
        const QDateTime dt = v.toDateTime();
        return dt.isValid() ? QVariant(dt.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"))) : QVariant();
    }
    case QMetaType::QDate: {
        const QDate d = v.toDate();
        return d.isValid() ? QVariant(d.toString(QStringLiteral("yyyy-MM-dd"))) : QVariant();
    }
    case QMetaType::QTime: {
        const QTime t = v.toTime();
        return t.isValid() ? QVariant(t.toString(QStringLiteral("HH:mm:ss.zzz"))) : QVariant();
    }
    case QMetaType::Bool:
        return QVariant(v.toBool() ? 1 : 0);
    case QMetaType::QString:
        return v.toString().isNull() ? QVariant(QStringLiteral("")) : v;
    default:
        return v;
    }
}

// Whether the connection writes no line for a statement with this text, whatever its
// parameters: no SQL log, or a filter line occurs in the text itself.
bool SqlLogSkips(const TpSQLConnection& c, const QString& text)
{
    if (c.SQLLoggingDisabled || !c.LogWriter())
        return true;
    for (const QString& line : c.FilterLines())
        if (text.contains(line))
            return true;
    return false;
}

QString DumpText(const QVariant& v)
{
    if (!v.isValid() || v.isNull())
        return QString();
    switch (v.typeId()) {
    case QMetaType::QDateTime:
        return v.toDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    case QMetaType::QDate:
        return v.toDate().startOfDay().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    case QMetaType::QTime:
        return QDateTime(QDate(1899, 12, 30), v.toTime()).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    default:
        return v.toString();
    }
}

QString RenderNameValues(const QList<QPair<QString, QVariant>>& items)
{
    QString out;
    for (const auto& [name, value] : items) {
        out += name;
        out += QStringLiteral("=\"");
        out += DumpText(value);
        out += QStringLiteral("\", ");
    }
    if (!out.isEmpty())
        out.chop(2);
    return out;
}

// ---------------------------------------------------------------- private state

struct SqlStatementPrivate final : SqlClient {
    SqlStatement* owner = nullptr;
    TpSQLConnection* conn = nullptr;
    QString text;
    ParsedSql parsed;
    QMap<QString, QVariant> values; // lower-case name -> value
    QSqlQuery q;
    bool prepared = false;
    bool forwardOnly = false;
    bool active = false;
    bool eof = true;
    int row = -1;
    qint64 openStart = 0;
    qint64 rowsAffected = 0;
    QString lastError;
    QString lastErrorCode;

    void connectionClosing() override
    {
        q = QSqlQuery();
        prepared = false;
        active = false;
        eof = true;
        row = -1;
    }
    void connectionGone() override
    {
        connectionClosing();
        conn = nullptr;
    }
    void attach(TpSQLConnection* c)
    {
        if (conn == c)
            return;
        if (conn) {
            connectionClosing();
            conn->d()->clients.remove(this);
        }
        conn = c;
        if (conn)
            conn->d()->clients.insert(this);
    }
};

// ---------------------------------------------------------------- SqlStatement

SqlStatement::SqlStatement(TpSQLConnection* connection) : d_(std::make_unique<SqlStatementPrivate>())
{
    d_->owner = this;
    d_->attach(connection);
}

SqlStatement::~SqlStatement() { d_->attach(nullptr); }

TpSQLConnection* SqlStatement::Connection() const { return d_->conn; }
void SqlStatement::SetConnection(TpSQLConnection* connection) { d_->attach(connection); }

void SqlStatement::setText(const QString& text)
{
    if (text == d_->text)
        return;
    d_->connectionClosing();
    d_->text = text;
    d_->parsed = ParseNamedParameters(text);
    // Values of parameters the new text still names are kept.
    QMap<QString, QVariant> kept;
    for (const QString& n : std::as_const(d_->parsed.names)) {
        const QString key = n.toLower();
        kept.insert(key, d_->values.value(key));
    }
    d_->values = kept;
}

const QString& SqlStatement::text() const { return d_->text; }

QStringList SqlStatement::ParamNames() const { return d_->parsed.names; }

bool SqlStatement::HasParam(const QString& name) const { return d_->values.contains(name.toLower()); }

QVariant SqlStatement::Param(const QString& name) const { return d_->values.value(name.toLower()); }

void SqlStatement::ClearParams()
{
    for (auto it = d_->values.begin(); it != d_->values.end(); ++it)
        it.value() = QVariant();
}

void SqlStatement::setParamValue(const QString& name, const QVariant& value)
{
    d_->values[name.toLower()] = value;
}

QString SqlStatement::ParamDump() const
{
    if (d_->parsed.names.isEmpty())
        return QString();
    QList<QPair<QString, QVariant>> items;
    for (const QString& n : std::as_const(d_->parsed.names))
        items.append({n, d_->values.value(n.toLower())});
    return QStringLiteral(" [") + RenderNameValues(items) + u']';
}

QString SqlStatement::LastError() const { return d_->lastError; }
QString SqlStatement::LastErrorCode() const { return d_->lastErrorCode; }

bool SqlStatement::run(bool forwardOnly)
{
    d_->lastError.clear();
    d_->lastErrorCode.clear();
    TpSQLConnection* c = d_->conn;
    if (!c || !c->Connected()) {
        d_->lastError = QStringLiteral("Not connected");
        return false;
    }
    if (!BypassBarrier)
        c->RunStatementBarrier();
    if (!c->Connected()) {
        d_->lastError = QStringLiteral("Not connected");
        return false;
    }
    const bool withParams = !d_->parsed.occurrences.isEmpty();
    if (!d_->prepared || d_->forwardOnly != forwardOnly) {
        d_->q = QSqlQuery(c->d()->db);
        d_->q.setForwardOnly(forwardOnly);
        d_->forwardOnly = forwardOnly;
        if (withParams) {
            if (!d_->q.prepare(d_->parsed.positional)) {
                d_->lastError = SqlErrorText(d_->q.lastError());
                d_->lastErrorCode = d_->q.lastError().nativeErrorCode();
                d_->q = QSqlQuery();
                return false;
            }
            d_->prepared = true;
        }
    }
    bool ok;
    if (withParams) {
        for (int i = 0; i < d_->parsed.occurrences.size(); ++i)
            d_->q.bindValue(i, BindableValue(d_->values.value(d_->parsed.occurrenceKeys[i])));
        ok = d_->q.exec();
    } else {
        ok = d_->q.exec(d_->text);
    }
    if (!ok) {
        d_->lastError = SqlErrorText(d_->q.lastError());
        d_->lastErrorCode = d_->q.lastError().nativeErrorCode();
        // A failed statement may leave a server's prepared statement unusable.
        d_->prepared = false;
        d_->q = QSqlQuery();
        d_->rowsAffected = 0;
        return false;
    }
    d_->rowsAffected = d_->q.numRowsAffected();
    return true;
}

// ---------------------------------------------------------------- TpSQLQuery

TpSQLQuery::TpSQLQuery(TpSQLConnection* connection, const QString& sql) : SqlStatement(connection)
{
    setText(sql);
}

TpSQLQuery::~TpSQLQuery() = default;

void TpSQLQuery::SetSQL(const QString& sql) { setText(sql); }

void TpSQLQuery::SetParam(const QString& name, const QVariant& value)
{
    if (HasParam(name))
        setParamValue(name, value);
}

bool TpSQLQuery::Open(QString* error)
{
    TpSQLConnection* c = d_->conn;
    d_->active = false;
    d_->eof = true;
    d_->row = -1;
    d_->openStart = c ? c->Time().tickMs() : 0;
    const bool log = Logged && c;
    if (log)
        c->WriteLogLine(text() + ParamDump());
    if (!run(ForwardOnly)) {
        if (error)
            *error = d_->lastError;
        return false;
    }
    d_->active = true;
    if (!ForwardOnly) {
        // Fetch every row now (a static cursor): on the local file an unfinished
        // statement would hold its read snapshot open, hiding later writes of other
        // connections and keeping the write-ahead log from being checkpointed.
        d_->q.last();
        d_->eof = !d_->q.first();
    } else {
        d_->eof = !d_->q.next();
    }
    d_->row = d_->eof ? -1 : 0;
    if (log) {
        const qint64 elapsed = c->Time().tickMs() - d_->openStart;
        const QString marker = elapsed < 1000 ? QStringLiteral(" T") : QStringLiteral("!T");
        c->WriteLogLine(QStringLiteral(" %1=%2 %3")
                            .arg(marker, QString::number(qMax<qint64>(0, elapsed)).leftJustified(5), FieldDump()),
                        text());
    }
    return true;
}

bool TpSQLQuery::ExecSQL(qint64* rowsAffected, QString* error)
{
    d_->active = false;
    const bool ok = run(true);
    if (!ok && error)
        *error = d_->lastError;
    if (rowsAffected)
        *rowsAffected = ok ? d_->rowsAffected : 0;
    return ok;
}

void TpSQLQuery::Close()
{
    d_->active = false;
    d_->eof = true;
    d_->row = -1;
    if (d_->q.isActive())
        d_->q.finish();
}

bool TpSQLQuery::Active() const { return d_->active; }

bool TpSQLQuery::Requery(QString* error)
{
    Close();
    return Open(error);
}

bool TpSQLQuery::Eof() const { return d_->eof; }
bool TpSQLQuery::IsEmpty() const { return !d_->active || (d_->eof && d_->row < 0); }

bool TpSQLQuery::Next()
{
    if (!d_->active || d_->eof)
        return false;
    if (d_->q.next()) {
        ++d_->row;
        return true;
    }
    d_->eof = true;
    // A one-way read ends its statement with its last row.
    if (ForwardOnly)
        d_->q.finish();
    return false;
}

bool TpSQLQuery::First()
{
    if (!d_->active)
        return false;
    if (ForwardOnly)
        return Open();
    d_->eof = !d_->q.first();
    d_->row = d_->eof ? -1 : 0;
    return !d_->eof;
}

int TpSQLQuery::RecNo() const { return d_->eof ? -1 : d_->row; }

bool TpSQLQuery::Seek(int row)
{
    if (!d_->active || ForwardOnly || row < 0)
        return false;
    if (!d_->q.seek(row))
        return false;
    d_->row = row;
    d_->eof = false;
    return true;
}

bool TpSQLQuery::Locate(const QString& field, const QVariant& value)
{
    if (!d_->active || ForwardOnly)
        return false;
    const int idx = FieldIndex(field);
    if (idx < 0)
        return false;
    const int keep = d_->row;
    const bool textual = value.typeId() == QMetaType::QString;
    for (bool more = d_->q.first(); more; more = d_->q.next()) {
        const QVariant v = d_->q.value(idx);
        const bool equal = textual ? v.toString() == value.toString()
                                   : (!v.isNull() && v.toDouble() == value.toDouble());
        if (equal) {
            d_->row = d_->q.at();
            d_->eof = false;
            return true;
        }
    }
    if (keep >= 0)
        d_->q.seek(keep);
    d_->row = keep;
    d_->eof = keep < 0;
    return false;
}

int TpSQLQuery::FieldCount() const { return d_->q.record().count(); }

QStringList TpSQLQuery::FieldNames() const
{
    QStringList out;
    const QSqlRecord r = d_->q.record();
    for (int i = 0; i < r.count(); ++i)
        out.append(r.fieldName(i));
    return out;
}

int TpSQLQuery::FieldIndex(const QString& name) const { return d_->q.record().indexOf(name); }

QVariant TpSQLQuery::Value(int index) const
{
    if (!d_->active || d_->eof)
        return QVariant();
    return d_->q.value(index);
}

QVariant TpSQLQuery::Value(const QString& field) const
{
    const int idx = FieldIndex(field);
    return idx < 0 ? QVariant() : Value(idx);
}

QString TpSQLQuery::AsString(const QString& field) const { return Value(field).toString(); }

qint64 TpSQLQuery::AsInteger(const QString& field, qint64 defaultValue) const
{
    bool ok = false;
    const QVariant v = Value(field);
    const qint64 r = v.toLongLong(&ok);
    if (ok)
        return r;
    const double dbl = v.toDouble(&ok);
    return ok ? qint64(dbl) : defaultValue;
}

double TpSQLQuery::AsFloat(const QString& field, double defaultValue) const
{
    bool ok = false;
    const double r = Value(field).toDouble(&ok);
    return ok ? r : defaultValue;
}

QDateTime TpSQLQuery::AsDateTime(const QString& field) const
{
    const QVariant v = Value(field);
    if (v.typeId() == QMetaType::QDateTime)
        return v.toDateTime();
    QString s = v.toString().trimmed();
    QDateTime dt = QDateTime::fromString(s, Qt::ISODateWithMs);
    if (!dt.isValid())
        dt = QDateTime::fromString(s, Qt::ISODate);
    return dt;
}

bool TpSQLQuery::AsBoolean(const QString& field) const
{
    const QVariant v = Value(field);
    if (v.typeId() == QMetaType::QString) {
        const QString s = v.toString().trimmed();
        bool ok = false;
        const double n = s.toDouble(&ok);
        return ok ? n != 0 : s.compare(QStringLiteral("true"), Qt::CaseInsensitive) == 0;
    }
    return v.toBool();
}

QString TpSQLQuery::FieldDump() const
{
    const QSqlRecord r = d_->q.record();
    if (r.isEmpty())
        return QStringLiteral("[empty]");
    QList<QPair<QString, QVariant>> items;
    for (int i = 0; i < r.count(); ++i)
        items.append({r.fieldName(i), Value(i)});
    return u'[' + RenderNameValues(items) + u']';
}

qint64 TpSQLQuery::OpenStartTick() const { return d_->openStart; }
qint64 TpSQLQuery::RowsAffected() const { return d_->rowsAffected; }

int TpSQLQuery::AddChangeObserver(std::function<void(bool)> observer)
{
    const int h = nextObserver_++;
    observers_[h] = std::move(observer);
    return h;
}

void TpSQLQuery::RemoveChangeObserver(int handle) { observers_.erase(handle); }

void TpSQLQuery::NotifyChange(bool aboutToChange)
{
    const auto copy = observers_;
    for (const auto& [h, fn] : copy)
        fn(aboutToChange);
}

// ---------------------------------------------------------------- TpSQLCommand

TpSQLCommand::TpSQLCommand(TpSQLConnection* connection, const QString& commandText) : SqlStatement(connection)
{
    setText(commandText);
}

TpSQLCommand::~TpSQLCommand() = default;

void TpSQLCommand::SetCommandText(const QString& text) { setText(text); }

void TpSQLCommand::SetParam(const QString& name, const QVariant& value)
{
    const QString key = name.toLower();
    auto it = d_->values.find(key);
    if (it == d_->values.end())
        throw SqlMisuse("Parameter not found: " + name.toStdString());
    it.value() = value;
}

bool TpSQLCommand::Execute(qint64* rowsAffected, QString* error)
{
    TpSQLConnection* c = d_->conn;
    // A statement whose text a filter line already matches is skipped before its
    // parameters are formatted (the measurement writes run thousands of times a second).
    if (Logged && c && !SqlLogSkips(*c, text()))
        c->WriteLogLine(text() + ParamDump());
    const bool ok = run(true);
    if (!ok && error)
        *error = d_->lastError;
    if (rowsAffected)
        *rowsAffected = ok ? d_->rowsAffected : 0;
    return ok;
}

QVariant TpSQLCommand::ReturnedValue() const
{
    if (!d_->q.isActive() || !d_->q.isSelect())
        return QVariant();
    if (d_->q.at() < 0 && !d_->q.next())
        return QVariant();
    return d_->q.value(0);
}

QVariant TpSQLCommand::LastInsertId() const { return d_->q.lastInsertId(); }

} // namespace cvx
