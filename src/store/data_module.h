#pragma once
// The data module: the main database connection, the fixed data sets the program
// reads, the settings tables, and the measurement rows (written in short transactions
// by the measurement writer, enciphered when the database has a password).

#include "store/measure_store.h"
#include "store/measure_writer.h"
#include "store/sql_connection.h"
#include "store/sql_query.h"

#include <QVariant>

#include <functional>
#include <memory>

namespace cvx {

class TimeService;
class Timer;
class WalCheckpointer;

class TfDM : public MeasureStore {
public:
    explicit TfDM(TimeService& time);
    ~TfDM() override;
    TfDM(const TfDM&) = delete;
    TfDM& operator=(const TfDM&) = delete;

    // The data module of the process (the last one created), or nullptr.
    static TfDM* instance();

    TpSQLConnection conMainConnection;

    // --- connection life (the shell's start, stop and reset sequences)
    // Closes the main connection, opens it with the string, sets UsingJet, reopens the
    // last-id query and the six code tables and reads the database password.
    bool OpenMainConnection(const QString& connectionString, QString* error = nullptr);
    // Commits what the writer holds, then closes. Writes that cannot be stored are
    // reported ("errMeasurementsLost").
    void CloseMainConnection();
    // Closes and reopens the main connection after a failed write and writes the
    // measurements kept meanwhile. Logs "ResetConnection: ..." and sets DbConnected.
    bool ResetConnection();
    // What a failed measurement write runs (default: ResetConnection). A replacement
    // must end by calling ResetConnection. Failing resets are retried every RetryMs.
    void SetResetHandler(std::function<bool()> handler);
    static constexpr int RetryMs = 10000;
    // DataSourceName and DatabaseName of the shell state.
    void SetUpNameStrs();
    // Reads "DBPasswd"; encryption is in use when the result is not empty.
    bool ReadDbPassword();
    const QString& DbPassword() const { return dbPassword_; }

    // --- settings on the main connection
    QString ReadGlobalSetting(const QString& key);
    void WriteGlobalSetting(const QString& key, const QString& value);
    QString ReadUserSetting(const QString& key);
    void WriteUserSetting(const QString& key, const QString& value, bool deleteFirst);
    // First field of the first row of the query with its first parameter set; the
    // default when there is no row or on error (logged "msgSQLErrorOccured").
    QVariant QueryValue(const QString& sql, const QVariant& parameter, const QVariant& defaultValue);

    // --- measurement rows (MeasureStore); all give 0 while RecordingSuspended
    qint64 StoreMeasure(const QString& valueText, int probeId, int measureTypeCode, const QDateTime& time) override;
    qint64 AddMeasureRow(const QString& valueText, int probeId, int measureTypeCode, const QDateTime& time) override;
    void UpdateMeasureRow(qint64 measureId, const QString& valueText, int measureTypeCode, int probeId) override;
    void UpdateMeasureRow(qint64 measureId, const QString& valueText, int measureTypeCode, int probeId,
                          const QDateTime& time) override;
    bool EncryptionInUse() const override { return !dbPassword_.isEmpty(); }
    QString PlainMeasureValue(qint64 measureId, const QString& storedValue, bool* ok = nullptr) const override;
    MeasureWriter& Writer() { return *writer_; }
    // The thread that checkpoints the local file's write-ahead log (null on a server).
    WalCheckpointer* Checkpointer() { return checkpointer_.get(); }
    // Commits the writer's open batch now; true when nothing is left unstored.
    bool FlushMeasurements() { return writer_->Flush(); }

    // --- data-logger staging (record download)
    bool AddTmpMeasure(int probeTypeId, const QString& valueText, int probeId, int measureTypeCode,
                       const QDateTime& time);
    bool UpdateFlashLast(int probeTypeId, qint64 lastRecId, const QString& lastRec);

    // --- fixed data sets of the main connection (opened by their users unless noted)
    TpSQLQuery qProbe_type;      // SELECT * FROM Probe_type
    TpSQLQuery qProbe;           // SELECT * FROM Probe
    TpSQLQuery qProbe_detail;    // sensors of one interface (:Probe_type_id)
    TpSQLQuery qProbe2;          // free query
    TpSQLQuery qTask;            // SELECT * FROM Task
    TpSQLQuery qEvent;           // events with their threshold values and types
    TpSQLQuery qThreshold;       // select * from Threshold
    TpSQLQuery qThreshold_list;  // select * from Threshold_list
    TpSQLQuery qLastMeasureID;   // opened with the connection
    TpSQLQuery qMeasureQuery;    // set by the export
    TpSQLQuery qWorkQuery2;
    // The six code tables, opened with the connection.
    TpSQLQuery tabMtc_to_Str, tabTtc_to_Str, tabSrvTc_to_Str, tabSenTc_to_Str, tabProTc_to_Str, tabTatc_to_Str;
    // Text of a code in one of the code tables (trailing blanks removed); empty when absent.
    static QString CodeText(TpSQLQuery& table, int code);
    void RequeryCodeTables();
    // Relabels the code tables in the current language, then requeries them.
    void RelabelCodeTables();

private:
    void reopenFixedSets();
    void afterOpen();
    void onWriteFailure(const char* key, const QString& error);
    void tryReset();

    TimeService& time_;
    std::unique_ptr<MeasureWriter> writer_;
    std::unique_ptr<TpSQLCommand> cmdAddTmpMeasure_;
    std::unique_ptr<TpSQLCommand> cmdUpdateFlashLast_;
    std::unique_ptr<Timer> retryTimer_;
    std::unique_ptr<WalCheckpointer> checkpointer_;
    std::function<bool()> resetHandler_;
    QString dbPassword_;
};

} // namespace cvx
