#pragma once
// What the acquisition needs from the data store: new Measure rows and updates of the
// newest ones. The data module implements it; tests of other layers may fake it.

#include <QDateTime>
#include <QString>

namespace cvx {

class MeasureStore {
public:
    virtual ~MeasureStore() = default;

    // Stores one measurement (value text = decimal raw value). Returns the new row's
    // Measure_id, or 0 when recording is suspended, the row could not be written at once
    // (it is kept and written when the database is back), or the value is enciphered
    // (so the caller never rewrites that row with a plain value).
    virtual qint64 StoreMeasure(const QString& valueText, int probeId, int measureTypeCode,
                                const QDateTime& time) = 0;
    // Inserts a row with the value as given; the new Measure_id or 0.
    virtual qint64 AddMeasureRow(const QString& valueText, int probeId, int measureTypeCode,
                                 const QDateTime& time) = 0;
    // Rewrites the row (the newest row of a measure type between two stored measurements).
    virtual void UpdateMeasureRow(qint64 measureId, const QString& valueText, int measureTypeCode,
                                  int probeId) = 0;
    virtual void UpdateMeasureRow(qint64 measureId, const QString& valueText, int measureTypeCode, int probeId,
                                  const QDateTime& time) = 0;

    // Values are enciphered (the database has a password).
    virtual bool EncryptionInUse() const = 0;
    // A stored Measure_value as plain text (deciphered when encryption is in use);
    // ok false when it does not decipher (readers treat the row as missing).
    virtual QString PlainMeasureValue(qint64 measureId, const QString& storedValue, bool* ok = nullptr) const = 0;

    // The last data-logger record stored for an interface, kept in the same transaction
    // as the rows of that record; false when the store cannot do so (the caller writes
    // it itself).
    virtual bool StoreLoggerRecordPointer(int probeTypeId, qint64 lastRecId) { return false; }
    // The rows and the pointer of one logger record commit together.
    virtual void BeginAtomicGroup() {}
    virtual void EndAtomicGroup() {}
};

// Keeps the writes of one scope in one transaction.
class AtomicWriteGroup {
public:
    explicit AtomicWriteGroup(MeasureStore* store) : store_(store)
    {
        if (store_)
            store_->BeginAtomicGroup();
    }
    ~AtomicWriteGroup()
    {
        if (store_)
            store_->EndAtomicGroup();
    }
    AtomicWriteGroup(const AtomicWriteGroup&) = delete;
    AtomicWriteGroup& operator=(const AtomicWriteGroup&) = delete;

private:
    MeasureStore* store_;
};

} // namespace cvx
