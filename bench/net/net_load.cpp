// Load run of the instance networking on loopback: a master with its status page, many
// client instances in a second process, and an HTTP load from wrk, all at once and for
// a bounded time. Every polling cycle measures every sensor and arms the push; the
// clients check that every push arrives whole and how long after the measurement.
//
//   bench_net_load [--clients 50] [--sensors 100] [--seconds 30] [--cycle-ms 3000]
//                  [--http-rate 200] [--wrk-connections 10]
//
// Prints key=value lines; exits 0 when no message was lost, every page was whole and
// every push left the master and reached the first client within 2500 ms of its
// measurement.

#include "acquisition/probe_lists.h"
#include "net/client_link.h"
#include "net/master_link.h"
#include "net/net_sockets.h"
#include "net/web_status.h"
#include "platform/qt_time_service.h"
#include "shell/catalogue.h"
#include "shell/logs.h"
#include "shell/shell_state.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <map>

using namespace cvx;

namespace {

struct Options {
    int clients = 50;
    int sensors = 100;
    int seconds = 30;
    int cycleMs = 3000;
    int httpRate = 200;
    int wrkConnections = 10;
    quint16 port = 0;       // client mode
    bool clientMode = false;
};

Options parse(const QStringList& a)
{
    Options o;
    for (int i = 1; i + 1 < a.size(); ++i) {
        const QString& k = a[i];
        const int v = a[i + 1].toInt();
        if (k == QLatin1String("--clients")) o.clients = v;
        else if (k == QLatin1String("--sensors")) o.sensors = v;
        else if (k == QLatin1String("--seconds")) o.seconds = v;
        else if (k == QLatin1String("--cycle-ms")) o.cycleMs = v;
        else if (k == QLatin1String("--http-rate")) o.httpRate = v;
        else if (k == QLatin1String("--wrk-connections")) o.wrkConnections = v;
        else if (k == QLatin1String("--port")) o.port = quint16(v);
    }
    o.clientMode = a.contains(QStringLiteral("--client-mode"));
    return o;
}

void out(const QString& key, const QVariant& value)
{
    std::printf("%s=%s\n", qPrintable(key), qPrintable(value.toString()));
    std::fflush(stdout);
}

// The measure types a temperature/humidity/pressure sensor carries and gets here.
const int PushedTypes[] = {mtT, mtH, mtP};

void buildSensors(ProbeLists& probes, int count)
{
    auto i = std::make_unique<TProbe>();
    i->Id = 1;
    i->IsUsed = true;
    i->ProtocolType = ptVBT;
    i->PollInterval = 3000;
    probes.Interfaces.push_back(std::move(i));
    for (int id = 1; id <= count; ++id) {
        auto s = std::make_unique<TProbe>();
        s->Id = id;
        s->Name = QStringLiteral("Sensor %1").arg(id, 3, 10, QLatin1Char('0'));
        s->SensorType = stTempHumidityPressure;
        s->ParentInterface = probes.Interfaces.front().get();
        s->IsUsed = true;
        s->InvalidateValues();
        probes.Sensors.push_back(std::move(s));
    }
}

bool waitFor(const std::function<bool()>& done, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(1);
    }
    return true;
}

// ------------------------------------------------------------------ client process

