// The event engine at installation size: 5,000 sensors and 200 events, answers arriving
// at 2,500 per second (a budget of 400 us per answer on the main thread, shared with
// decoding and recording). Measures EvaluateAll per answer for sensors that no event
// names, for sensors named by one or many events, across the whole installation, the
// activity supervision's second with every sensor lost, and, for comparison, handing
// every answer to every event as the rules are written.

#include "acquisition/probe.h"
#include "acquisition/probe_lists.h"
#include "events/event_engine.h"
#include "platform/manual_time_service.h"
#include "platform/process_launcher.h"
#include "platform/smtp_client.h"
#include "platform/sound_player.h"
#include "shell/catalogue.h"
#include "shell/shell_state.h"

#include <benchmark/benchmark.h>

#include <memory>

using namespace cvx;

namespace {

constexpr int SensorCount = 5000;
constexpr int EventCount = 200;

class NoSmtp final : public SmtpClient {
public:
    SmtpResult send(const SmtpSettings&, const SmtpMessage&, const StatusSink&, const std::atomic<bool>*) override
    {
        return {true, {}};
    }
};
class NoLauncher final : public ProcessLauncher {
public:
    LaunchResult startDetached(const QString&, const QStringList&) override { return {true, 1, {}}; }
};
class NoSound final : public SoundPlayer {
public:
    bool isPlaying() const override { return false; }
    bool play(const QString&, QString*) override { return true; }
};

// An installation: each event watches `perEvent` sensors (consecutive ids, wrapping),
// with thresholds the values never reach, so every evaluation runs its checks in full.
struct Installation {
    explicit Installation(int perEvent, int firstSensor = 0)
    {
        resetShellState();
        shellState().MasterMode = true;
        shellState().LOG_EVENTS = false;
        EventPlatform p;
        p.smtp = &smtp;
        p.launcher = &launcher;
        p.sound = &sound;
        engine = std::make_unique<EventEngine>(time, probes, nullptr, p);
        for (int i = 0; i < SensorCount; ++i) {
            auto s = std::make_unique<TProbe>();
            s->Id = i + 1;
            s->Name = QStringLiteral("sensor%1").arg(i + 1);
            s->SensorType = stTempHumidity;
            s->IsUsed = true;
            s->Values[mtT] = 21.5;
            s->RawValues[mtT] = 2150;
            for (int k = 0; k < 12; ++k)
                s->Recent.push_front(s->Values);
            probes.Sensors.push_back(std::move(s));
        }
        for (int e = 0; e < EventCount; ++e) {
            auto ev = std::make_unique<TEvent>(*engine);
            ev->Event_id = e + 1;
            ev->Event_name = QStringLiteral("event%1").arg(e + 1);
            // Half threshold events, a quarter rate-of-change, a quarter lost sensors.
            ev->Condition_type_code = e % 4 == 1 ? CTC_ON_EXTREME_RATE : e % 4 == 3 ? CTC_ON_SENSOR_DIE : CTC_MEASURED;
            ev->Threshold1Value = e % 4 == 1 ? 50 : 60;
            ev->Sustain = 10; // lost sensors stay pending: no activation inside the loop
            QStringList ids;
            for (int k = 0; k < perEvent; ++k)
                ids << QString::number((firstSensor + e * perEvent + k) % SensorCount + 1);
            ev->Sensor_list.setTexts(ids);
            ev->Sensor_list2.setTexts(ids);
            engine->AddEvent(std::move(ev)).Prepare(QString());
        }
        engine->RebuildIndex();
    }
    ~Installation()
    {
        engine.reset();
        probes.Clear();
        resetShellState();
    }
    ManualTimeService time;
    ProbeLists probes;
    NoSmtp smtp;
    NoLauncher launcher;
    NoSound sound;
    std::unique_ptr<EventEngine> engine;
};

// A sensor that no event names.
void BM_EvaluateAll_SensorNoEventNames(benchmark::State& state)
{
    Installation inst(5);
    TProbe& s = *inst.probes.Sensors.back(); // ids 1..1000 are named
    for (auto _ : state)
        inst.engine->EvaluateAll(s);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EvaluateAll_SensorNoEventNames);

// A sensor named by n events.
void BM_EvaluateAll_SensorNamedBy(benchmark::State& state)
{
    const int n = int(state.range(0));
    Installation inst(5);
    // Make sensor 4000 a member of the first n events.
    for (int e = 0; e < n; ++e) {
        TEvent& ev = *inst.engine->Events[size_t(e)];
        QStringList ids = ev.Sensor_list.texts();
        ids << QStringLiteral("4000");
        ev.Sensor_list.setTexts(ids);
    }
    inst.engine->RebuildIndex();
    TProbe& s = *inst.probes.Sensors[3999];
    for (auto _ : state)
        inst.engine->EvaluateAll(s);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EvaluateAll_SensorNamedBy)->Arg(1)->Arg(10)->Arg(200);

// Answers from every sensor in turn; every sensor is named by exactly one event
// (200 events x 25 sensors), the usual shape of a large installation.
void BM_EvaluateAll_WholeInstallation(benchmark::State& state)
{
    Installation inst(SensorCount / EventCount);
    size_t i = 0;
    for (auto _ : state) {
        inst.engine->EvaluateAll(*inst.probes.Sensors[i]);
        if (++i == inst.probes.Sensors.size())
            i = 0;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EvaluateAll_WholeInstallation);

// The same answers handed to every event in list order, without the index.
void BM_EvaluateEveryEvent_WholeInstallation(benchmark::State& state)
{
    Installation inst(SensorCount / EventCount);
    size_t i = 0;
    for (auto _ : state) {
        TProbe& s = *inst.probes.Sensors[i];
        for (const auto& e : inst.engine->Events)
            e->Evaluate(s);
        if (++i == inst.probes.Sensors.size())
            i = 0;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EvaluateEveryEvent_WholeInstallation);

// One second of the activity supervision with every sensor lost: 5,000 hand-overs.
void BM_ActivitySecond_AllSensorsLost(benchmark::State& state)
{
    Installation inst(SensorCount / EventCount);
    for (const auto& s : inst.probes.Sensors)
        s->Inactive = true;
    for (auto _ : state)
        for (const auto& s : inst.probes.Sensors)
            inst.engine->EvaluateAll(*s);
    state.SetItemsProcessed(state.iterations() * SensorCount);
}
BENCHMARK(BM_ActivitySecond_AllSensorsLost)->Unit(benchmark::kMillisecond);

// Reloading the index (ReloadEvents rebuilds it after reading the events).
void BM_RebuildIndex(benchmark::State& state)
{
    Installation inst(SensorCount / EventCount);
    for (auto _ : state)
        inst.engine->RebuildIndex();
}
BENCHMARK(BM_RebuildIndex)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv)
{
    Catalogue::instance().select(Catalogue::Hungarian);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
