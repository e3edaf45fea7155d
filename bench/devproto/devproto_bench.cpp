// Instance-link codec throughput: a master pushes one message per sensor and measure
// type to every client after each polling cycle, and a client receives them in bursts.
#include "devproto/binary_params.h"
#include "devproto/device_info.h"
#include "devproto/instance_codec.h"

#include <QDateTime>
#include <benchmark/benchmark.h>

using namespace cvx;

namespace {

void fillPush(TCorvaluxProtocol& p, int id)
{
    p.FieldByName("CorvaluxID").SetAsInt(id);
    p.FieldByName("UtolsoMeresErtek").SetAsFloat(21.5 + id % 10);
    p.FieldByName("UtolsoMeresIdo").SetAsDateTime(QDateTime(QDate(2024, 5, 21), QTime(9, 29, 7, 365)));
    p.FieldByName("CorvaluxMerestipusID").SetAsInt(1 + id % 20);
    p.FieldByName("MeresErtekRogzitve").SetAsBool(true);
    p.FieldByName("Aktiv").SetAsBool(true);
    p.FieldByName("Online").SetAsBool(true);
}

} // namespace

// One value message built and encoded, as the push timer does per sensor and type.
static void BM_EncodePush(benchmark::State& state)
{
    TCorvaluxProtocol p;
    int id = 0;
    for (auto _ : state) {
        fillPush(p, ++id);
        benchmark::DoNotOptimize(p.EncodeWire(0));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EncodePush);

// A burst of N value messages arriving in 1460-byte segments, extracted and decoded
// with the typed reads a client does. Time per message must not grow with N.
static void BM_ReceiveBurst(benchmark::State& state)
{
    const int n = int(state.range(0));
    TCorvaluxProtocol sender;
    QByteArray burst;
    for (int i = 0; i < n; ++i) {
        fillPush(sender, i);
        burst += sender.EncodeWire(0);
    }
    for (auto _ : state) {
        TCorvaluxProtocol rx;
        qint64 sum = 0;
        for (qsizetype at = 0; at < burst.size(); at += 1460) {
            rx.AppendReceived(burst.mid(at, 1460));
            for (QString m = rx.ExtractReceived(); !m.isEmpty(); m = rx.ExtractReceived()) {
                rx.Decode(m);
                sum += rx.FieldByName("CorvaluxID").GetAsInt();
                benchmark::DoNotOptimize(rx.FieldByName("UtolsoMeresErtek").GetAsFloat());
                benchmark::DoNotOptimize(rx.FieldByName("UtolsoMeresIdo").GetAsDateTime());
            }
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * n);
    state.SetBytesProcessed(state.iterations() * burst.size());
}
BENCHMARK(BM_ReceiveBurst)->Arg(100)->Arg(1000)->Arg(10000);

// The whole burst in one append (a client that read late): still linear.
static void BM_ReceiveBurstOneRead(benchmark::State& state)
{
    const int n = int(state.range(0));
    TCorvaluxProtocol sender;
    QByteArray burst;
    for (int i = 0; i < n; ++i) {
        fillPush(sender, i);
        burst += sender.EncodeWire(0);
    }
    for (auto _ : state) {
        TCorvaluxProtocol rx;
        rx.AppendReceived(burst);
        int count = 0;
        for (QString m = rx.ExtractReceived(); !m.isEmpty(); m = rx.ExtractReceived())
            ++count;
        benchmark::DoNotOptimize(count);
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_ReceiveBurstOneRead)->Arg(1000)->Arg(10000)->Arg(100000);

// A peer that never ends its message, 1460 bytes at a time.
static void BM_EndlessMessage(benchmark::State& state)
{
    const QByteArray segment(1460, 'x');
    TCorvaluxProtocol rx;
    rx.AppendReceived("*\"value=");
    for (auto _ : state) {
        rx.AppendReceived(segment);
        benchmark::DoNotOptimize(rx.ExtractReceived());
    }
    state.SetBytesProcessed(state.iterations() * segment.size());
    state.counters["pending_max"] = double(TNewDravoProtocol::DefaultMaxPendingBytes);
}
BENCHMARK(BM_EndlessMessage);

static void BM_PackedDateTime(benchmark::State& state)
{
    const QDateTime dt(QDate(2024, 5, 21), QTime(9, 29, 7, 365));
    for (auto _ : state)
        benchmark::DoNotOptimize(DecodePackedDateTime(EncodePackedDateTime(dt)));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PackedDateTime);

BENCHMARK_MAIN();
