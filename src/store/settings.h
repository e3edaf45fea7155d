#pragma once
// Key-value settings: Global_settings (shared by every instance) and User_settings (per
// operating-system user). Values are text; booleans are written "-1" and "0".

#include <QString>

namespace cvx {

class TpSQLConnection;

// Cfg_value of the key; empty when there is no row or on error (logged
// "errReadingGlobalSettingsIs").
QString ReadGlobalSetting(TpSQLConnection& connection, const QString& key);
// Updates the key's row or inserts one. On a PostgreSQL connection with the
// "CHANGE_POSTGRE_BSS" switch on, every backslash of the value is doubled first.
void WriteGlobalSetting(TpSQLConnection& connection, const QString& key, const QString& value);

// Rows of the current user (ShellState UserId). Reading gives empty text without a
// database connection.
QString ReadUserSetting(TpSQLConnection& connection, const QString& key);
void WriteUserSetting(TpSQLConnection& connection, const QString& key, const QString& value,
                      bool deleteFirst);
// Deletes every row of the current user.
void ClearUserSettings(TpSQLConnection& connection);

// "-1"/"0".
QString BoolSettingText(bool value);
// True for any non-zero number or the word true; the default for empty text.
bool SettingAsBool(const QString& text, bool defaultValue);
// The number, or the default for empty or non-numeric text.
int SettingAsInt(const QString& text, int defaultValue);

} // namespace cvx
