// vbtsim: serves simulated measuring devices over TCP or a serial line, from a scenario
// file, with faults that can be switched on and off while it runs.

#include "control_server.h"
#include "endpoints.h"
#include "json_reader.h"
#include "platform/qt_time_service.h"
#include "platform/unix_signals.h"
#include "sim_log.h"
#include "simulator.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>
#include <memory>
#include <vector>

using namespace cvx;
using namespace cvx::vbtsim;

namespace {

void out(const QString& line)
{
    const QByteArray utf8 = line.toUtf8() + '\n';
    std::fwrite(utf8.constData(), 1, size_t(utf8.size()), stdout);
    std::fflush(stdout);
}

void err(const QString& line)
{
    const QByteArray utf8 = QStringLiteral("vbtsim: %1\n").arg(line).toUtf8();
    std::fwrite(utf8.constData(), 1, size_t(utf8.size()), stderr);
    std::fflush(stderr);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vbtsim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(CVX_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Serves simulated measuring devices (VBT, VBTW and DOV) over TCP or a serial line, as a\n"
        "scenario file describes them. Prints \"listening NAME port N\" for every TCP interface,\n"
        "\"serial NAME PATH\" for every serial one and \"ready\" when it serves."));
    parser.addHelpOption();
    parser.addVersionOption();
    QCommandLineOption controlOpt(QStringLiteral("control"),
                                  QStringLiteral("Line-based control channel on 127.0.0.1:PORT (0: a free port)."),
                                  QStringLiteral("PORT"));
    QCommandLineOption logOpt(QStringLiteral("log"), QStringLiteral("Also write the log to FILE."), QStringLiteral("FILE"));
    QCommandLineOption verboseOpt(QStringLiteral("verbose"), QStringLiteral("Log every frame received and sent."));
    QCommandLineOption checkOpt(QStringLiteral("check"), QStringLiteral("Check the scenario file and exit."));
    QCommandLineOption quietOpt(QStringLiteral("quiet"), QStringLiteral("Write the log only to the --log file."));
    parser.addOptions({controlOpt, logOpt, verboseOpt, checkOpt, quietOpt});
    parser.addPositionalArgument(QStringLiteral("SCENARIO"), QStringLiteral("The scenario file (JSON)."));
    parser.process(app);

    const QStringList args = parser.positionalArguments();
    if (args.size() != 1) {
        err(QStringLiteral("give exactly one scenario file (see --help)"));
        return 2;
    }

    QtTimeService time;
    SimLog log(time);
    log.setVerbose(parser.isSet(verboseOpt));
    log.setEchoToStderr(!parser.isSet(quietOpt));
    if (parser.isSet(logOpt)) {
        QString error;
        if (!log.openFile(parser.value(logOpt), &error)) {
            err(QStringLiteral("cannot open the log file %1: %2").arg(parser.value(logOpt), error));
            return 2;
        }
    }

    Simulator sim(time, log);
    try {
        sim.loadFile(args.first());
    } catch (const ScenarioError& e) {
        err(QStringLiteral("%1: %2").arg(args.first(), e.text()));
        return 2;
    }
    if (parser.isSet(checkOpt)) {
        int devices = 0;
        for (const auto& i : sim.interfaces())
            devices += int(i->devices().size());
        out(QStringLiteral("scenario %1 is valid: %2 interface(s), %3 device(s)")
                .arg(sim.scenarioName())
                .arg(sim.interfaces().size())
                .arg(devices));
        return 0;
    }

    std::vector<std::unique_ptr<QObject>> endpoints;
    for (const auto& iface : sim.interfaces()) {
        QString error;
        if (iface->endpoint().serial) {
            auto e = std::make_unique<SerialEndpoint>(*iface, log, time);
            if (!e->open(&error)) {
                err(QStringLiteral("interface %1: cannot open %2: %3").arg(iface->name(), iface->endpoint().path, error));
                return 3;
            }
            out(QStringLiteral("serial %1 %2").arg(iface->name(), iface->endpoint().path));
            endpoints.push_back(std::move(e));
        } else {
            auto e = std::make_unique<TcpEndpoint>(*iface, log);
            if (!e->listen(&error)) {
                err(QStringLiteral("interface %1: cannot listen on %2:%3: %4")
                        .arg(iface->name(), iface->endpoint().host)
                        .arg(iface->endpoint().port)
                        .arg(error));
                return 3;
            }
            out(QStringLiteral("listening %1 port %2").arg(iface->name()).arg(e->port()));
            endpoints.push_back(std::move(e));
        }
    }

    std::unique_ptr<ControlServer> control;
    if (parser.isSet(controlOpt)) {
        bool ok = false;
        const int port = parser.value(controlOpt).toInt(&ok);
        QString error;
        control = std::make_unique<ControlServer>(sim);
        if (!ok || port < 0 || port > 65535 || !control->listen(quint16(port), &error)) {
            err(QStringLiteral("cannot open the control channel on port %1: %2").arg(parser.value(controlOpt), error));
            return 3;
        }
        QObject::connect(control.get(), &ControlServer::quitRequested, &app, &QCoreApplication::quit,
                         Qt::QueuedConnection);
        out(QStringLiteral("listening control port %1").arg(control->port()));
    }

    UnixSignalWatcher signals([&](int) {
        log.info(QStringLiteral("stopping on a signal"));
        QCoreApplication::quit();
    });

    sim.start();
    log.info(QStringLiteral("scenario %1 served").arg(sim.scenarioName()));
    out(QStringLiteral("ready"));
    const int rc = app.exec();
    endpoints.clear();
    return rc;
}
