#include "weather_station.h"

#include "acquisition.h"
#include "measure_decode.h"

#include "devproto/commands.h"
#include "link/vbt_comms.h"
#include "platform/time_service.h"
#include "shell/catalogue.h"
#include "shell/logs.h"
#include "shell/safe_format.h"
#include "store/measure_store.h"
#include "store/sql_connection.h"
#include "store/sql_query.h"

#include <cmath>
#include <cstdlib>

namespace cvx {

namespace weather {

namespace {

constexpr Read LiveReads[SettingsIndex + 1] = {
    {0x0346, 2}, {0x03FB, 1}, {0x05E2, 3}, {0x0373, 2}, {0x0419, 1}, {0x0529, 2}, {0x052C, 1},
    {0x03A0, 2}, {0x03CE, 2}, {0x04B4, 3}, {0x0497, 3}, {0x04D2, 3}, {0x06B2, 10},
};

QByteArray le(qint64 value, int bytes)
{
    QByteArray out(bytes, '\0');
    for (int i = 0; i < bytes; ++i)
        out[i] = char((quint64(value) >> (8 * i)) & 0xFF);
    return out;
}

quint8 at(const QByteArray& data, int i) { return quint8(data[i]); }

qint64 temperature(const QByteArray& d) { return (Bcd(at(d, 1)) - 30) * 100 + Bcd(at(d, 0)); }
qint64 rain(const QByteArray& d) { return Bcd(at(d, 2)) * 10000 + Bcd(at(d, 1)) * 100 + Bcd(at(d, 0)); }

} // namespace

int Bcd(quint8 byte) { return (byte >> 4) * 10 + (byte & 0x0F); }

Read ReadOf(int index, int historyBlock)
{
    if (index >= 0 && index <= SettingsIndex)
        return LiveReads[index];
    const int address = HistoryBase + HistoryStride * historyBlock;
    return {address, std::min(WeatherStationState::HistoryBlockBytes, HistoryEnd - address)};
}

QByteArray ReadCommand(int index, int historyBlock)
{
    const Read r = ReadOf(index, historyBlock);
    return CmdReadWeatherMemory(r.address, r.count);
}

QByteArray SlotValue(int index, const QByteArray& d)
{
    if (index < 0 || index >= WeatherStationState::SlotCount || d.size() < LiveReads[index].count)
        return {};
    switch (index) {
    case 0: // T indoor
    case 3: // T outdoor
    case 7: // wind chill
    case 8: // dew point
        return le(temperature(d), 2);
    case 1: // H indoor
    case 4: // H outdoor
        return le(Bcd(at(d, 0)) * 10, 2);
    case 2: // pressure
        return le(qint64(Bcd(at(d, 2) & 0x0F)) * 1000000 + Bcd(at(d, 1)) * 10000 + Bcd(at(d, 0)) * 100, 4);
    case 5: // wind speed
        return le(RoundHalfEven(((at(d, 1) & 0x0F) * 256 + at(d, 0)) * 3.6), 2);
    case 6: // wind direction
        return le(at(d, 0) >> 4, 1);
    default: // rain of 1 h, 24 h, total
        return le(rain(d), 4);
    }
}

std::vector<quint8> UnpackNibbles(const QByteArray& buffer)
{
    std::vector<quint8> n(WeatherStationState::NibbleCount, 0);
    for (int i = 0; i < buffer.size() && 2 * i + 1 < int(n.size()); ++i) {
        n[2 * i] = quint8(buffer[i]) & 0x0F;
        n[2 * i + 1] = quint8(buffer[i]) >> 4;
    }
    return n;
}

namespace {

quint8 nibble(const std::vector<quint8>& n, int i) { return i >= 0 && i < int(n.size()) ? n[i] : 0; }

} // namespace

QByteArray RecordNibbles(const std::vector<quint8>& n, int k)
{
    QByteArray out(19, '\0');
    for (int i = 0; i < 19; ++i)
        out[i] = char(nibble(n, 19 * k + i));
    return out;
}

WeatherHistoryRecord DecodeHistoryRecord(const std::vector<quint8>& n, int k)
{
    quint32 c[10];
    for (int j = 0; j < 10; ++j)
        c[j] = nibble(n, 19 * k + 2 * j) | (nibble(n, 19 * k + 2 * j + 1) << 4);
    // The nineteenth nibble is the record's last; its neighbour belongs to the next record.
    c[9] &= 0x0F;
    WeatherHistoryRecord r;
    r.Packed = QByteArray(10, '\0');
    for (int j = 0; j < 10; ++j)
        r.Packed[j] = char(c[j]);
    const quint32 a = ((c[2] & 0x0F) << 16) + (c[1] << 8) + c[0];
    r.TIndoor = (a % 1000) / 10.0 - 30;
    r.TOutdoor = (a - a % 1000) / 10000.0 - 30;
    const quint32 b = (c[2] >> 4) + ((c[3] & 0x0F) << 4) + ((c[3] >> 4) << 8) + ((c[4] & 0x0F) << 12)
        + ((c[4] >> 4) << 16);
    r.Pressure = (b % 10000) / 10.0 + 1000;
    if (r.Pressure > 1500)
        r.Pressure -= 1000;
    r.HIndoor = double((b - b % 10000) / 10000);
    r.HOutdoor = Bcd(quint8(c[5]));
    r.RainCount = int(((c[7] & 0x0F) << 8) + c[6]);
    r.WindSpeed = ((c[7] >> 4) + ((c[8] & 0x0F) << 4) + ((c[8] >> 4) << 8)) / 10.0;
    r.WindDir = int(c[9] & 0x0F);
    return r;
}

QDateTime NewestRecordTime(const QByteArray& s)
{
    if (s.size() < 8)
        return {};
    const QDate date(2000 + Bcd(at(s, 7)), Bcd(at(s, 6)), Bcd(at(s, 5)));
    const QTime time(Bcd(at(s, 4)), Bcd(at(s, 3)));
    if (!date.isValid() || !time.isValid())
        return {};
    return QDateTime(date, time);
}

bool Plausible(const WeatherHistoryRecord& r, const WeatherHistoryRecord& last)
{
    return std::abs(r.TIndoor - last.TIndoor) < 20 && r.TIndoor > -40 && r.TIndoor < 45
        && std::abs(r.TOutdoor - last.TOutdoor) < 20 && r.TOutdoor > -40 && r.TOutdoor < 45
        && std::abs(r.HIndoor - last.HIndoor) < 40 && r.HIndoor > 5 && r.HIndoor < 100
        && std::abs(r.HOutdoor - last.HOutdoor) < 40 && r.HOutdoor > 10 && r.HOutdoor < 100;
}

} // namespace weather

// ------------------------------------------------------------------- the read cycle

bool Acquisition::weatherStep(TProbe& s, const QByteArray& a, QByteArray* synthesized)
{
    if (!s.Weather)
        s.Weather = std::make_shared<WeatherStationState>();
    WeatherStationState& w = *s.Weather;
    auto askNext = [&] {
        if (w.HistoryMode)
            w.ReadIndex = weather::HistoryIndex;
        else
            w.ReadIndex = (w.ReadIndex < 0 || w.ReadIndex >= weather::SettingsIndex) ? 0 : w.ReadIndex + 1;
        if (s.Link)
            s.Link->PollCmd = weather::ReadCommand(w.ReadIndex, w.HistoryBlock);
    };

    if (a.size() < 6)
        return false;
    if (a[5] != 0) {
        // A history block the station refused ends the download; the live cycle goes on.
        if (w.HistoryMode && w.ReadIndex == weather::HistoryIndex) {
            w.HistoryMode = false;
            askNext();
        }
        return false;
    }
    w.ReadIndex = -1;
    if (a.size() >= 8) {
        const int address = quint8(a[6]) | (quint8(a[7]) << 8);
        for (int i = 0; i <= weather::HistoryIndex; ++i) {
            if (weather::ReadOf(i, w.HistoryBlock).address == address) {
                w.ReadIndex = i;
                break;
            }
        }
    }
    const QByteArray data = a.mid(8);

    if (w.ReadIndex >= 0 && w.ReadIndex < weather::SettingsIndex) {
        const int count = weather::ReadOf(w.ReadIndex, 0).count;
        if (a.size() < 8 + count)
            return false;
        w.Slots[w.ReadIndex] = weather::SlotValue(w.ReadIndex, data.left(count));
    } else if (w.ReadIndex == weather::SettingsIndex) {
        if (a.size() < 18)
            return false;
        w.HistorySettings = data.left(10);
        LogLine(QStringLiteral("WS history settings: ") + HexDump(w.HistorySettings));
        w.HistoryInterval = quint8(w.HistorySettings[0]) + 256 * (quint8(w.HistorySettings[1]) & 0x0F) + 1;
        const QDateTime newest = weather::NewestRecordTime(w.HistorySettings);
        // No stored records, or no valid time: no download; the live cycle goes on.
        if (quint8(w.HistorySettings[9]) != 0 && newest.isValid()) {
            w.NewestHistoryTime = newest;
            w.HistoryMode = !w.LastHistoryTime.isValid() || w.NewestHistoryTime > w.LastHistoryTime;
            if (w.HistoryMode) {
                w.HistoryBlock = 0;
                w.HistoryBuffer = QByteArray(WeatherStationState::HistoryBlocks * WeatherStationState::HistoryBlockBytes,
                                             '\0');
            }
        }
    } else if (w.ReadIndex == weather::HistoryIndex && w.HistoryMode) {
        LogLine(QStringLiteral("WS history data #%1: ").arg(w.HistoryBlock) + HexDump(data));
        const int offset = w.HistoryBlock * WeatherStationState::HistoryBlockBytes;
        const QByteArray block = data.left(WeatherStationState::HistoryBlockBytes);
        w.HistoryBuffer.replace(offset, block.size(), block);
        ++w.HistoryBlock;
        w.HistoryMode = w.HistoryBlock < WeatherStationState::HistoryBlocks;
        if (!w.HistoryMode)
            importWeatherHistory(s);
    }

    askNext();

    for (const QByteArray& slot : w.Slots) {
        if (slot.isEmpty()) {
            s.LastMeasureTime = currentTime();
            return false;
        }
    }
    s.Progress = w.HistoryMode ? w.HistoryBlock * 100 / WeatherStationState::HistoryBlocks : 100;
    QByteArray answer(cmd::AITGD);
    for (const QByteArray& slot : w.Slots)
        answer += slot;
    *synthesized = answer;
    return true;
}

// ------------------------------------------------------------------ history import

void Acquisition::importWeatherHistory(TProbe& s)
{
    WeatherStationState& w = *s.Weather;
    w.Nibbles = weather::UnpackNibbles(w.HistoryBuffer);
    for (int k = 0; k < WeatherStationState::HistoryRecords; ++k)
        LogLine(SafeFormat(QStringLiteral("Rec#%.3d = %s"), k, DecimalDump(weather::RecordNibbles(w.Nibbles, k))));

    const int newestIndex = w.HistorySettings.size() > 8 ? quint8(w.HistorySettings[8]) : 0;
    const int stored = w.HistorySettings.size() > 9 ? quint8(w.HistorySettings[9]) : 0;
    w.HistoryIndex = newestIndex;
    w.HistoryCount = 0;
    w.HistoryTime = w.NewestHistoryTime;
    const bool storing = store_ && !loading_ && master();
    bool first = true;
    while (w.HistoryCount < stored && (!w.LastHistoryTime.isValid() || w.HistoryTime > w.LastHistoryTime)) {
        const WeatherHistoryRecord r = weather::DecodeHistoryRecord(w.Nibbles, w.HistoryIndex);
        if (first) {
            w.LastAccepted = r;
            first = false;
        }
        const QString line = SafeFormat(
            QStringLiteral("%s %s (%s/%s): %.1f / %.1f %s (%s/%s): %.1f / %.1f %s: %d %s: %.1f %s: %s [Rec#%.3d = %s]"),
            w.HistoryTime.toString(QStringLiteral("yyyy-MM-dd HH:mm")), Msg("labMeasureTypeCode1"), Msg("labIndoor"),
            Msg("labOutdoor"), r.TIndoor, r.TOutdoor, Msg("labMeasureTypeCode2"), Msg("labIndoor"), Msg("labOutdoor"),
            r.HIndoor, r.HOutdoor, Msg("labMeasureTypeCode16"), r.RainCount, Msg("labMeasureTypeCode10"), r.WindSpeed,
            Msg("labMeasureTypeCode11"), Msg(QStringLiteral("labWindDirName%1").arg(r.WindDir)), w.HistoryIndex,
            HexDump(r.Packed));
        if (weather::Plausible(r, w.LastAccepted)) {
            LogLine(line);
            w.LastAccepted = r;
            if (storing) {
                const std::pair<int, double> rows[] = {
                    {mtT, r.TIndoor},       {mtH, r.HIndoor},       {mtP, r.Pressure},
                    {mtTOutd, r.TOutdoor},  {mtHOutd, r.HOutdoor},  {mtWndSp, r.WindSpeed},
                    {mtWndDir, r.WindDir},  {mtRainTot, double(r.RainCount)},
                };
                // History rows are kept apart from LastRowIds: the next live answer
                // must not rewrite an imported record with its own value and time.
                for (const auto& [mt, value] : rows)
                    store_->StoreMeasure(QString::number(RoundHalfEven(value * measureType(mt).factor)), s.Id, mt,
                                         w.HistoryTime);
            }
        } else {
            LogLine(QStringLiteral("Eldobva: ") + line);
        }
        w.HistoryIndex = w.HistoryIndex == 0 ? WeatherStationState::HistoryRecords - 1 : w.HistoryIndex - 1;
        ++w.HistoryCount;
        w.HistoryTime = w.NewestHistoryTime.addSecs(-60LL * w.HistoryInterval * w.HistoryCount);
    }
    if (w.HistoryCount > 0)
        LogLine(Fmt("msgHistoryRecordsDownloaded", w.HistoryCount));

    w.LastHistoryTime = w.NewestHistoryTime;
    if (db_ && master()) {
        auto c = db_->NewCommand(QStringLiteral("update probe set WS_Hist_TS = :wsts where Probe_id = :prid"));
        c->SetParam(QStringLiteral("wsts"), w.LastHistoryTime);
        c->SetParam(QStringLiteral("prid"), s.Id);
        QString error;
        if (!c->Execute(nullptr, &error))
            LogLine(Fmt("errSavingWeatherHistoryTimeIs", error));
    }
}

} // namespace cvx
