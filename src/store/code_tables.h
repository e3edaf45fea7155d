#pragma once
// The code tables whose texts come from the message catalogue, and the check that a
// database holds the tables the program needs.

#include <QString>
#include <QStringList>

namespace cvx {

class TpSQLConnection;

// Stored value = physical value x precision of its measure type (1..20); 0 outside.
int MeasureTypePrecision(int measureTypeCode);

// Empties Measure_type_code_to_string, drops and recreates the sensor, server, protocol
// and task code tables and Measure_type_precisions, and fills them in the current
// language. Every statement goes through ExecuteSql; failures are logged and the rest
// goes on. Sets the refilled flag; true.
bool FillConvTables(TpSQLConnection& connection);
// Set by FillConvTables; the start sequence relabels menus and tables when it is set.
bool CodeTablesRefilled();
void SetCodeTablesRefilled(bool value);

// Rewrites the texts of the code tables in the current language (only on a connected
// master). Errors are ignored. The data module requeries its code tables afterwards.
void RelabelCodeTables(TpSQLConnection& connection);

// True when the database has at least 7 tables, among them Measure, Probe, Probe_type,
// User_settings, Global_settings, Measure_type_code_to_string and
// Treshold_type_code_to_string (any letter case). Logs what it found.
bool CheckTables(TpSQLConnection& connection);
QStringList RequiredTables();

} // namespace cvx
