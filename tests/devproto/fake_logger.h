#pragma once
// A data logger on virtual time behind the in-memory transport: it reads what the link
// engine writes, answers the record store and parameter memory commands within a
// millisecond, and can be told to answer something else or nothing at all.

#include "link_fixture.h"

#include "devproto/binary_params.h"
#include "devproto/commands.h"

#include <QDateTime>

#include <functional>
#include <map>
#include <optional>

namespace cvx::test {

inline QByteArray le32(qint64 v) { return IntToParam4(v); }

// A 21-byte record as the loggers of this system store it.
inline QByteArray loggerRecord(qint64 id, quint8 address = 5)
{
    QByteArray r = le32(id);
    r += EncodePackedDateTime(QDateTime(QDate(2024, 5, 21), QTime(9, 0)).addSecs(id * 10));
    r += 'g';
    r += char(address);
    r += '\0';
    for (int i = 0; i < 8; ++i)
        r += char((id + i) & 0xFF);
    return r;
}

struct DeviceRequest {
    qint64 tick = 0;
    QByteArray data;
    TInfo info = nem_kerek_nyugtat;
    int serial = 0;
};

class FakeLogger {
public:
    static constexpr quint32 Address = 249;

    explicit FakeLogger(FakeTransports& transports) : transports_(transports) {}

    // The record store: identifiers first..last (none when last is 0).
    void holdRecords(qint64 first, qint64 last)
    {
        records.clear();
        for (qint64 id = first; last > 0 && id <= last; ++id)
            records[id] = loggerRecord(id);
    }
    qint64 firstId() const { return records.empty() ? 0 : records.begin()->first; }
    qint64 lastId() const { return records.empty() ? 0 : records.rbegin()->first; }

    // Returns the answer payload for a request, or std::nullopt for the normal one; an
    // empty answer means silence (not even an acknowledgement).
    std::function<std::optional<QByteArray>(const QByteArray& request)> answerOverride;

    // Answers every new frame on the line.
    void pump()
    {
        FakeLine* line = transports_.line();
        if (!line)
            return;
        while (seen_ < line->writes.size()) {
            const FakeWrite w = line->writes[seen_++];
            TVBTProtocol d;
            d.VBTMode = PMDecodeBothEncodeVBT;
            const QByteArray data = d.DecodeFrame(w.bytes);
            if (d.ErrorCode() != 0 || d.Cimzett != Address || d.Info == pozitiv_nyugta)
                continue;
            requests.push_back({w.tick, data, d.Info, d.CsomagSorszam});
            std::optional<QByteArray> answer;
            if (answerOverride)
                answer = answerOverride(data);
            if (answer && answer->isEmpty())
                continue;
            if (d.Info == kerek_nyugtat)
                reply(QByteArray(), pozitiv_nyugta, d.CsomagSorszam);
            if (!answer)
                answer = execute(data);
            if (answer && !answer->isEmpty())
                reply(*answer, nem_kerek_nyugtat, d.CsomagSorszam);
        }
    }

    // Requests whose payload starts with the mnemonic.
    std::vector<DeviceRequest> requestsOf(const char* mnemonic) const
    {
        std::vector<DeviceRequest> out;
        for (const auto& r : requests)
            if (r.data.startsWith(mnemonic))
                out.push_back(r);
        return out;
    }
    // (first identifier, count) of every download request.
    std::vector<std::pair<qint64, int>> downloads() const
    {
        std::vector<std::pair<qint64, int>> out;
        for (const auto& r : requestsOf(cmd::CELDL))
            out.emplace_back(ParamToIntAt(r.data, 5, 4, IntSign::Unsigned), quint8(r.data.at(9)));
        return out;
    }

    std::map<qint64, QByteArray> records;
    QByteArray memory = QByteArray(4096, char(0xFF));
    std::vector<DeviceRequest> requests;
    int restarts = 0;

private:
    std::optional<QByteArray> execute(const QByteArray& data)
    {
        if (data.startsWith(cmd::CELST))
            return QByteArray(cmd::AELST) + le32(firstId()) + le32(lastId());
        if (data.startsWith(cmd::CELDL)) {
            const qint64 from = ParamToIntAt(data, 5, 4, IntSign::Unsigned);
            const int n = quint8(data.at(9));
            QByteArray out(cmd::AELDL);
            for (qint64 id = from; id < from + n; ++id)
                if (records.count(id))
                    out += records[id];
            return out.size() > 5 ? out : QByteArray(cmd::AERCM);
        }
        if (data.startsWith(cmd::CSYRE)) {
            const int addr = int(ParamToIntAt(data, 5, 2, IntSign::Unsigned));
            const int n = quint8(data.at(7));
            return QByteArray(cmd::ASYRE) + memory.mid(addr, n);
        }
        if (data.startsWith(cmd::CSYWE)) {
            const int addr = int(ParamToIntAt(data, 5, 2, IntSign::Unsigned));
            const int n = quint8(data.at(7));
            memory.replace(addr, n, data.mid(8, n));
            return QByteArray(cmd::ASYWE);
        }
        if (data.startsWith(cmd::CSYRS)) {
            ++restarts;
            return std::nullopt; // acknowledged when asked, never answered
        }
        return QByteArray(cmd::ASYER) + char(7);
    }

    void reply(const QByteArray& payload, TInfo info, int serial)
    {
        TVBTProtocol p;
        p.Cimzett = vbt::PcAddress;
        p.Felado = Address;
        p.Felado_rovid_cim = quint8(Address);
        p.Info = info;
        p.CsomagSorszam = quint8(serial);
        if (transports_.tcp)
            transports_.tcp->feed(p.EncodeFrame(payload));
    }

    FakeTransports& transports_;
    size_t seen_ = 0;
};

// A port link with the logger's client link, both on virtual time, and the logger.
class LoggerTest : public LinkTest {
protected:
    LoggerTest()
    {
        makeTcpPort();
        loggerLink = &addClient(FakeLogger::Address);
        port->SetActive(true);
        loggerLink->SetActive(true);
    }

    // Moves virtual time on in 1 ms steps, the logger answering as it goes.
    void run(int ms)
    {
        for (int i = 0; i < ms; ++i) {
            logger.pump();
            time.advance(1);
        }
        logger.pump();
    }
    // Runs until the predicate holds, at most maxMs of virtual time.
    bool runUntil(const std::function<bool()>& done, int maxMs = 20000)
    {
        for (int i = 0; i < maxMs && !done(); ++i) {
            logger.pump();
            time.advance(1);
        }
        return done();
    }

    FakeLogger logger{transports};
    TVBTComms* loggerLink = nullptr;
};

} // namespace cvx::test
