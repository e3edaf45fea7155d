#include "store/settings.h"

#include "shell/catalogue.h"
#include "shell/logs.h"
#include "shell/shell_state.h"
#include "store/sql_connection.h"
#include "store/sql_ops.h"
#include "store/sql_query.h"

namespace cvx {

QString ReadGlobalSetting(TpSQLConnection& connection, const QString& key)
{
    TpSQLQuery q(&connection, QStringLiteral("SELECT Cfg_value FROM Global_settings WHERE Cfg_key=:key"));
    q.SetParam(QStringLiteral("key"), key);
    QString error;
    if (!q.Open(&error)) {
        LogLine(Fmt("errReadingGlobalSettingsIs", error));
        return QString();
    }
    return q.Eof() ? QString() : q.Value(0).toString();
}

void WriteGlobalSetting(TpSQLConnection& connection, const QString& key, const QString& value)
{
    QString v = value;
    if (shellState().CHANGE_POSTGRE_BSS && IsPostgreSql(connection.ConnectionString))
        v.replace(u'\\', QStringLiteral("\\\\"));
    TpSQLQuery q(&connection, QStringLiteral("SELECT COUNT(*) FROM Global_settings WHERE Cfg_key=:key"));
    q.SetParam(QStringLiteral("key"), key);
    QString error;
    if (!q.Open(&error)) {
        LogLine(QStringLiteral("%1 %2").arg(Msg("errWritingGlobalSettings"), error), true);
        return;
    }
    const bool exists = !q.Eof() && q.Value(0).toLongLong() > 0;
    q.Close();
    const SqlParams params{{QStringLiteral("value"), v}, {QStringLiteral("key"), key}};
    if (exists)
        ExecuteSql(connection, QStringLiteral("UPDATE Global_settings SET Cfg_value =:value WHERE Cfg_key=:key"),
                   Msg("errWritingGlobalSettings"), params);
    else
        ExecuteSql(connection,
                   QStringLiteral("INSERT INTO Global_settings (Cfg_key, Cfg_value) VALUES (:key,:value)"),
                   Msg("errWritingGlobalSettings"), params);
}

QString ReadUserSetting(TpSQLConnection& connection, const QString& key)
{
    if (!shellState().DbConnected)
        return QString();
    TpSQLQuery q(&connection, QStringLiteral("SELECT Cfg_value FROM   User_settings WHERE ((User_id=:user) AND "
                                             "       (Cfg_key=:key))"));
    q.SetParam(QStringLiteral("user"), shellState().UserId);
    q.SetParam(QStringLiteral("key"), key);
    QString error;
    if (!q.Open(&error)) {
        LogLine(Fmt("errReadingUserSettingsIs", error));
        return QString();
    }
    return q.Eof() ? QString() : q.Value(0).toString();
}

void WriteUserSetting(TpSQLConnection& connection, const QString& key, const QString& value, bool deleteFirst)
{
    const QString user = shellState().UserId;
    if (deleteFirst)
        ExecuteSql(connection, QStringLiteral("DELETE FROM User_settings WHERE ((User_id=:user) AND (cfg_key=:key))"),
                   Msg("errClearingUserSettings"), {{QStringLiteral("user"), user}, {QStringLiteral("key"), key}});
    ExecuteSql(connection,
               QStringLiteral("INSERT INTO User_settings (User_id, Cfg_key, Cfg_value) VALUES (:user,:key,:value)"),
               Msg("errWritingUserSettings"),
               {{QStringLiteral("user"), user}, {QStringLiteral("key"), key}, {QStringLiteral("value"), value}});
}

void ClearUserSettings(TpSQLConnection& connection)
{
    ExecuteSql(connection, QStringLiteral("DELETE FROM User_settings WHERE User_id=:user"),
               Msg("errClearingUserSettings"), {{QStringLiteral("user"), shellState().UserId}});
}

QString BoolSettingText(bool value) { return value ? QStringLiteral("-1") : QStringLiteral("0"); }

bool SettingAsBool(const QString& text, bool defaultValue)
{
    const QString t = text.trimmed();
    if (t.isEmpty())
        return defaultValue;
    bool ok = false;
    const double n = t.toDouble(&ok);
    if (ok)
        return n != 0;
    return t.compare(QStringLiteral("true"), Qt::CaseInsensitive) == 0;
}

int SettingAsInt(const QString& text, int defaultValue)
{
    bool ok = false;
    const int n = text.trimmed().toInt(&ok);
    return ok ? n : defaultValue;
}

} // namespace cvx
