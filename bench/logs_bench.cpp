// Lines per second through TNaplo: every communication and SQL log line goes this way.
#include "shell/logs.h"

#include <QTemporaryDir>
#include <benchmark/benchmark.h>

static void BM_NaploWrite(benchmark::State& state)
{
    QTemporaryDir dir;
    cvx::TNaplo log;
    log.LogFile = dir.filePath("bench.log");
    log.Logging = true;
    log.LogLimit = state.range(0);
    const QString line = QStringLiteral("c   250->  1 #  17 0063 ok  (poll)  00 01 02 03 04 05 06 07");
    for (auto _ : state)
        log.Write(line);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NaploWrite)->Arg(50'000'000)->Arg(100'000);

BENCHMARK_MAIN();
