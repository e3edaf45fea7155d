// One recording master under full load: the model loaded from a local database,
// vbtsim serving I TCP interfaces with S sensors each (types 4 and 5) at a 2000 ms poll
// interval, recording every 60 s and updating the newest rows in between. Real time,
// real sockets, the Qt event loop. Reports answers handled per second, the fraction of
// polls answered within their round, CPU per answer (this process and vbtsim), how late
// a 10 ms probe timer fires (the event loop's latency), resident memory and the time
// LoadAll takes.
//
// Seconds measured: CVX_BENCH_SECONDS (default 60), after CVX_BENCH_WARMUP (default 15).
// CVX_BENCH_SQL_FILTER=0 runs without the SQL log filter that keeps the measurement
// statements out of the SQL log.

#include "acquisition/acquisition.h"
#include "acquisition/probe_lists.h"
#include "platform/qt_time_service.h"
#include "shell/app_paths.h"
#include "shell/shell_state.h"
#include "store/connection_string.h"
#include "store/data_module.h"
#include "store/db_check.h"
#include "store/sql_query.h"
#include "vbtsim_process.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <algorithm>
#include <vector>

using namespace cvx;

namespace {

constexpr int PollIntervalMs = 2000;
constexpr int RecordingRateMs = 60'000;

int envInt(const char* name, int fallback)
{
    return qEnvironmentVariableIsSet(name) ? qEnvironmentVariableIntValue(name) : fallback;
}

double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double processCpuSeconds(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray stat = f.readAll();
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return 0;
    return double(fields[11].toLongLong() + fields[12].toLongLong()) / double(sysconf(_SC_CLK_TCK));
}

double statusKb(const char* key)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(int(qstrlen(key))).trimmed().split(' ').value(0).toDouble();
    return 0;
}

QByteArray scenario(int interfaces, int perInterface)
{
    QByteArray s = R"({"name": "fleet", "interfaces": [)";
    for (int i = 0; i < interfaces; ++i) {
        if (i)
            s += ',';
        s += QStringLiteral(R"({"name": "if%1", "protocol": "VBT", "tcp": {"port": 0}, "devices": [)").arg(i).toUtf8();
        for (int a = 1; a <= perInterface; ++a) {
            if (a > 1)
                s += ',';
            const int type = a % 2 ? 4 : 5;
            s += QStringLiteral(R"({"name": "d%1_%2", "address": %2, "type": %3, "values": {"T": {"curve": "sine", )"
                                R"("mean": 22, "amplitude": 2, "period": %4}, "H": 45.5%5}})")
                     .arg(i)
                     .arg(a)
                     .arg(type)
                     .arg(300 + a)
                     .arg(type == 5 ? QStringLiteral(R"(, "P": 1013.25)") : QString())
                     .toUtf8();
        }
        s += "]}";
    }
    s += "]}";
    return s;
}

// How late timers fire: a 10 ms one-shot timer re-armed at every firing.
class LatencyProbe {
public:
    LatencyProbe()
    {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setSingleShot(true);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            const qint64 late = clock_.nsecsElapsed() - expected_;
            if (recording_)
                lateNs_.push_back(std::max<qint64>(0, late));
            arm();
        });
        clock_.start();
        arm();
    }
    void record(bool on) { recording_ = on; }
    double percentileMs(double p)
    {
        if (lateNs_.empty())
            return 0;
        std::vector<qint64> v = lateNs_;
        const size_t k = std::min(v.size() - 1, size_t(p * double(v.size() - 1)));
        std::nth_element(v.begin(), v.begin() + qsizetype(k), v.end());
        return double(v[k]) / 1e6;
    }
    double maxMs() const
    {
        return lateNs_.empty() ? 0 : double(*std::max_element(lateNs_.begin(), lateNs_.end())) / 1e6;
    }
    size_t samples() const { return lateNs_.size(); }

private:
    void arm()
    {
        expected_ = clock_.nsecsElapsed() + 10'000'000;
        timer_.start(10);
    }
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 expected_ = 0;
    bool recording_ = false;
    std::vector<qint64> lateNs_;
};

void runFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

