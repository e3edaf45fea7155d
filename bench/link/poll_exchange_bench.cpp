// Poll exchanges per second between a port link polling 32 devices and the device
// simulator on loopback TCP: unthrottled, and with the simulator's line emulated at
// 115200 and 9600 baud. Real time, real sockets, the production Qt timers.
//
// The emulated line is a half-duplex bus: a request occupies it for bytes x 10 / baud
// before the device may answer, and the answer occupies it as long again. The line-rate
// limit is therefore (request + reply bytes) x 10 / baud per exchange, and
// ratio_exchange is the achieved rate against it (1.0 = the bus never idle);
// ratio_replies counts the replies alone, for comparison.
#include "../../tests/link/sensor_scenario.h"
#include "link/vbt_comms.h"
#include "platform/qt_time_service.h"
#include "vbtsim_process.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QThread>

#include <benchmark/benchmark.h>

using namespace cvx;

namespace {

constexpr int kDevices = 32;

int frameBytes(const QByteArray& payload)
{
    TVBTProtocol p;
    p.CsomagSorszam = 1;
    return int(p.EncodeFrame(payload).size());
}

// Runs the event loop as the program does: blocked until something happens.
void pump(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

void BM_PollExchanges(benchmark::State& state)
{
    const int baud = int(state.range(0));
    const int seconds = int(state.range(1));
    test::VbtsimProcess sim;
    if (!sim.start(test::sensorScenario(kDevices, 0, {}, baud))) {
        state.SkipWithError("vbtsim did not start");
        return;
    }
    QtTimeService time;
    TVBTComms port(time);
    port.Host = QStringLiteral("127.0.0.1");
    port.Port = sim.port(QStringLiteral("room"));
    port.Pollingolo = true;
    port.PollTimerInterval = 10; // rounds back to back: the line never waits for the timer
    port.SetActive(true);
    qint64 answers = 0;
    std::vector<std::unique_ptr<TVBTComms>> clients;
    for (int a = 1; a <= kDevices; ++a) {
        auto c = std::make_unique<TVBTComms>(time);
        c->PortOwner = &port;
        c->VBTAddress = quint32(a);
        c->OnRead = [&answers](const QByteArray& s, quint16, int) {
            if (s.startsWith("AITGD"))
                ++answers;
        };
        c->SetActive(true);
        clients.push_back(std::move(c));
    }
    pump(500); // connect and warm up
    if (!port.Connected()) {
        state.SkipWithError("not connected");
        return;
    }
    qint64 counted = 0;
    double elapsed = 0;
    for (auto _ : state) {
        const qint64 before = answers;
        QElapsedTimer t;
        t.start();
        pump(seconds * 1000);
        elapsed = double(t.nsecsElapsed()) / 1e9;
        counted = answers - before;
        state.SetIterationTime(elapsed);
    }
    const double rate = double(counted) / elapsed;
    const int request = frameBytes("c");
    const int reply = frameBytes(QByteArray("AITGD") + QByteArray(4, '\x01'));
    state.counters["exchanges_per_s"] = rate;
    state.counters["frame_bytes"] = request + reply;
    if (baud > 0) {
        state.counters["ratio_replies"] = rate * reply * 10.0 / baud;
        state.counters["ratio_exchange"] = rate * (request + reply) * 10.0 / baud;
    }
    clients.clear();
    port.SetActive(false);
}

} // namespace

// Arguments: baud (0 = unthrottled), seconds measured.
BENCHMARK(BM_PollExchanges)
    ->Args({0, 3})
    ->Args({115200, 3})
    ->Args({9600, 5})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