int runClients(const Options& o)
{
    QtTimeService time;
    setProcessTime(&time);
    struct Client {
        ProbeLists probes;
        std::unique_ptr<TClientLink> link;
        std::map<qint64, int> perPush;        // measurement time -> messages
        std::map<qint64, qint64> firstArrival; // measurement time -> arrival of the first message (ms since epoch)
        std::map<qint64, qint64> lastArrival;  // measurement time -> arrival of the last message
    };
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < o.clients; ++i) {
        auto c = std::make_unique<Client>();
        buildSensors(c->probes, o.sensors);
        Client* cp = c.get();
        c->link = std::make_unique<TClientLink>(time, c->probes, qtNetSockets());
        // The measurement time of a push is the same in all its messages: convert it once.
        c->link->onValue = [cp, lastTime = QDateTime(), lastStamp = qint64(0)](int, int, const QDateTime& t,
                                                                                double) mutable {
            if (t != lastTime) {
                lastTime = t;
                lastStamp = t.toMSecsSinceEpoch();
            }
            const qint64 stamp = lastStamp;
            const qint64 now = QDateTime::currentMSecsSinceEpoch();
            if (cp->perPush[stamp]++ == 0)
                cp->firstArrival[stamp] = now;
            cp->lastArrival[stamp] = now;
        };
        c->link->Open(QStringLiteral("127.0.0.1"), o.port);
        clients.push_back(std::move(c));
    }
    waitFor([&] { return std::all_of(clients.begin(), clients.end(), [](auto& c) { return c->link->Connected(); }); },
            20000);
    out(QStringLiteral("clients_connected"),
        int(std::count_if(clients.begin(), clients.end(), [](auto& c) { return c->link->Connected(); })));
    // Runs until the master closes the connections.
    waitFor([&] { return std::none_of(clients.begin(), clients.end(), [](auto& c) { return c->link->Connected(); }); },
            (o.seconds + 60) * 1000);

    const int expected = o.sensors * int(std::size(PushedTypes));
    std::map<qint64, qint64> worstArrival;   // per push, over all clients
    std::map<qint64, qint64> worstFirst;     // per push: the latest first message over all clients
    std::map<qint64, qint64> bestFirst;      // per push: the earliest first message over all clients
    std::map<qint64, int> complete;          // per push: clients that got every message
    qint64 messages = 0;
    int short_ = 0;
    for (auto& c : clients) {
        for (const auto& [stamp, n] : c->perPush) {
            messages += n;
            if (n == expected)
                ++complete[stamp];
            else
                ++short_;
            worstArrival[stamp] = std::max(worstArrival[stamp], c->lastArrival[stamp]);
            worstFirst[stamp] = std::max(worstFirst[stamp], c->firstArrival[stamp]);
            auto b = bestFirst.find(stamp);
            if (b == bestFirst.end() || c->firstArrival[stamp] < b->second)
                bestFirst[stamp] = c->firstArrival[stamp];
        }
    }
    std::vector<qint64> lat;
    for (const auto& [stamp, arrival] : worstArrival)
        lat.push_back(arrival - stamp);
    std::sort(lat.begin(), lat.end());
    std::vector<qint64> first;
    for (const auto& [stamp, arrival] : worstFirst)
        first.push_back(arrival - stamp);
    std::sort(first.begin(), first.end());
    std::vector<qint64> earliest;
    for (const auto& [stamp, arrival] : bestFirst)
        earliest.push_back(arrival - stamp);
    std::sort(earliest.begin(), earliest.end());
    int pushesEverywhere = 0;
    for (const auto& [stamp, n] : complete)
        pushesEverywhere += n == o.clients ? 1 : 0;
    out(QStringLiteral("client_pushes_seen"), int(worstArrival.size()));
    out(QStringLiteral("client_pushes_complete_at_every_client"), pushesEverywhere);
    out(QStringLiteral("client_incomplete_push_copies"), short_);
    out(QStringLiteral("client_messages_received"), messages);
    if (!lat.empty()) {
        out(QStringLiteral("push_latency_min_ms"), lat.front());
        out(QStringLiteral("push_latency_median_ms"), lat[lat.size() / 2]);
        out(QStringLiteral("push_latency_max_ms"), lat.back());
        out(QStringLiteral("push_earliest_client_latency_max_ms"), earliest.back());
        out(QStringLiteral("push_first_message_latency_min_ms"), first.front());
        out(QStringLiteral("push_first_message_latency_max_ms"), first.back());
    }
    clients.clear();
    setProcessTime(nullptr);
    return 0;
}

// ------------------------------------------------------------------ master process

QMap<QString, QString> keyValues(const QByteArray& text)
{
    QMap<QString, QString> m;
    for (const QByteArray& line : text.split('\n')) {
        const int eq = line.indexOf('=');
        if (eq > 0)
            m.insert(QString::fromUtf8(line.left(eq)).trimmed(), QString::fromUtf8(line.mid(eq + 1)).trimmed());
    }
    return m;
}

