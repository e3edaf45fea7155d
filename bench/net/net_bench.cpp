// Costs on the event loop: one push of every value to every client, and one production
// of the status page. Both run on the user-interface thread, so they bound how long a
// push or a page refresh holds everything else up.
#include "acquisition/probe_lists.h"
#include "net/client_link.h"
#include "net/master_link.h"
#include "net/net_sockets.h"
#include "net/web_status.h"
#include "platform/manual_time_service.h"
#include "shell/catalogue.h"
#include "shell/shell_state.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>

using namespace cvx;

namespace {

// Connections that accept every write and keep nothing: the cost measured is the
// master's, not the network's.
class NullConnection final : public TcpConnection {
public:
    void setEvents(Events) override {}
    QString peerAddress() const override { return QStringLiteral("127.0.0.1"); }
    quint16 peerPort() const override { return 1; }
    bool isConnected() const override { return true; }
    bool write(const QByteArray& bytes, QString*) override
    {
        written += bytes.size();
        return true;
    }
    qint64 pendingWriteBytes() const override { return 0; }
    void close() override {}
    qint64 written = 0;
};

class NullServer final : public TcpServer {
public:
    void setAcceptHandler(AcceptHandler h) override { accept = std::move(h); }
    bool listen(const QString&, quint16, QString*) override { return true; }
    void close() override {}
    bool isListening() const override { return true; }
    quint16 serverPort() const override { return 1; }
    AcceptHandler accept;
};

// A client socket whose received bytes the benchmark hands in.
class FeedClient final : public TcpClient {
public:
    void setEvents(Events e) override { events = std::move(e); }
    void connectToHost(const QString&, quint16) override
    {
        connected = true;
        if (events.connected)
            events.connected();
    }
    void close() override { connected = false; }
    bool isConnected() const override { return connected; }
    bool write(const QByteArray&, QString*) override { return true; }
    Events events;
    bool connected = false;
};

class NullSockets final : public NetSockets {
public:
    std::unique_ptr<TcpServer> createServer() override
    {
        auto s = std::make_unique<NullServer>();
        servers.push_back(s.get());
        return s;
    }
    std::unique_ptr<TcpClient> createClient() override
    {
        auto c = std::make_unique<FeedClient>();
        client = c.get();
        return c;
    }
    FeedClient* client = nullptr;
    std::vector<NullServer*> servers;
};

void buildSensors(ProbeLists& probes, int count)
{
    auto i = std::make_unique<TProbe>();
    i->Id = 1;
    i->IsUsed = true;
    probes.Interfaces.push_back(std::move(i));
    for (int id = 1; id <= count; ++id) {
        auto s = std::make_unique<TProbe>();
        s->Id = id;
        s->Name = QStringLiteral("Sensor %1").arg(id);
        s->SensorType = stTempHumidityPressure;
        s->ParentInterface = probes.Interfaces.front().get();
        s->IsUsed = true;
        s->InvalidateValues();
        s->LastMeasureTime = QDateTime(QDate(2024, 5, 21), QTime(10, 0));
        s->Values[mtT] = 21.37;
        s->Values[mtH] = 45.5;
        s->Values[mtP] = 101.325;
        probes.Sensors.push_back(std::move(s));
    }
}

void BM_Push(benchmark::State& state)
{
    const int sensors = int(state.range(0));
    const int clients = int(state.range(1));
    ManualTimeService time;
    ProbeLists probes;
    buildSensors(probes, sensors);
    NullSockets sockets;
    TMasterLink master(time, probes, sockets);
    master.Open(11110);
    for (int i = 0; i < clients; ++i)
        sockets.servers[0]->accept(std::make_unique<NullConnection>());
    for (auto _ : state)
        master.Push();
    state.counters["messages_per_push"] = double(master.statistics().messagesPushed) / double(state.iterations());
    state.counters["messages_per_s"] =
        benchmark::Counter(double(master.statistics().messagesPushed), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Push)->Args({100, 1})->Args({100, 50})->Args({500, 50})->Unit(benchmark::kMicrosecond);

// What one client instance spends on one push: every message decoded and applied.
void BM_ClientApply(benchmark::State& state)
{
    const int sensors = int(state.range(0));
    ManualTimeService time;
    ProbeLists masterProbes, clientProbes;
    buildSensors(masterProbes, sensors);
    buildSensors(clientProbes, sensors);
    NullSockets sockets;
    TMasterLink master(time, masterProbes, sockets);
    master.Open(11110);
    QByteArray batch;
    struct Capture final : TcpConnection {
        QByteArray* out;
        explicit Capture(QByteArray* o) : out(o) {}
        void setEvents(Events) override {}
        QString peerAddress() const override { return {}; }
        quint16 peerPort() const override { return 0; }
        bool isConnected() const override { return true; }
        bool write(const QByteArray& b, QString*) override { *out += b; return true; }
        qint64 pendingWriteBytes() const override { return 0; }
        void close() override {}
    };
    sockets.servers[0]->accept(std::make_unique<Capture>(&batch));
    master.Push();
    TClientLink client(time, clientProbes, sockets);
    qint64 applied = 0;
    NetAcquisitionHooks hooks;
    hooks.setRemoteValue = [&](TProbe& s, int l, const QDateTime&, double v, bool, bool, bool) {
        s.Values[l] = v;
        ++applied;
    };
    client.setAcquisitionHooks(hooks);
    client.Open(QStringLiteral("master"), 11110);
    for (auto _ : state)
        sockets.client->events.received(batch);
    state.counters["messages_per_s"] = benchmark::Counter(double(applied), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ClientApply)->Arg(100)->Unit(benchmark::kMicrosecond);

void BM_StatusPage(benchmark::State& state)
{
    const int sensors = int(state.range(0));
    ManualTimeService time;
    ProbeLists probes;
    buildSensors(probes, sensors);
    // The shipped templates, found beside the program; the server listens on loopback.
    shellState().MasterMode = true;
    TWebStatus web(time, probes, [](const QString& key) {
        return key == QLatin1String("Use_WebSrv") ? QStringLiteral("-1")
            : key == QLatin1String("WebSrvPort")  ? QStringLiteral("0")
                                                  : QString();
    });
    web.ListenAddress = QStringLiteral("127.0.0.1");
    web.SetUpWebServer();
    QString page, error;
    for (auto _ : state) {
        if (!web.ProducePage(&page, &error)) {
            state.SkipWithError(qPrintable(error));
            break;
        }
        benchmark::DoNotOptimize(page);
    }
    state.counters["page_bytes"] = double(page.toUtf8().size());
}
BENCHMARK(BM_StatusPage)->Arg(100)->Arg(500)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    Catalogue::instance().select(Catalogue::Hungarian);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
