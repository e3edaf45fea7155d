// A recording process for the crash test: writes measurements as the acquisition does
// (new rows now and then, updates of the newest rows in between), one answer per
// event-loop turn, and prints every write once its transaction has committed:
//   C <Measure_id> <value>
// The test kills it with SIGKILL and checks that every printed write is in the database.

#include "platform/qt_time_service.h"
#include "shell/app_paths.h"
#include "shell/shell_state.h"
#include "store/data_module.h"

#include <QCoreApplication>
#include <QDateTime>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: store_crash_writer <connection string> <working folder>\n");
        return 2;
    }
    cvx::AppPaths::setHome(args[2]);
    cvx::QtTimeService time;
    cvx::TfDM dm(time);
    dm.conMainConnection.SQLLoggingDisabled = true;
    QString error;
    if (!dm.OpenMainConnection(args[1], &error)) {
        std::fprintf(stderr, "open: %s\n", qPrintable(error));
        return 1;
    }
    cvx::shellState().DbConnected = true;
    dm.Writer().AddCommitObserver([](const QList<cvx::CommittedWrite>& writes) {
        for (const cvx::CommittedWrite& w : writes)
            std::printf("C %lld %s\n", static_cast<long long>(w.id), qPrintable(w.storedValue));
        std::fflush(stdout);
    });

    constexpr int Sensors = 10;
    qint64 newest[Sensors][2] = {};
    qint64 counter = 0;
    qint64 turn = 0;
    const QDateTime start = QDateTime::currentDateTime();
    auto answer = time.createTimer(0, false, [&] {
        const int sensor = int(turn % Sensors);
        const bool record = (turn / Sensors) % 5 == 0;
        const QDateTime t = start.addMSecs(turn * 100);
        for (int type = 0; type < 2; ++type) {
            // Every value is larger than all before it, so a later write is recognisable.
            const QString value = QString::number(++counter);
            if (record || newest[sensor][type] == 0) {
                const qint64 id = dm.StoreMeasure(value, sensor + 1, type + 1, t);
                if (id > 0)
                    newest[sensor][type] = id;
            } else {
                dm.UpdateMeasureRow(newest[sensor][type], value, type + 1, sensor + 1, t);
            }
        }
        ++turn;
    });
    answer->start();
    std::printf("READY\n");
    std::fflush(stdout);
    return app.exec();
}