int runMaster(const Options& o)
{
    QtTimeService time;
    setProcessTime(&time);
    mainLog().setAttached(true);
    int logLines = 0;
    mainLog().addObserver([&](const QString&) { ++logLines; });
    shellState().MasterMode = true;

    ProbeLists probes;
    buildSensors(probes, o.sensors);
    TMasterLink master(time, probes, qtNetSockets());
    master.ListenAddress = QStringLiteral("127.0.0.1");
    quint16 port = 0;
    for (int attempt = 0; attempt < 50 && !master.Listening(); ++attempt) {
        port = quint16(QRandomGenerator::global()->bounded(20000, 60000));
        master.Open(port);
    }
    if (!master.Listening()) {
        std::fprintf(stderr, "no free port pair\n");
        return 2;
    }

    const QString bin = QCoreApplication::applicationDirPath();
    std::map<QString, QString> settings{{QStringLiteral("Use_WebSrv"), QStringLiteral("-1")},
                                        {QStringLiteral("WebSrvPort"), QStringLiteral("0")}};
    TWebStatus web(time, probes, [&](const QString& k) { return settings.count(k) ? settings[k] : QString(); });
    web.ListenAddress = QStringLiteral("127.0.0.1");
    web.SetUpWebServer();
    if (!web.Running()) {
        std::fprintf(stderr, "the web server did not start (templates beside %s?)\n", qPrintable(bin));
        return 2;
    }

    out(QStringLiteral("clients"), o.clients);
    out(QStringLiteral("sensors"), o.sensors);
    out(QStringLiteral("messages_per_push"), o.sensors * int(std::size(PushedTypes)));
    out(QStringLiteral("seconds"), o.seconds);

    QProcess clientProc;
    clientProc.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    clientProc.start(QCoreApplication::applicationFilePath(),
                     {QStringLiteral("--client-mode"), QStringLiteral("--port"), QString::number(port),
                      QStringLiteral("--clients"), QString::number(o.clients), QStringLiteral("--sensors"),
                      QString::number(o.sensors), QStringLiteral("--seconds"), QString::number(o.seconds)});
    if (!waitFor([&] { return master.ClientCount() == o.clients; }, 30000)) {
        std::fprintf(stderr, "only %d clients connected\n", master.ClientCount());
        return 2;
    }
    // A first page before the load starts.
    web.Regenerate();

    // Polling cycles: every sensor measured at the start of a cycle, another measurement
    // of the same cycle 500 ms later, both arming the push.
    int cycle = 0;
    qint64 pushesArmed = 0;
    auto measure = [&] {
        ++cycle;
        const QDateTime now = time.localNow();
        for (auto& s : probes.Sensors) {
            s->LastMeasureTime = now;
            s->LastRecordTime = now;
            s->Values[mtT] = 20.0 + (cycle % 100) / 10.0;
            s->Values[mtH] = 40.0 + s->Id % 50;
            s->Values[mtP] = 101.325;
        }
        if (!master.PushArmed())
            ++pushesArmed;
        master.ArmPush();
    };
    auto cycleTimer = time.createTimer(o.cycleMs, false, measure);
    auto secondArm = time.createTimer(o.cycleMs, false, [&] { master.ArmPush(); });
    measure();
    cycleTimer->start();
    waitFor([] { return false; }, 500);
    secondArm->start();

    QProcess wrk;
    // A little under the nominal pause: each request also takes its own time.
    const int delayMs = std::max(0, o.wrkConnections * 950 / std::max(1, o.httpRate));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("CVX_WRK_DELAY_MS"), QString::number(delayMs));
    wrk.setProcessEnvironment(env);
    const QString script = QDir(QStringLiteral(CVX_BENCH_NET_DIR)).filePath(QStringLiteral("status_page.lua"));
    wrk.start(QStringLiteral("wrk"),
              {QStringLiteral("-t2"), QStringLiteral("-c%1").arg(o.wrkConnections),
               QStringLiteral("-d%1s").arg(o.seconds), QStringLiteral("--timeout"), QStringLiteral("5s"),
               QStringLiteral("-s"), script, QStringLiteral("http://127.0.0.1:%1/").arg(web.Port())});
    const bool wrkStarted = wrk.waitForStarted(5000);

    waitFor([] { return false; }, o.seconds * 1000);
    cycleTimer->stop();
    secondArm->stop();
    // The last push, then the clients are let go.
    waitFor([&] { return !master.PushArmed(); }, 5000);
    waitFor([] { return false; }, 1000);
    const TMasterLink::Statistics st = master.statistics();
    master.Close();
    waitFor([&] { return clientProc.state() == QProcess::NotRunning; }, 60000);
    if (wrkStarted)
        waitFor([&] { return wrk.state() == QProcess::NotRunning; }, 30000);
    web.Stop();

    out(QStringLiteral("master_pushes"), st.pushes);
    out(QStringLiteral("master_pushes_armed_by_cycles"), pushesArmed);
    out(QStringLiteral("master_messages_per_client"), st.messagesPushed);
    out(QStringLiteral("master_dropped_slow_clients"), st.droppedSlowClients);
    out(QStringLiteral("master_push_delay_max_ms"), st.maxPushDelayMs);
    out(QStringLiteral("master_push_duration_max_ms"), st.maxPushDurationMs);
    out(QStringLiteral("master_log_lines"), logLines);

    const QMap<QString, QString> c = keyValues(clientProc.readAllStandardOutput());
    for (auto it = c.begin(); it != c.end(); ++it)
        out(it.key(), it.value());
    const QByteArray wrkOut = wrk.readAllStandardOutput();
    const QMap<QString, QString> w = keyValues(wrkOut);
    for (const QByteArray& line : wrkOut.split('\n'))
        if (line.contains("Requests/sec") || line.contains("requests in") || line.contains("Non-2xx")
            || line.contains("Socket errors"))
            out(QStringLiteral("wrk"), QString::fromUtf8(line).trimmed());
    for (auto it = w.begin(); it != w.end(); ++it)
        out(it.key(), it.value());

    const qint64 expectedMessages = qint64(o.clients) * st.messagesPushed;
    const bool noLoss = c.value(QStringLiteral("client_messages_received")).toLongLong() == expectedMessages
        && c.value(QStringLiteral("client_incomplete_push_copies")).toInt() == 0
        && c.value(QStringLiteral("client_pushes_seen")).toLongLong() == st.pushes;
    // The master's push: armed by the measurement, out 2000 ms later, at the first client
    // within 2500 ms. The 50 simulated clients share one process and decode one after
    // another, so the time the last of them has every message is reported as well.
    const qint64 earliest = c.value(QStringLiteral("push_earliest_client_latency_max_ms")).toLongLong();
    const bool inTime = st.maxPushDelayMs >= 2000 && st.maxPushDelayMs <= 2500 && earliest >= 2000 && earliest <= 2500;
    const bool allInTime = c.value(QStringLiteral("push_latency_max_ms")).toLongLong() <= 2500;
    const bool pagesWhole = w.value(QStringLiteral("wrk_bad_pages")).toInt() == 0;
    out(QStringLiteral("expected_messages_all_clients"), expectedMessages);
    out(QStringLiteral("no_message_lost"), noLoss ? 1 : 0);
    out(QStringLiteral("push_within_2500ms"), inTime ? 1 : 0);
    out(QStringLiteral("push_complete_at_every_client_within_2500ms"), allInTime ? 1 : 0);
    out(QStringLiteral("http_pages_whole"), pagesWhole ? 1 : 0);
    setProcessTime(nullptr);
    return noLoss && inTime && pagesWhole ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    Catalogue::instance().select(Catalogue::Hungarian);
    const Options o = parse(app.arguments());
    return o.clientMode ? runClients(o) : runMaster(o);
}
