// E-mail and the report of hourly minimum and maximum values.

#include "acquisition/probe.h"
#include "acquisition/probe_lists.h"
#include "event_engine.h"
#include "mail_sender.h"
#include "platform/smtp_client.h"
#include "platform/time_service.h"
#include "shell/catalogue.h"
#include "shell/logs.h"
#include "shell/shell_state.h"
#include "shell/warnings.h"
#include "store/data_module.h"
#include "store/measure_reader.h"
#include "store/settings.h"
#include "store/sql_query.h"
#include "warning_calls.h"

#include <map>
#include <tuple>

namespace cvx {

// ---- e-mail -----------------------------------------------------------------------------------

void EventEngine::SendEMail(const QString& recipients, const QString& body, std::function<void(bool ok)> done)
{
    SmtpSettings s;
    s.userName = ReadSetting(QStringLiteral("SMTP_Username"));
    s.password = ReadSetting(QStringLiteral("SMTP_Password"));
    s.host = ReadSetting(QStringLiteral("SMTP_Server")).trimmed();
    s.port = SettingAsInt(ReadSetting(QStringLiteral("SMTP_Port")).trimmed(), 25);
    const int security = SettingAsInt(ReadSetting(QStringLiteral("SMTP_TLS")).trimmed(), 0);
    s.security = security == 1 ? SmtpSecurity::StartTls
        : security == 2        ? SmtpSecurity::ImplicitTls
                               : SmtpSecurity::None;
    const QString sender = ReadSetting(QStringLiteral("SMTP_Sender")).trimmed();

    SmtpMessage m;
    m.sender = sender;
    m.recipients = ParseRecipientList(recipients);
    m.body = body;
    m.date = time_.localNow();
    m.subject = PlainSubjectText(Fmt("msgMessageSubject", body));

    warningPanel().setMenuAlertsDisappear(false);
    const QString authType = s.userName.isEmpty() ? QStringLiteral("satNone") : QStringLiteral("satDefault");
    LogLine(QStringLiteral("SMTP Server   : %1").arg(s.host), true);
    LogLine(QStringLiteral("SMTP Port     : %1").arg(s.port), true);
    LogLine(QStringLiteral("SMTP Username : %1").arg(s.userName), true);
    // The password itself never goes into a log file.
    LogLine(QStringLiteral("SMTP Password : %1").arg(s.password.isEmpty() ? QString() : QStringLiteral("********")),
            true);
    LogLine(QStringLiteral("SMTP AuthType : %1").arg(authType), true);
    LogLine(QStringLiteral("SMTP Sender   : %1").arg(sender), true);

    mail_->send(
        s, m,
        [](const SmtpStatus& st) {
            ShowOrLogWarning(QStringLiteral("IdSMTPStatus: ") + st.name + QStringLiteral(" Msg: ") + st.text);
        },
        [done = std::move(done)](const SmtpResult& r) {
            if (r.ok)
                ShowOrLogWarning(Fmt("msgSendingMailResultIs", QStringLiteral("OK")));
            else
                ShowOrLogWarning(Fmt("errSendingMailIs", r.error));
            if (done)
                done(r.ok);
        });
}

// ---- report -----------------------------------------------------------------------------------

namespace {

struct HourRow {
    int year, month, day, hour;
    qint64 minRaw, maxRaw;
};

// The stored integer of a value text; nothing when it is not one.
bool storedInteger(const QVariant& v, qint64* out)
{
    if (v.isNull())
        return false;
    bool ok = false;
    const qint64 n = v.toString().trimmed().toLongLong(&ok);
    if (ok)
        *out = n;
    return ok;
}

QString hourlySql(bool localFile)
{
    // A value counts only when it is an integer: the column is text, and a text maximum
    // would put "9" above "10".
    if (localFile)
        return QStringLiteral(
            "SELECT max(v) AS maxval, min(v) AS minval, dtyear, dtmonth, dtday, dthour FROM ("
            "SELECT CASE WHEN CAST(CAST(trim(Measure_value) AS INTEGER) AS TEXT) = trim(Measure_value) "
            "THEN CAST(trim(Measure_value) AS INTEGER) END AS v, "
            "CAST(strftime('%Y', Measure_datetime) AS INTEGER) AS dtyear, "
            "CAST(strftime('%m', Measure_datetime) AS INTEGER) AS dtmonth, "
            "CAST(strftime('%d', Measure_datetime) AS INTEGER) AS dtday, "
            "CAST(strftime('%H', Measure_datetime) AS INTEGER) AS dthour "
            "FROM Measure WHERE Probe_id = :pprobe AND Measure_type_code = :pmtype "
            "AND Measure_datetime >= :pfrom AND Measure_datetime < :pto) AS m "
            "GROUP BY dtyear, dtmonth, dtday, dthour ORDER BY dtyear DESC, dtmonth DESC, dtday DESC, dthour DESC");
    return QStringLiteral(
        "SELECT max(v) AS maxval, min(v) AS minval, dtyear, dtmonth, dtday, dthour FROM ("
        "SELECT CASE WHEN Measure_value ~ '^ *-?[0-9]{1,18} *$' THEN CAST(trim(Measure_value) AS BIGINT) END AS v, "
        "CAST(date_part('year', Measure_datetime) AS INTEGER) AS dtyear, "
        "CAST(date_part('month', Measure_datetime) AS INTEGER) AS dtmonth, "
        "CAST(date_part('day', Measure_datetime) AS INTEGER) AS dtday, "
        "CAST(date_part('hour', Measure_datetime) AS INTEGER) AS dthour "
        "FROM Measure WHERE Probe_id = :pprobe AND Measure_type_code = :pmtype "
        "AND Measure_datetime >= :pfrom AND Measure_datetime < :pto) AS m "
        "GROUP BY dtyear, dtmonth, dtday, dthour ORDER BY dtyear DESC, dtmonth DESC, dtday DESC, dthour DESC");
}

} // namespace

QString EventEngine::BuildReportBody(int hours, bool* ok, QString* error)
{
    if (ok)
        *ok = true;
    const QDateTime now = time_.localNow();
    QString body = QStringLiteral("\r\n") + Msg("msgCorvaluxReport") + QStringLiteral("\r\n")
        + now.toString(QStringLiteral("yyyy-MM-dd HH:mm")) + QStringLiteral("\r\n\r\n");
    // Yesterday's year and month, from yesterday on: on the first of a month only the
    // last day of the month before.
    const QDate yesterday = now.date().addDays(-1);
    const QDateTime from(yesterday, QTime(0, 0));
    const QDateTime to(QDate(yesterday.year(), yesterday.month(), 1).addMonths(1), QTime(0, 0));
    if (!dm_ || !shellState().DbConnected)
        return body;

    const bool encrypted = dm_->EncryptionInUse();
    TpSQLQuery q(&dm_->conMainConnection, hourlySql(shellState().UsingJet));
    for (const auto& s : probes_.Sensors) {
        for (int mt = 1; mt <= MeasureTypeCount; ++mt) {
            if (!sensorCarries(s->SensorType, mt))
                continue;
            std::vector<HourRow> rows;
            QString err;
            if (encrypted) {
                // Enciphered values can only be compared once deciphered, here.
                std::map<std::tuple<int, int, int, int>, HourRow, std::greater<>> byHour;
                const bool read = ReadMeasureRange(
                    dm_->conMainConnection, s->Id, mt, from, to.addMSecs(-1), dm_->DbPassword(),
                    [&](const MeasurePoint& p) {
                        const QDate d = p.time.date();
                        const auto key = std::make_tuple(d.year(), d.month(), d.day(), p.time.time().hour());
                        auto it = byHour.find(key);
                        if (it == byHour.end())
                            byHour.emplace(key, HourRow{d.year(), d.month(), d.day(), p.time.time().hour(), p.raw,
                                                        p.raw});
                        else {
                            it->second.minRaw = std::min(it->second.minRaw, p.raw);
                            it->second.maxRaw = std::max(it->second.maxRaw, p.raw);
                        }
                        return true;
                    },
                    &err);
                if (!read) {
                    LogLine(Fmt("msgSQLErrorOccured", err), true);
                    if (ok)
                        *ok = false;
                    if (error)
                        *error = err;
                    return body;
                }
                for (auto& [k, r] : byHour)
                    rows.push_back(r);
            } else {
                q.Close();
                q.SetParam(QStringLiteral("pprobe"), s->Id);
                q.SetParam(QStringLiteral("pmtype"), mt);
                q.SetParam(QStringLiteral("pfrom"), from);
                q.SetParam(QStringLiteral("pto"), to);
                if (!q.Open(&err)) {
                    LogLine(Fmt("msgSQLErrorOccured", err), true);
                    if (ok)
                        *ok = false;
                    if (error)
                        *error = err;
                    return body;
                }
                for (; !q.Eof(); q.Next()) {
                    HourRow r{int(q.AsInteger(QStringLiteral("dtyear"))), int(q.AsInteger(QStringLiteral("dtmonth"))),
                              int(q.AsInteger(QStringLiteral("dtday"))), int(q.AsInteger(QStringLiteral("dthour"))),
                              0, 0};
                    storedInteger(q.Value(QStringLiteral("minval")), &r.minRaw);
                    storedInteger(q.Value(QStringLiteral("maxval")), &r.maxRaw);
                    rows.push_back(r);
                }
                q.Close();
            }
            if (rows.empty())
                continue;
            const double factor = measureType(mt).factor;
            const QString mtText = measureTypeText(mt);
            for (int i = 0; i < int(rows.size()) && i < hours; ++i) {
                const HourRow& r = rows[size_t(i)];
                body += SafeFormat(QStringLiteral("%.4d-%.2d-%.2d %.2d:00\t"), r.year, r.month, r.day, r.hour) + s->Name
                    + u'\t' + mtText + u'\t' + ShortestDecimal(double(r.minRaw) / factor) + u'\t'
                    + ShortestDecimal(double(r.maxRaw) / factor) + QStringLiteral("\r\n");
            }
            body += QStringLiteral("\r\n");
        }
    }
    return body;
}

void EventEngine::BuildAndSendReport(const QString& recipients, int hours,
                                     std::function<void(bool ok, const QString& body)> done)
{
    bool ok = true;
    const QString body = BuildReportBody(hours, &ok);
    if (!ok) {
        if (done)
            done(false, body);
        return;
    }
    SendEMail(recipients, body, [done = std::move(done), body](bool sent) {
        if (done)
            done(sent, body);
    });
}

QString EventEngine::runReportTask(TTask& task, TEvent& event)
{
    std::shared_ptr<EventLog> log = event.Log_;
    const quint64 slot = shellState().LOG_EVENTS ? log->reserve() : 0;
    const QString destination = task.Message_destination;
    BuildAndSendReport(destination, task.report_data_count, [log, slot, destination](bool ok, const QString& body) {
        if (slot)
            log->fill(slot, QStringLiteral("  ") + Fmt("msgSendingEMail", destination, body) + QStringLiteral(" - ")
                                + Msg(ok ? "msgMessageSent" : "msgSendingEMailFailed"));
    });
    return QString();
}

} // namespace cvx
