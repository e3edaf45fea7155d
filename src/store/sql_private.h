#pragma once
// Internals shared by the SQL layer's implementation files (not for other layers).

#include "store/sql_connection.h"

#include <QDateTime>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace cvx {

// Queries and commands of a connection: told when it closes or goes away.
class SqlClient {
public:
    virtual ~SqlClient() = default;
    virtual void connectionClosing() = 0;
    virtual void connectionGone() = 0;
};

struct SqlConnectionPrivate {
    QString qtName;              // Qt's connection name, unique per object
    QSqlDatabase db;             // valid while open
    QStringList filterLines;
    std::shared_ptr<TNaplo> writer;
    TimeService* time = nullptr;
    QString lastError;
    std::function<void()> barrier;
    bool inBarrier = false;
    QSet<SqlClient*> clients;
};

// Text of a library error: the database's message when there is one.
QString SqlErrorText(const QSqlError& e);

// Rewrites ":name" placeholders (outside literals, identifiers and comments; "::" is a
// cast) to "?" and lists the names in order of occurrence.
struct ParsedSql {
    QString positional;
    QStringList occurrences;   // one per placeholder
    QStringList occurrenceKeys; // the same in lower case: the keys of the bound values
    QStringList names;         // unique, in order of first occurrence
};
ParsedSql ParseNamedParameters(const QString& sql);

// A value as the database receives it: date-times as "yyyy-MM-dd HH:mm:ss.zzz" text
// (so text-compared and typed columns agree on every engine), booleans as 0/1, a null
// string as an empty one.
QVariant BindableValue(const QVariant& v);

// "name="value", ..." of parameters or fields.
QString RenderNameValues(const QList<QPair<QString, QVariant>>& items);
QString DumpText(const QVariant& v);

} // namespace cvx