static void BM_Fleet(benchmark::State& state)
{
    const int interfaces = int(state.range(0));
    const int perInterface = int(state.range(1));
    const int sensors = interfaces * perInterface;
    const int seconds = envInt("CVX_BENCH_SECONDS", 60);
    const int warmup = envInt("CVX_BENCH_WARMUP", 15);

    for (auto _ : state) {
        QTemporaryDir dir;
        AppPaths::setHome(dir.path());
        if (envInt("CVX_BENCH_SQL_FILTER", 1) != 0) {
            // An installation keeps the measurement statements out of the SQL log.
            QFile filter(dir.filePath(QStringLiteral("SQLLog.filter")));
            filter.open(QIODevice::WriteOnly);
            filter.write("Measure\n");
        }
        resetShellState();
        shellState().MasterMode = true;
        shellState().LogFolder = dir.path();

        test::VbtsimProcess sim;
        if (!sim.start(scenario(interfaces, perInterface))) {
            state.SkipWithError("vbtsim did not start");
            return;
        }
        const QString conn = LocalConnectionString(dir.filePath(QStringLiteral("fleet.db")));
        QtTimeService time;
        CreateLocalDatabase(conn);
        auto dm = std::make_unique<TfDM>(time);
        if (!dm->OpenMainConnection(conn)) {
            state.SkipWithError("database did not open");
            return;
        }
        TpSQLConnection& c = dm->conMainConnection;
        c.BeginTransaction();
        for (int i = 0; i < interfaces; ++i) {
            auto cmd = c.NewCommand(QStringLiteral(
                "INSERT INTO Probe_type (Probe_type_id, Probe_type_name, Server_type_code, Protocol_type_code, IP, "
                "Port, Baudrate, Polling_interval, Probe_type_address, Is_used) VALUES (:id, :name, 2, 1, "
                "'127.0.0.1', :port, 115200, :interval, 1, 1)"));
            cmd->SetParam(QStringLiteral("id"), i + 1);
            cmd->SetParam(QStringLiteral("name"), QStringLiteral("if%1").arg(i));
            cmd->SetParam(QStringLiteral("port"), sim.port(QStringLiteral("if%1").arg(i)));
            cmd->SetParam(QStringLiteral("interval"), PollIntervalMs);
            cmd->Execute();
        }
        auto addSensor = c.NewCommand(QStringLiteral(
            "INSERT INTO Probe (Probe_id, Probe_name, Probe_type_id, Probe_address, Probe_is_used, Sensor_type_code, "
            "Recording_rate, Sampling_rate) VALUES (:id, :name, :iface, :address, 1, :type, :rate, :sampling)"));
        for (int i = 0; i < interfaces; ++i) {
            for (int a = 1; a <= perInterface; ++a) {
                const int id = i * perInterface + a;
                addSensor->SetParam(QStringLiteral("id"), id);
                addSensor->SetParam(QStringLiteral("name"), QStringLiteral("s%1").arg(id));
                addSensor->SetParam(QStringLiteral("iface"), i + 1);
                addSensor->SetParam(QStringLiteral("address"), a);
                addSensor->SetParam(QStringLiteral("type"), a % 2 ? 4 : 5);
                addSensor->SetParam(QStringLiteral("rate"), RecordingRateMs);
                addSensor->SetParam(QStringLiteral("sampling"), PollIntervalMs);
                addSensor->Execute();
            }
        }
        c.Commit();

        ProbeLists lists;
        auto acq = std::make_unique<Acquisition>(time, lists, nullptr);
        acq->SetDatabase(&c, dm.get());
        QElapsedTimer load;
        load.start();
        acq->LoadAll();
        const double loadSeconds = double(load.elapsed()) / 1000.0;
        if (int(lists.Sensors.size()) != sensors) {
            state.SkipWithError("not every sensor loaded");
            return;
        }
        qint64 inRound = 0;
        qint64 late = 0;
        bool counting = false;
        acq->AddViewObserver([&](TProbe& s, bool, qint64 period) {
            if (!counting)
                return;
            if (s.MeasureGap <= period * 3 / 2)
                ++inRound;
            else
                ++late;
        });
        LatencyProbe probe;
        acq->StartAll();

        runFor(warmup * 1000);
        counting = true;
        probe.record(true);
        dm->Writer().ResetStatistics();
        const qint64 answers0 = acq->AnswersHandled();
        const qint64 rows0 = dm->Writer().CommittedWrites();
        const double cpu0 = cpuSeconds();
        const double simCpu0 = processCpuSeconds(sim.process().processId());
        QElapsedTimer wall;
        wall.start();
        runFor(seconds * 1000);
        const double elapsed = double(wall.elapsed()) / 1000.0;
        const double cpu = cpuSeconds() - cpu0;
        const double simCpu = processCpuSeconds(sim.process().processId()) - simCpu0;
        const qint64 answers = acq->AnswersHandled() - answers0;
        const qint64 rows = dm->Writer().CommittedWrites() - rows0;
        probe.record(false);
        counting = false;

        const double expected = double(sensors) * elapsed * 1000.0 / PollIntervalMs;
        state.counters["answers_per_s"] = double(answers) / elapsed;
        state.counters["answered_fraction"] = double(answers) / expected;
        state.counters["in_round_fraction"] = double(inRound) / double(std::max<qint64>(1, inRound + late));
        state.counters["cpu_us_per_answer"] = cpu * 1e6 / double(std::max<qint64>(1, answers));
        state.counters["cpu_cores"] = cpu / elapsed;
        state.counters["vbtsim_cpu_cores"] = simCpu / elapsed;
        state.counters["loop_late_p50_ms"] = probe.percentileMs(0.5);
        state.counters["loop_late_p99_ms"] = probe.percentileMs(0.99);
        state.counters["loop_late_p999_ms"] = probe.percentileMs(0.999);
        state.counters["loop_late_max_ms"] = probe.maxMs();
        state.counters["rss_mb"] = statusKb("VmRSS:") / 1024.0;
        state.counters["rss_peak_mb"] = statusKb("VmHWM:") / 1024.0;
        state.counters["load_all_s"] = loadSeconds;
        state.counters["rows_per_s"] = double(rows) / elapsed;
        state.counters["longest_commit_ms"] = double(dm->Writer().LongestCommitMs());
        state.counters["longest_write_ms"] = double(dm->Writer().LongestWriteMs());

        acq.reset();
        dm.reset();
        AppPaths::setHome(QString());
        resetShellState();
    }
}
BENCHMARK(BM_Fleet)->Args({100, 50})->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_Fleet)->Args({10, 50})->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
