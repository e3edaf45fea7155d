#pragma once
// A weather-station module: it gives the computer read access (CWSRM) to the memory of
// the weather station behind it. The station's memory is addressed in nibbles; its live
// values are binary-coded decimal at fixed addresses and it keeps a ring of 175 history
// records of 19 nibbles, with a settings area telling the interval, the newest record's
// time and index and how many are stored. The station adds a history record every
// interval on its own.

#include "curve.h"
#include "device.h"

#include <QMap>
#include <QVector>

namespace cvx::vbtsim {

class WeatherDevice : public Device {
public:
    static constexpr int MemoryNibbles = 0x1800;
    static constexpr int HistorySettings = 0x06B2;
    static constexpr int HistoryStart = 0x06C6;
    static constexpr int HistoryRecords = 175;
    static constexpr int RecordNibbles = 19;

    WeatherDevice(SimContext& ctx, JsonReader& cfg);
    ~WeatherDevice() override;
    QString kindName() const override { return QStringLiteral("weather-station module"); }
    void start() override;

    // Station memory as CWSRM reads it: count bytes from a nibble address, two nibbles
    // to a byte (the lower address in the low half). Live values are those of now.
    QByteArray readMemory(int nibbleAddress, int count);
    // Adds a history record of the values at the station clock's present minute.
    void addHistoryRecord();
    int historyCount() const { return historyCount_; }
    int newestIndex() const { return newestIndex_; }

    std::optional<QByteArray> dataAt(double seconds) const override;
    QString setValue(const QString& key, const QString& text) override;
    QString runCommand(const QString& verb, const QStringList& args, QStringList* out) override;
    QStringList statusLines() const override;

protected:
    std::optional<Outcome> executeOwn(const QByteArray& payload, const QByteArray& mnemonic,
                                      const ReplyRoute& route) override;

private:
    std::optional<double> value(int measure, double seconds) const;
    void writeLive(double seconds);
    void writeRecord(int index, double seconds);
    void writeSettings();
    void putDigits(int address, qint64 value, int digits);
    void putBinary(int address, quint32 value, int nibbles);

    QMap<int, Curve> curves_;
    QVector<quint8> nibbles_;
    int intervalMinutes_ = 30;
    int historyCount_ = 0;
    int newestIndex_ = -1;
    QDateTime newestTime_;
    std::unique_ptr<Timer> historyTimer_;
};

} // namespace cvx::vbtsim
