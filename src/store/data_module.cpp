#include "store/data_module.h"

#include "platform/time_service.h"
#include "shell/catalogue.h"
#include "shell/logs.h"
#include "shell/shell_state.h"
#include "store/code_tables.h"
#include "store/measure_cipher.h"
#include "store/settings.h"
#include "store/sql_ops.h"
#include "store/wal_checkpointer.h"

namespace cvx {

namespace {
TfDM* g_instance = nullptr;
}

TfDM* TfDM::instance() { return g_instance; }

TfDM::TfDM(TimeService& time)
    : conMainConnection(QStringLiteral("conMainConnection"), &time),
      qProbe_type(&conMainConnection, QStringLiteral("SELECT * FROM Probe_type")),
      qProbe(&conMainConnection, QStringLiteral("SELECT * FROM Probe")),
      qProbe_detail(&conMainConnection, QStringLiteral("SELECT * FROM Probe WHERE Probe_type_id=:Probe_type_id")),
      qProbe2(&conMainConnection),
      qTask(&conMainConnection, QStringLiteral("SELECT * FROM Task")),
      qEvent(&conMainConnection,
             QStringLiteral("SELECT Event.*, T1.Threshold_value AS Threshold_value1, T1.Threshold_type_code AS "
                            "Threshold_type1, TT1.Treshold_type_code_as_str AS Threshold_type_str1, "
                            "T2.Threshold_value AS Threshold_value2, T2.Threshold_type_code AS Threshold_type2, "
                            "TT2.Treshold_type_code_as_str AS Threshold_type_str2 FROM (((Event LEFT JOIN Threshold "
                            "T1 ON Event.Threshold_id = T1.Threshold_id) LEFT JOIN Treshold_type_code_to_string TT1 "
                            "ON T1.Threshold_type_code = TT1.Treshold_type_code_as_int) LEFT JOIN Threshold T2 ON "
                            "Event.Threshold_id2 = T2.Threshold_id) LEFT JOIN Treshold_type_code_to_string TT2 ON "
                            "T2.Threshold_type_code = TT2.Treshold_type_code_as_int ORDER BY Event.Event_id")),
      qThreshold(&conMainConnection, QStringLiteral("select * from Threshold")),
      qThreshold_list(&conMainConnection, QStringLiteral("select * from Threshold_list")),
      qLastMeasureID(&conMainConnection, QStringLiteral("SELECT MAX(Measure_id)  FROM Measure")),
      qMeasureQuery(&conMainConnection),
      qWorkQuery2(&conMainConnection),
      tabMtc_to_Str(&conMainConnection, QStringLiteral("SELECT * FROM Measure_type_code_to_string")),
      tabTtc_to_Str(&conMainConnection, QStringLiteral("SELECT * FROM Treshold_type_code_to_string")),
      tabSrvTc_to_Str(&conMainConnection, QStringLiteral("SELECT * FROM Server_type_code_to_string")),
      tabSenTc_to_Str(&conMainConnection, QStringLiteral("SELECT * FROM Sensor_type_code_to_string")),
      tabProTc_to_Str(&conMainConnection, QStringLiteral("SELECT * FROM Protocol_type_code_to_string")),
      tabTatc_to_Str(&conMainConnection, QStringLiteral("SELECT * FROM Task_type_code_to_string")),
      time_(time)
{
    conMainConnection.CommandTimeout = 1500;
    // A server connect blocks the event loop: fail fast and retry rather than wait.
    conMainConnection.ConnectionTimeout = 10;
    conMainConnection.LoginPrompt = false;
    conMainConnection.ConnectionString = QStringLiteral("Provider=%1").arg(QLatin1String(LocalFileProvider));
    for (TpSQLQuery* q : {&qLastMeasureID, &qMeasureQuery, &qWorkQuery2})
        q->CommandTimeout = 180;

    writer_ = std::make_unique<MeasureWriter>(conMainConnection, time_);
    writer_->SetFailureHandler([this](const char* key, const QString& error) { onWriteFailure(key, error); });
    conMainConnection.SetStatementBarrier([this] { writer_->Flush(); });

    cmdAddTmpMeasure_ = std::make_unique<TpSQLCommand>(
        &conMainConnection,
        QStringLiteral("INSERT INTO Tmp_Measure (Probe_type_id, Measure_value, Probe_id, Measure_type_code, "
                       "Measure_datetime) VALUES (:paramPRTID, :paramMV, :paramPID, :paramMTC, :paramDT)"));
    cmdUpdateFlashLast_ = std::make_unique<TpSQLCommand>(
        &conMainConnection, QStringLiteral("update Probe_type set Last_recID=:paramLast_rec_ID, "
                                           "Last_rec=:paramLast_rec where Probe_type_id=:paramProbe_type_id"));

    retryTimer_ = time_.createTimer(RetryMs, false, [this] { tryReset(); });
    resetHandler_ = [this] { return ResetConnection(); };
    g_instance = this;
}

TfDM::~TfDM()
{
    retryTimer_->stop();
    if (conMainConnection.Connected())
        CloseMainConnection();
    conMainConnection.SetStatementBarrier({});
    if (g_instance == this)
        g_instance = nullptr;
}

void TfDM::reopenFixedSets()
{
    for (TpSQLQuery* q : {&qLastMeasureID, &tabMtc_to_Str, &tabTtc_to_Str, &tabSrvTc_to_Str, &tabSenTc_to_Str,
                          &tabProTc_to_Str, &tabTatc_to_Str})
        Reopen(*q);
}

bool TfDM::OpenMainConnection(const QString& connectionString, QString* error)
{
    checkpointer_.reset();
    conMainConnection.Close();
    conMainConnection.LoginPrompt = false;
    conMainConnection.ConnectionString = connectionString;
    if (!conMainConnection.Open(error))
        return false;
    afterOpen();
    ReadDbPassword();
    const int waiting = writer_->UncommittedWrites();
    if (writer_->ConnectionOpened() && waiting > 0)
        LogLine(Fmt("msgMeasurementsReplayed", waiting), true);
    return true;
}

void TfDM::afterOpen()
{
    const bool local = IsLocalFile(conMainConnection.ConnectionString);
    shellState().UsingJet = local;
    if (local) {
        // Checkpoints run on their own thread, never inside a commit on the event loop.
        TpSQLQuery pragma(&conMainConnection, QStringLiteral("PRAGMA wal_autocheckpoint=0"));
        pragma.Logged = false;
        pragma.ExecSQL();
        if (!checkpointer_)
            checkpointer_ = std::make_unique<WalCheckpointer>(LocalDatabasePath(conMainConnection.ConnectionString));
    } else {
        checkpointer_.reset();
    }
    reopenFixedSets();
}

void TfDM::CloseMainConnection()
{
    retryTimer_->stop();
    writer_->Flush();
    checkpointer_.reset();
    if (writer_->UncommittedWrites() > 0)
        LogLine(Fmt("errMeasurementsLost", writer_->UncommittedWrites()), true);
    conMainConnection.Close();
}

bool TfDM::ResetConnection()
{
    LogLine(QStringLiteral("ResetConnection: ")
                + Fmt("msgConnStrIs", QStringLiteral("\n") + MaskPassword(conMainConnection.ConnectionString)
                                          + QStringLiteral("\n")),
            true);
    ShellState& s = shellState();
    s.DbConnected = true;
    checkpointer_.reset();
    conMainConnection.Close();
    QString error;
    if (!conMainConnection.Open(&error)) {
        LogLine(QStringLiteral("ResetConnection exception: ") + error, true);
        return false;
    }
    afterOpen();
    const int waiting = writer_->UncommittedWrites();
    if (!writer_->ConnectionOpened()) {
        LogLine(QStringLiteral("ResetConnection exception: ") + Fmt("msgMeasurementsJournaled", writer_->UncommittedWrites()),
                true);
        return false;
    }
    if (waiting > 0)
        LogLine(Fmt("msgMeasurementsReplayed", waiting), true);
    return true;
}

void TfDM::SetResetHandler(std::function<bool()> handler)
{
    resetHandler_ = handler ? std::move(handler) : std::function<bool()>([this] { return ResetConnection(); });
}

void TfDM::onWriteFailure(const char* key, const QString& error)
{
    LogLine(Fmt(key, error), true);
    tryReset();
}

void TfDM::tryReset()
{
    if (shellState().Stopping && !conMainConnection.Connected()) {
        retryTimer_->stop();
        return;
    }
    if (resetHandler_() && writer_->Replay()) {
        retryTimer_->stop();
        return;
    }
    LogLine(Fmt("msgMeasurementsJournaled", writer_->UncommittedWrites()), true);
    if (!retryTimer_->isActive())
        retryTimer_->start();
}

void TfDM::SetUpNameStrs()
{
    ShellState& s = shellState();
    const QString cs = conMainConnection.ConnectionString;
    s.DataSourceName = DataSourceOf(cs);
    if (s.UsingJet) {
        s.DatabaseName = QStringLiteral("Corvalux.db");
        const QString path = LocalDatabasePath(cs);
        if (!path.isEmpty())
            s.DatabaseName = path.section(u'/', -1);
    } else {
        s.DatabaseName = InitialCatalogOf(cs);
        if (s.DatabaseName.isEmpty())
            s.DatabaseName = conMainConnection.DefaultDatabase();
    }
}

bool TfDM::ReadDbPassword()
{
    dbPassword_.clear();
    TpSQLQuery q(&conMainConnection, QStringLiteral("SELECT Cfg_value FROM Global_settings WHERE Cfg_key=:key"));
    q.SetParam(QStringLiteral("key"), QStringLiteral("DBPasswd"));
    QString error;
    if (!q.Open(&error)) {
        LogLine(Fmt("errReadingDBPasswdIs", error));
        writer_->SetPassword(QString());
        return false;
    }
    const QString stored = q.Eof() ? QString() : q.Value(0).toString().trimmed();
    if (!stored.isEmpty()) {
        QString plain = TDESCipher(BuiltInPassPhrase()).Decipher(stored);
        while (!plain.isEmpty() && plain.back().isSpace())
            plain.chop(1);
        dbPassword_ = plain;
    }
    writer_->SetPassword(dbPassword_);
    return true;
}

QString TfDM::ReadGlobalSetting(const QString& key) { return cvx::ReadGlobalSetting(conMainConnection, key); }

void TfDM::WriteGlobalSetting(const QString& key, const QString& value)
{
    cvx::WriteGlobalSetting(conMainConnection, key, value);
}

QString TfDM::ReadUserSetting(const QString& key) { return cvx::ReadUserSetting(conMainConnection, key); }

void TfDM::WriteUserSetting(const QString& key, const QString& value, bool deleteFirst)
{
    cvx::WriteUserSetting(conMainConnection, key, value, deleteFirst);
}

QVariant TfDM::QueryValue(const QString& sql, const QVariant& parameter, const QVariant& defaultValue)
{
    TpSQLQuery q(&conMainConnection, sql);
    const QStringList names = q.ParamNames();
    if (!names.isEmpty())
        q.SetParam(names.first(), parameter);
    QString error;
    if (!q.Open(&error)) {
        LogLine(Fmt("msgSQLErrorOccured", error));
        return defaultValue;
    }
    return q.Eof() ? defaultValue : q.Value(0);
}

qint64 TfDM::StoreMeasure(const QString& valueText, int probeId, int measureTypeCode, const QDateTime& time)
{
    if (shellState().RecordingSuspended)
        return 0;
    const bool encrypted = EncryptionInUse();
    const qint64 id = writer_->Add(valueText, probeId, measureTypeCode, time, encrypted);
    return encrypted ? 0 : id;
}

qint64 TfDM::AddMeasureRow(const QString& valueText, int probeId, int measureTypeCode, const QDateTime& time)
{
    if (shellState().RecordingSuspended)
        return 0;
    return writer_->Add(valueText, probeId, measureTypeCode, time, false);
}

void TfDM::UpdateMeasureRow(qint64 measureId, const QString& valueText, int measureTypeCode, int probeId)
{
    if (shellState().RecordingSuspended)
        return;
    writer_->Update(measureId, valueText, measureTypeCode, probeId, nullptr);
}

void TfDM::UpdateMeasureRow(qint64 measureId, const QString& valueText, int measureTypeCode, int probeId,
                            const QDateTime& time)
{
    if (shellState().RecordingSuspended)
        return;
    writer_->Update(measureId, valueText, measureTypeCode, probeId, &time);
}

QString TfDM::PlainMeasureValue(qint64 measureId, const QString& storedValue, bool* ok) const
{
    if (EncryptionInUse())
        return DecipherMeasureValue(dbPassword_, measureId, storedValue, ok);
    if (ok)
        *ok = true;
    return storedValue.trimmed();
}

bool TfDM::AddTmpMeasure(int probeTypeId, const QString& valueText, int probeId, int measureTypeCode,
                         const QDateTime& time)
{
    cmdAddTmpMeasure_->SetParam(QStringLiteral("paramPRTID"), probeTypeId);
    cmdAddTmpMeasure_->SetParam(QStringLiteral("paramMV"), valueText);
    cmdAddTmpMeasure_->SetParam(QStringLiteral("paramPID"), probeId);
    cmdAddTmpMeasure_->SetParam(QStringLiteral("paramMTC"), measureTypeCode);
    cmdAddTmpMeasure_->SetParam(QStringLiteral("paramDT"), time);
    QString error;
    if (cmdAddTmpMeasure_->Execute(nullptr, &error))
        return true;
    LogLine(Fmt("msgSQLErrorOccured", error), true);
    return false;
}

bool TfDM::UpdateFlashLast(int probeTypeId, qint64 lastRecId, const QString& lastRec)
{
    cmdUpdateFlashLast_->SetParam(QStringLiteral("paramLast_rec_ID"), lastRecId);
    cmdUpdateFlashLast_->SetParam(QStringLiteral("paramLast_rec"), lastRec);
    cmdUpdateFlashLast_->SetParam(QStringLiteral("paramProbe_type_id"), probeTypeId);
    QString error;
    if (cmdUpdateFlashLast_->Execute(nullptr, &error))
        return true;
    LogLine(Fmt("msgSQLErrorOccured", error), true);
    return false;
}

QString TfDM::CodeText(TpSQLQuery& table, int code)
{
    if (!table.Active() || table.FieldCount() < 1)
        return QString();
    const int keep = table.RecNo();
    QString text;
    const QString intField = table.FieldNames().value(0);
    if (table.Locate(intField, code)) {
        text = table.Value(1).toString();
        while (!text.isEmpty() && text.back().isSpace())
            text.chop(1);
    }
    if (keep >= 0)
        table.Seek(keep);
    return text;
}

void TfDM::RequeryCodeTables()
{
    for (TpSQLQuery* q : {&tabMtc_to_Str, &tabTtc_to_Str, &tabSrvTc_to_Str, &tabSenTc_to_Str, &tabProTc_to_Str,
                          &tabTatc_to_Str})
        RequeryKeepingPosition(*q);
}

void TfDM::RelabelCodeTables()
{
    cvx::RelabelCodeTables(conMainConnection);
    RequeryCodeTables();
}

} // namespace cvx
