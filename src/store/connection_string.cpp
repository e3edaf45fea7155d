#include "connection_string.h"

#include "shell/app_paths.h"

#include <QDir>
#include <QFileInfo>

namespace cvx {

namespace {

struct Pair {
    QString key;
    QString value;
    int start = 0;
    int end = 0;     // index after the value
    int valueStart = 0;
};

// Splits at ";" outside double quotes.
QList<Pair> parse(const QString& s)
{
    QList<Pair> out;
    int i = 0;
    const int n = s.size();
    while (i < n) {
        const int start = i;
        int eq = -1;
        bool quoted = false;
        int j = i;
        for (; j < n; ++j) {
            const QChar c = s[j];
            if (c == u'"' && eq >= 0)
                quoted = !quoted;
            else if (c == u'=' && eq < 0)
                eq = j;
            else if (c == u';' && !quoted)
                break;
        }
        if (eq >= 0) {
            Pair p;
            p.key = s.mid(start, eq - start).trimmed();
            p.valueStart = eq + 1;
            QString v = s.mid(eq + 1, j - eq - 1).trimmed();
            if (v.size() >= 2 && v.startsWith(u'"') && v.endsWith(u'"'))
                v = v.mid(1, v.size() - 2).replace(QStringLiteral("\"\""), QStringLiteral("\""));
            p.value = v;
            p.start = start;
            p.end = j;
            out.append(p);
        }
        i = j + 1;
    }
    return out;
}

} // namespace

DbEngine EngineOf(const QString& cs)
{
    if (cs.contains(QStringLiteral("Provider=QSQLITE"), Qt::CaseInsensitive)
        || cs.contains(QStringLiteral("Microsoft.Jet.OLEDB.4.0"), Qt::CaseInsensitive))
        return DbEngine::LocalFile;
    if (cs.contains(QStringLiteral("Provider=QPSQL"), Qt::CaseInsensitive)
        || cs.contains(QStringLiteral("Provider=PGNP"), Qt::CaseInsensitive))
        return DbEngine::PostgreSql;
    return DbEngine::SqlServer;
}

bool IsLocalFile(const QString& cs) { return EngineOf(cs) == DbEngine::LocalFile; }
bool IsPostgreSql(const QString& cs) { return EngineOf(cs) == DbEngine::PostgreSql; }

QString ConnectionValue(const QString& cs, const QString& key)
{
    // A key given twice counts with its last value (an appended catalogue wins).
    QString value;
    for (const Pair& p : parse(cs))
        if (p.key.compare(key, Qt::CaseInsensitive) == 0)
            value = p.value;
    return value;
}

bool HasConnectionKey(const QString& cs, const QString& key)
{
    for (const Pair& p : parse(cs))
        if (p.key.compare(key, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

QString MaskPassword(const QString& cs)
{
    QString out = cs;
    const QList<Pair> pairs = parse(cs);
    for (int k = pairs.size() - 1; k >= 0; --k) {
        const Pair& p = pairs[k];
        if (p.key.compare(QStringLiteral("Password"), Qt::CaseInsensitive) == 0 && !p.value.isEmpty())
            out.replace(p.valueStart, p.end - p.valueStart, QStringLiteral("***"));
    }
    return out;
}

QString AppendConnectionValue(const QString& cs, const QString& key, const QString& value)
{
    QString out = cs;
    if (!out.isEmpty() && !out.trimmed().endsWith(u';'))
        out += u';';
    return out + key + u'=' + value + u';';
}

QString LocalDatabasePath(const QString& cs)
{
    const QString source = ConnectionValue(cs, QStringLiteral("Data Source"));
    if (source.isEmpty())
        return QString();
    if (QFileInfo(source).isAbsolute())
        return QDir::cleanPath(source);
    return QDir::cleanPath(AppPaths::inHome(source));
}

QString LocalConnectionString(const QString& databaseFile)
{
    return QStringLiteral("Provider=%1;Data Source=%2").arg(QLatin1String(LocalFileProvider), databaseFile);
}

QString DefaultLocalConnectionString()
{
    // Relative: the working folder can move with its database.
    return LocalConnectionString(AppPaths::programName() + QStringLiteral(".db"));
}

PgAddress PostgreSqlAddress(const QString& cs)
{
    PgAddress a;
    QString host = ConnectionValue(cs, QStringLiteral("Host"));
    if (host.isEmpty())
        host = ConnectionValue(cs, QStringLiteral("Data Source"));
    // "host:port" unless the host is a bare IPv6 address.
    const int colon = host.lastIndexOf(u':');
    if (colon > 0 && host.count(u':') == 1) {
        bool ok = false;
        const int p = host.mid(colon + 1).toInt(&ok);
        if (ok)
            a.port = p;
        host = host.left(colon);
    }
    if (!host.isEmpty())
        a.host = host;
    bool ok = false;
    const int port = ConnectionValue(cs, QStringLiteral("Port")).toInt(&ok);
    if (ok && port > 0)
        a.port = port;
    a.user = ConnectionValue(cs, QStringLiteral("User ID"));
    a.password = ConnectionValue(cs, QStringLiteral("Password"));
    a.database = ConnectionValue(cs, QStringLiteral("Initial Catalog"));
    if (a.database.isEmpty())
        a.database = ConnectionValue(cs, QStringLiteral("Database"));
    return a;
}

QString DataSourceOf(const QString& cs)
{
    const int k = cs.indexOf(QStringLiteral("Data Source="));
    if (k < 0)
        return QString();
    const int from = k + 12;
    const int semi = cs.indexOf(u';', from);
    return semi < 0 ? cs.mid(from) : cs.mid(from, semi - from);
}

QString InitialCatalogOf(const QString& cs)
{
    const int k = cs.indexOf(QStringLiteral("Initial Catalog="));
    if (k < 0)
        return QString();
    const int from = k + 16;
    const int semi = cs.indexOf(u';', from);
    return semi < 0 ? cs.mid(from) : cs.mid(from, semi - from);
}

} // namespace cvx
