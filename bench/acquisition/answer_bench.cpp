// The cost of one answer: decoding, window, derived values, recording every 60 s and
// updates of the newest rows in between; without a store, and into a local database.

#include "acquisition/acquisition.h"
#include "acquisition/probe_lists.h"
#include "platform/manual_time_service.h"
#include "shell/app_paths.h"
#include "shell/config_file.h"
#include "shell/shell_state.h"
#include "store/connection_string.h"
#include "store/data_module.h"
#include "store/db_check.h"

#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

using namespace cvx;

namespace {

QByteArray answerFor(int i)
{
    QByteArray a("AITGD");
    const int t = 2000 + (i % 200);
    const int h = 450 + (i % 50);
    a += char(t & 0xFF);
    a += char(t >> 8);
    a += char(h & 0xFF);
    a += char(h >> 8);
    return a;
}

struct Model {
    Model(int sensors, bool database, bool sqlLogFilter = true)
    {
        AppPaths::setHome(dir.path());
        // The filter an installation keeps the measurement statements out of the SQL log with.
        if (sqlLogFilter) {
            QFile filter(dir.filePath(QStringLiteral("SQLLog.filter")));
            if (filter.open(QIODevice::WriteOnly))
                filter.write("Measure\n");
        }
        shellState().MasterMode = true;
        shellState().LogFolder = dir.path();
        acq = std::make_unique<Acquisition>(time, lists, nullptr);
        if (database) {
            const QString conn = LocalConnectionString(dir.filePath(QStringLiteral("bench.db")));
            CreateLocalDatabase(conn);
            dm = std::make_unique<TfDM>(time);
            dm->OpenMainConnection(conn);
            acq->SetDatabase(&dm->conMainConnection, dm.get());
        }
        IniInterfaceEntry ie;
        ie.number = 1;
        ie.name = QStringLiteral("bench");
        ie.ip = QStringLiteral("127.0.0.1");
        ie.interval = 2000;
        auto iface = std::make_unique<TProbe>();
        acq->LoadInterfaceFromIni(*iface, ie);
        lists.Interfaces.push_back(std::move(iface));
        for (int i = 1; i <= sensors; ++i) {
            IniSensorEntry se;
            se.number = i;
            se.name = QStringLiteral("s%1").arg(i);
            se.interfaceNumber = 1;
            se.type = 4;
            se.address = 1 + i % 249;
            auto s = std::make_unique<TProbe>();
            acq->LoadSensorFromIni(*s, se);
            s->RecordingRate = 60'000;
            lists.Sensors.push_back(std::move(s));
        }
    }
    ~Model()
    {
        acq.reset();
        dm.reset();
        resetShellState();
        AppPaths::setHome(QString());
    }

    QTemporaryDir dir;
    ManualTimeService time;
    ProbeLists lists;
    std::unique_ptr<TfDM> dm;
    std::unique_ptr<Acquisition> acq;
};

// Every sensor answers once per 2 s round: virtual time moves by 2000 / N per answer,
// so the temperature windows fill to their steady size (3600 items at 120 minutes).
void run(benchmark::State& state, bool database)
{
    const int sensors = int(state.range(0));
    Model m(sensors, database, state.range(1) != 0);
    const qint64 step = std::max<qint64>(1, 2000 / sensors);
    // Warm up: two hours of answers for the first sensors' windows (CVX_BENCH_WARMUP_ROUNDS
    // shortens it for profiling runs).
    const int rounds = qEnvironmentVariableIsSet("CVX_BENCH_WARMUP_ROUNDS")
        ? qEnvironmentVariableIntValue("CVX_BENCH_WARMUP_ROUNDS")
        : 3600;
    int i = 0;
    for (; i < rounds * std::min(sensors, 50); ++i) {
        m.acq->HandleAnswer(*m.lists.Sensors[size_t(i % sensors)], answerFor(i), 0);
        if (i % sensors == 0)
            m.time.advance(2000);
    }
    for (auto _ : state) {
        m.acq->HandleAnswer(*m.lists.Sensors[size_t(i % std::min(sensors, 50))], answerFor(i), 0);
        ++i;
        m.time.advance(step);
    }
    if (m.dm)
        m.dm->FlushMeasurements();
    state.SetItemsProcessed(state.iterations());
    if (m.dm)
        state.counters["rows_written"] = double(m.dm->Writer().CommittedWrites());
}

} // namespace

static void BM_HandleAnswer_NoStore(benchmark::State& state) { run(state, false); }
BENCHMARK(BM_HandleAnswer_NoStore)->Args({50, 1})->Unit(benchmark::kMicrosecond);

static void BM_HandleAnswer_LocalDatabase(benchmark::State& state) { run(state, true); }
// Second argument: the SQL log filter keeps measurement statements out of the SQL log (1) or not (0).
BENCHMARK(BM_HandleAnswer_LocalDatabase)->Args({50, 1})->Args({50, 0})->Unit(benchmark::kMicrosecond);

// Resident memory a sensor needs once its temperature window (two hours at a 2 s poll:
// 3600 items) and its recent values (99 sets) are full, measured over 5000 sensors.
static void BM_SteadyStateMemoryPerSensor(benchmark::State& state)
{
    const auto rssKb = [] {
        QFile f(QStringLiteral("/proc/self/status"));
        if (!f.open(QIODevice::ReadOnly))
            return 0.0;
        for (const QByteArray& line : f.readAll().split('\n'))
            if (line.startsWith("VmRSS:"))
                return line.mid(6).trimmed().split(' ').value(0).toDouble();
        return 0.0;
    };
    const int sensors = int(state.range(0));
    for (auto _ : state) {
        const double before = rssKb();
        std::vector<std::unique_ptr<TProbe>> probes;
        probes.reserve(size_t(sensors));
        const QDateTime t0 = QDateTime::fromMSecsSinceEpoch(1'716'000'000'000LL, Qt::OffsetFromUTC, 7200);
        for (int i = 0; i < sensors; ++i) {
            auto p = std::make_unique<TProbe>();
            for (int k = 0; k < 3600; ++k) {
                const QDateTime t = t0.addMSecs(2000LL * k);
                p->TempWindow.Add(t, 20.0 + (k % 100) / 100.0, t, 120);
            }
            for (int k = 0; k < TProbe::RecentLimit; ++k)
                p->Recent.push_front(p->Values);
            probes.push_back(std::move(p));
        }
        const double after = rssKb();
        state.counters["kb_per_sensor"] = (after - before) / sensors;
        state.counters["mb_total"] = (after - before) / 1024.0;
    }
}
BENCHMARK(BM_SteadyStateMemoryPerSensor)->Arg(5000)->Iterations(1)->Unit(benchmark::kSecond);
