// Loading events and tasks from the database.

#include "acquisition/probe.h"
#include "acquisition/probe_lists.h"
#include "event_engine.h"
#include "platform/time_service.h"
#include "shell/catalogue.h"
#include "shell/logs.h"
#include "shell/shell_state.h"
#include "store/data_module.h"
#include "store/sql_query.h"

namespace cvx {

namespace {

qint64 intField(const TpSQLQuery& q, const char* field, qint64 def)
{
    const QVariant v = q.Value(QString::fromLatin1(field));
    if (!v.isValid() || v.isNull())
        return def;
    return q.AsInteger(QString::fromLatin1(field), def);
}

bool boolField(const TpSQLQuery& q, const char* field, bool def)
{
    const QVariant v = q.Value(QString::fromLatin1(field));
    if (!v.isValid() || v.isNull())
        return def;
    return q.AsBoolean(QString::fromLatin1(field));
}

QString textField(const TpSQLQuery& q, const char* field)
{
    const QVariant v = q.Value(QString::fromLatin1(field));
    return v.isNull() ? QString() : v.toString();
}

QStringList commaList(const QString& text)
{
    QStringList out;
    for (const QString& p : text.split(u','))
        if (!p.trimmed().isEmpty())
            out << p.trimmed();
    return out;
}

} // namespace

void EventEngine::ReloadEvents()
{
    scheduler_->stop();
    for (const auto& s : probes_.Sensors)
        s->RelayLocks.clear();
    if (!shellState().MasterMode)
        return;
    LoadTasks();
    FreeEvents();
    if (dm_ && shellState().DbConnected)
        loadEventsFromDatabase();
    RebuildIndex();
    scheduler_->start();
}

void EventEngine::loadEventsFromDatabase()
{
    TpSQLQuery& q = dm_->qEvent;
    QString error;
    q.Close();
    if (!q.Open(&error)) {
        LogLine(Fmt("msgSQLErrorOccured", error), true);
        return;
    }
    const QString logFolder = shellState().LogFolder;
    while (!q.Eof()) {
        auto e = std::make_unique<TEvent>(*this);
        e->Event_id = int(intField(q, "Event_id", 0));
        e->Event_name = textField(q, "Event_name").trimmed();
        e->Event_is_used = boolField(q, "Event_is_used", true);
        e->Condition_type_code = int(intField(q, "Condition_type_code", 1));
        e->Condition_type_code2 = int(intField(q, "Condition_type_code2", 1));
        e->Threshold_id = int(intField(q, "Threshold_id", 0));
        e->Threshold_id2 = int(intField(q, "Threshold_id2", 0));
        e->Sustain = int(intField(q, "Sustain", 0));
        e->Sustain2 = int(intField(q, "Sustain2", 0));
        e->Sensor_list.setCommaText(textField(q, "Sensor_list"));
        e->Sensor_list2.setCommaText(textField(q, "Sensor_list2"));
        e->Task_list.setCommaText(textField(q, "Task_list"));
        e->Task_list2.setCommaText(textField(q, "Task_list2"));
        e->rate_count = int(intField(q, "rate_count", 10));
        e->Limit_enabled = boolField(q, "Limit_enabled", false);
        e->EvLimit = qint32(intField(q, "EvLimit", 2));
        e->Limit_interval = qint32(intField(q, "Limit_interval", 60));
        e->Period = int(intField(q, "Period", 1));
        e->Delay = int(intField(q, "Delay", 0));
        e->Limit_time = boolField(q, "Limit_time", false);
        e->week_days = textField(q, "week_days");
        e->hours = commaList(textField(q, "hours"));
        e->minutes = commaList(textField(q, "minutes"));
        e->use_week_days = boolField(q, "use_week_days", false);
        e->use_hours = boolField(q, "use_hours", false);
        e->use_minutes = boolField(q, "use_minutes", false);
        e->Sound_enabled = boolField(q, "Sound_enabled", false);
        e->SndFile = textField(q, "SndFile").trimmed();
        q.Next();

        auto threshold = [this](const char* column, int id, const QVariant& def) {
            return dm_->QueryValue(
                QStringLiteral("select %1 from Threshold where Threshold_id = :tid").arg(QLatin1String(column)), id,
                def);
        };
        auto number = [](const QVariant& v, double def) {
            bool ok = false;
            const double d = v.toDouble(&ok);
            return v.isNull() || !ok ? def : d;
        };
        e->Threshold1Value = number(threshold("Threshold_value", e->Threshold_id, 100), 100);
        e->Threshold1Type = int(number(threshold("Threshold_type_code", e->Threshold_id, 1), 1));
        e->Threshold1MeasureType = int(number(threshold("Measure_type_code", e->Threshold_id, 1), 1));
        e->Threshold2Value = number(threshold("Threshold_value", e->Threshold_id2, 99), 99);
        e->Threshold2Type = int(number(threshold("Threshold_type_code", e->Threshold_id2, 2), 2));
        e->Threshold2MeasureType = int(number(threshold("Measure_type_code", e->Threshold_id2, 1), 1));

        TEvent& added = AddEvent(std::move(e));
        added.Prepare(logFolder);
    }
    q.Close();
}

void EventEngine::LoadTasks()
{
    FreeTasks();
    if (!shellState().MasterMode || !shellState().DbConnected || !dm_)
        return;
    TpSQLQuery q(&dm_->conMainConnection, QStringLiteral("SELECT * FROM Task ORDER BY Task_id"));
    QString error;
    if (!q.Open(&error)) {
        LogLine(Fmt("msgSQLErrorOccured", error), true);
        return;
    }
    while (!q.Eof()) {
        auto t = std::make_unique<TTask>();
        t->Task_name = textField(q, "Task_name").trimmed();
        t->Task_id = int(intField(q, "Task_id", 0));
        t->Task_type_code = int(intField(q, "Task_type_code", 0));
        t->Event_list.setCommaText(textField(q, "Event_list"));
        t->Relay_list.setCommaText(textField(q, "Relay_list"));
        t->Message_destination = textField(q, "Message_destination").trimmed();
        t->Message_text = textField(q, "Message_text").trimmed();
        t->exec_cmd = textField(q, "exec_cmd");
        t->exec_params = textField(q, "exec_params");
        t->report_data_count = int(intField(q, "report_data_count", 24));
        AddTask(std::move(t));
        q.Next();
    }
}

} // namespace cvx
