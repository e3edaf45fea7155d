// Benchmarks of the acquisition run with a Qt application object: the model's timers,
// sockets and database live on its event loop.

#include "shell/catalogue.h"

#include <QCoreApplication>

#include <benchmark/benchmark.h>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    cvx::Catalogue::instance().select(cvx::Catalogue::Hungarian);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
