// Frames encoded and decoded per second, VBT and VBTW, short and long payloads, and
// frames taken through a port link's receive processing (extraction, decoding,
// classification, delivery) on virtual time.
#include "link/vbt_comms.h"
#include "platform/manual_time_service.h"

#include <benchmark/benchmark.h>

#include <random>

using namespace cvx;

namespace {

// 10 bytes, and the payload that makes a frame of about 2000 bytes (a 2000-byte
// payload does not fit in the 2048-byte frame of either form).
constexpr int kShort = 10;
constexpr int kVbtLong = 1740;  // 1989 coded bytes, 2000-byte frame
constexpr int kVbtwLong = 1720; // 14 + 1720 bytes -> 1982 coded, 1985-byte frame

QByteArray payload(int n)
{
    std::mt19937 rng(1);
    QByteArray p(n, Qt::Uninitialized);
    for (char& c : p)
        c = char(rng() & 0xFF);
    return p;
}

TVBTProtocol framer(bool wide)
{
    TVBTProtocol p;
    p.VBTMode = wide ? PMVBTWOnly : PMVBTOnly;
    p.Cimzett = 250;
    p.Felado = wide ? 0x10005 : 5;
    p.CsomagSorszam = 7;
    p.Enable_ASYER = true;
    return p;
}

void encode(benchmark::State& state, bool wide)
{
    TVBTProtocol p = framer(wide);
    const QByteArray data = payload(int(state.range(0)));
    qint64 bytes = 0;
    for (auto _ : state) {
        p.CsomagSorszam = 7;
        QByteArray f = p.EncodeFrame(data);
        bytes += f.size();
        benchmark::DoNotOptimize(f);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(bytes);
}

void decode(benchmark::State& state, bool wide)
{
    TVBTProtocol p = framer(wide);
    const QByteArray frame = p.EncodeFrame(payload(int(state.range(0))));
    TVBTProtocol d;
    d.VBTMode = wide ? PMVBTWOnly : PMVBTOnly;
    for (auto _ : state) {
        QByteArray data = d.DecodeFrame(frame);
        benchmark::DoNotOptimize(data);
    }
    if (d.ErrorCode() != 0)
        state.SkipWithError("decode failed");
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * frame.size());
}

void BM_EncodeVbt(benchmark::State& s) { encode(s, false); }
void BM_DecodeVbt(benchmark::State& s) { decode(s, false); }
void BM_EncodeVbtw(benchmark::State& s) { encode(s, true); }
void BM_DecodeVbtw(benchmark::State& s) { decode(s, true); }

// A stream of 64 frames cut out and decoded.
void BM_ExtractAndDecodeStream(benchmark::State& state)
{
    TVBTProtocol p = framer(false);
    QByteArray stream;
    for (int i = 0; i < 64; ++i)
        stream += p.EncodeFrame(payload(int(state.range(0))));
    TVBTProtocol d;
    for (auto _ : state) {
        QByteArray buffer = stream;
        int n = 0;
        for (QByteArray f = d.ExtractFrame(buffer); !f.isEmpty(); f = d.ExtractFrame(buffer)) {
            benchmark::DoNotOptimize(d.DecodeFrame(f));
            ++n;
        }
        if (n != 64)
            state.SkipWithError("lost frames");
    }
    state.SetItemsProcessed(state.iterations() * 64);
    state.SetBytesProcessed(state.iterations() * stream.size());
}

// Fake line for the engine: accepts writes, feeds nothing by itself.
class NullTcp final : public TcpClient {
public:
    void setEvents(Events e) override { events = std::move(e); }
    void connectToHost(const QString&, quint16) override { events.connected(); }
    void close() override {}
    bool isConnected() const override { return true; }
    bool write(const QByteArray&, QString*) override { return true; }
    Events events;
};
class NullTransports final : public TransportFactory {
public:
    std::unique_ptr<SerialPort> createSerialPort() override { return nullptr; }
    std::unique_ptr<TcpClient> createTcpClient() override
    {
        auto t = std::make_unique<NullTcp>();
        last = t.get();
        return t;
    }
    NullTcp* last = nullptr;
};

// Unsolicited measurement frames from 8 devices through a port link to its clients.
void BM_EngineReceiveProcessing(benchmark::State& state)
{
    ManualTimeService time;
    NullTransports transports;
    TVBTComms port(time, &transports);
    port.Host = QStringLiteral("bench");
    port.SetActive(true);
    std::vector<std::unique_ptr<TVBTComms>> clients;
    qint64 delivered = 0;
    for (quint32 a = 1; a <= 8; ++a) {
        auto c = std::make_unique<TVBTComms>(time, &transports);
        c->PortOwner = &port;
        c->VBTAddress = a;
        c->OnRead = [&delivered](const QByteArray&, quint16, int) { ++delivered; };
        c->SetActive(true);
        clients.push_back(std::move(c));
    }
    QByteArray burst;
    for (quint32 a = 1; a <= 8; ++a) {
        TVBTProtocol p = framer(false);
        p.Felado = a;
        burst += p.EncodeFrame(QByteArray("AITGD") + payload(int(state.range(0))));
    }
    for (auto _ : state) {
        transports.last->events.received(burst);
        time.advance(1);
    }
    if (delivered != qint64(state.iterations()) * 8)
        state.SkipWithError("frames lost");
    state.SetItemsProcessed(state.iterations() * 8);
    state.SetBytesProcessed(state.iterations() * burst.size());
    clients.clear();
}

} // namespace

BENCHMARK(BM_EncodeVbt)->Arg(kShort)->Arg(kVbtLong);
BENCHMARK(BM_DecodeVbt)->Arg(kShort)->Arg(kVbtLong);
BENCHMARK(BM_EncodeVbtw)->Arg(kShort)->Arg(kVbtwLong);
BENCHMARK(BM_DecodeVbtw)->Arg(kShort)->Arg(kVbtwLong);
BENCHMARK(BM_ExtractAndDecodeStream)->Arg(kShort)->Arg(kVbtLong);
BENCHMARK(BM_EngineReceiveProcessing)->Arg(4)->Arg(200);

BENCHMARK_MAIN();
