#pragma once
// Weather stations behind a weather-station module (sensor type 12): their memory is
// read one area at a time ("CWSRM" address, count -> "AWSRM" status, address, data),
// the live values are assembled into the measurement data of sensor type 12, and the
// station's own history records are downloaded and imported.

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <array>
#include <vector>

namespace cvx {

struct WeatherHistoryRecord {
    double TIndoor = 0;
    double TOutdoor = 0;
    double Pressure = 0;
    double HIndoor = 0;
    double HOutdoor = 0;
    int RainCount = 0;
    double WindSpeed = 0;
    int WindDir = 0;
    QByteArray Packed; // the ten bytes the record was packed into
};

struct WeatherStationState {
    static constexpr int SlotCount = 12;
    static constexpr int HistoryBlocks = 6;
    static constexpr int HistoryBlockBytes = 300;
    static constexpr int HistoryRecords = 175;
    static constexpr int NibbleCount = 3601;

    int ReadIndex = -1;                       // the read asked for next; -1 before the first answer
    std::array<QByteArray, SlotCount> Slots;  // live values as their measurement-data bytes
    QByteArray HistorySettings;               // the ten bytes of the last settings read
    int HistoryInterval = 0;                  // minutes
    QDateTime NewestHistoryTime;
    QDateTime LastHistoryTime;                // newest history time already stored
    bool HistoryMode = false;                 // a history download is running
    int HistoryBlock = 0;
    QByteArray HistoryBuffer;                 // HistoryBlocks x HistoryBlockBytes
    std::vector<quint8> Nibbles;
    int HistoryIndex = 0;
    int HistoryCount = 0;
    QDateTime HistoryTime;
    WeatherHistoryRecord LastAccepted;
};

namespace weather {

constexpr int SettingsIndex = 12;
constexpr int HistoryIndex = 13;
constexpr int HistoryBase = 0x06C6;
constexpr int HistoryStride = 600;   // the station's memory counts in nibbles
constexpr int HistoryEnd = 0x13CF;

struct Read {
    int address;
    int count;
};

// Binary-coded decimal: high nibble tens, low nibble units.
int Bcd(quint8 byte);
// Read 0..13 (13: the history block given).
Read ReadOf(int index, int historyBlock);
QByteArray ReadCommand(int index, int historyBlock);
// The measurement-data bytes of live read 0..11 from its data bytes d0, d1, ...
// Empty when the data is too short.
QByteArray SlotValue(int index, const QByteArray& data);
// The history buffer as nibbles: nibble 2i is the low half of byte i, 2i+1 the high
// half; NibbleCount long, zero beyond the buffer.
std::vector<quint8> UnpackNibbles(const QByteArray& buffer);
// The nineteen nibbles of record k (for the log).
QByteArray RecordNibbles(const std::vector<quint8>& nibbles, int k);
WeatherHistoryRecord DecodeHistoryRecord(const std::vector<quint8>& nibbles, int k);
// Date and time of the newest history record in the settings (BCD minute, hour, day,
// month, year - 2000 in bytes 3..7); invalid when they are no date.
QDateTime NewestRecordTime(const QByteArray& settings);
// Whether a history record passes the filter against the last accepted one.
bool Plausible(const WeatherHistoryRecord& r, const WeatherHistoryRecord& last);

} // namespace weather

} // namespace cvx
