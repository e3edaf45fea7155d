#pragma once
// The event engine on virtual time with fakes for everything outside: an SMTP client
// that records, a launcher that records when it was asked, a sound player, settings in a
// map, sensors built by hand, and interface links over the in-memory transport.

#include "acquisition/probe.h"
#include "acquisition/probe_lists.h"
#include "events/event_engine.h"
#include "events/mail_sender.h"
#include "fake_transport.h"
#include "link/vbt_comms.h"
#include "link/vbt_protocol.h"
#include "platform/manual_time_service.h"
#include "platform/process_launcher.h"
#include "platform/smtp_client.h"
#include "platform/sound_player.h"
#include "shell/catalogue.h"
#include "shell/shell_state.h"
#include "shell/warnings.h"
#include "test_support.h"

#include <QFile>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <mutex>

inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace cvx::test {

class FakeSmtp final : public SmtpClient {
public:
    SmtpResult send(const SmtpSettings& settings, const SmtpMessage& message, const StatusSink& onStatus,
                    const std::atomic<bool>*) override
    {
        if (onStatus)
            onStatus(SmtpStatus{QStringLiteral("hsConnected"), QStringLiteral("Connected.")});
        std::lock_guard lock(mutex);
        sent.push_back({settings, message});
        return result;
    }
    struct Sent {
        SmtpSettings settings;
        SmtpMessage message;
    };
    std::vector<Sent> taken()
    {
        std::lock_guard lock(mutex);
        return sent;
    }
    std::mutex mutex;
    std::vector<Sent> sent;
    SmtpResult result{true, QString()};
};

class FakeLauncher final : public ProcessLauncher {
public:
    explicit FakeLauncher(TimeService& time) : time_(time) {}
    LaunchResult startDetached(const QString& program, const QStringList& arguments) override
    {
        calls.push_back({time_.localNow(), program, arguments});
        return result;
    }
    struct Call {
        QDateTime at;
        QString program;
        QStringList arguments;
    };
    std::vector<Call> calls;
    LaunchResult result{true, 4242, QString()};

private:
    TimeService& time_;
};

class FakeSound final : public SoundPlayer {
public:
    bool isPlaying() const override { return playing; }
    bool play(const QString& file, QString* error) override
    {
        played << file;
        if (!fail.isEmpty()) {
            *error = fail;
            return false;
        }
        playing = true;
        return true;
    }
    bool playing = false;
    QString fail;
    QStringList played;
};

class EventTest : public ::testing::Test {
protected:
    // A Monday.
    static QDateTime startTime() { return QDateTime(QDate(2024, 5, 20), QTime(10, 0, 0)); }

    EventTest() : time(startTime()), launcher(time)
    {
        resetShellState();
        warningPanel().reset();
        Catalogue::instance().select(Catalogue::Hungarian);
        shellState().MasterMode = true;
        shellState().DbConnected = false;
        shellState().LOG_EVENTS = true;
        shellState().LogFolder = home.path();
        rebuildEngine(&smtp, &launcher);
    }
    // A new engine over the given SMTP client and launcher (the real ones in some tests).
    void rebuildEngine(SmtpClient* smtpClient, ProcessLauncher* processLauncher, TfDM* dm = nullptr)
    {
        engine.reset();
        EventPlatform p;
        p.smtp = smtpClient;
        p.launcher = processLauncher;
        p.sound = &sound;
        p.readSetting = [this](const QString& key) { return settings.count(key) ? settings.at(key) : QString(); };
        engine = std::make_unique<EventEngine>(time, probes, dm, p);
    }
    ~EventTest() override
    {
        engine.reset();
        probes.Clear();
        warningPanel().reset();
        resetShellState();
    }

    TProbe& addInterface(int id, bool connectedLink = true)
    {
        auto p = std::make_unique<TProbe>();
        p->Id = id;
        p->Name = QStringLiteral("iface%1").arg(id);
        p->SensorType = InterfaceSensorType;
        p->ServerType = svDeviceServer;
        p->IsUsed = true;
        p->PollInterval = 2000;
        if (connectedLink) {
            transports.autoConnect = true;
            p->Link = std::make_unique<TVBTComms>(time, &transports);
            p->Link->Host = QStringLiteral("devserver");
            p->Link->Port = 4001;
            p->Link->SeedRandom(3);
            p->Link->SetActive(true);
            time.advance(1);
        }
        probes.Interfaces.push_back(std::move(p));
        return *probes.Interfaces.back();
    }

    TProbe& addSensor(int id, int sensorType = stTempHumidity, TProbe* iface = nullptr)
    {
        auto p = std::make_unique<TProbe>();
        p->Id = id;
        p->Name = QStringLiteral("sensor%1").arg(id);
        p->SensorType = sensorType;
        p->IsUsed = true;
        p->Address = id;
        p->ParentInterface = iface;
        probes.Sensors.push_back(std::move(p));
        return *probes.Sensors.back();
    }

    TProbe& addRelay(int id, TProbe& iface, int relayIndex = 0, int sensorType = stRelayPanel)
    {
        TProbe& r = addSensor(id, sensorType, &iface);
        r.RelayIndex = relayIndex;
        r.RawValues[mtRState] = 0;
        r.Values[mtRState] = 0;
        return r;
    }

    // A measured value; it also becomes the newest set of Recent.
    void setValue(TProbe& s, int mt, double value)
    {
        if (std::isnan(value)) {
            s.SetInvalid(mt);
        } else {
            s.Values[mt] = value;
            s.RawValues[mt] = qRound64(value * measureType(mt).factor);
        }
        s.Recent.push_front(s.Values);
        while (s.Recent.size() > size_t(TProbe::RecentLimit))
            s.Recent.pop_back();
    }
    void measure(TProbe& s, int mt, double value)
    {
        setValue(s, mt, value);
        engine->EvaluateAll(s);
    }

    template <typename F>
    TEvent& addEvent(int id, F configure)
    {
        auto e = std::make_unique<TEvent>(*engine);
        e->Event_id = id;
        e->Event_name = QStringLiteral("event%1").arg(id);
        e->Limit_enabled = false;
        configure(*e);
        TEvent& added = engine->AddEvent(std::move(e));
        added.Prepare(home.path());
        engine->RebuildIndex();
        return added;
    }
    TTask& addTask(int id, int type, std::function<void(TTask&)> configure = {})
    {
        auto t = std::make_unique<TTask>();
        t->Task_id = id;
        t->Task_name = QStringLiteral("task%1").arg(id);
        t->Task_type_code = type;
        if (configure)
            configure(*t);
        return engine->AddTask(std::move(t));
    }
    // An event whose activation starts a program: the fake launcher records the times.
    TTask& markerTask(int id = 900) { return addTask(id, ttCommand, [](TTask& t) { t.exec_cmd = "/bin/marker"; }); }

    // The payloads written to the interface line, in order, with their addressees.
    struct Frame {
        quint32 to = 0;
        int serial = 0;
        TInfo info = nem_kerek_nyugtat;
        QByteArray data;
    };
    static std::vector<Frame> framesOf(const FakeLine* line)
    {
        std::vector<Frame> out;
        if (!line)
            return out;
        for (const auto& w : line->writes) {
            TVBTProtocol d;
            d.VBTMode = PMDecodeBothEncodeVBT;
            Frame f;
            f.data = d.DecodeFrame(w.bytes);
            f.to = d.Cimzett;
            f.serial = d.CsomagSorszam;
            f.info = d.Info;
            out.push_back(f);
        }
        return out;
    }
    // Answers every request on the line that asks for an acknowledgement (a relay panel).
    static void acknowledgeAll(FakeTcpClient* line, size_t& answered)
    {
        auto frames = framesOf(line);
        for (; answered < frames.size(); ++answered) {
            const Frame& f = frames[answered];
            if (f.info != kerek_nyugtat)
                continue;
            TVBTProtocol enc;
            enc.Cimzett = vbt::PcAddress;
            enc.Felado = f.to;
            enc.Felado_rovid_cim = quint8(f.to);
            enc.CsomagSorszam = quint8(f.serial);
            enc.Info = pozitiv_nyugta;
            line->feed(enc.EncodeFrame(QByteArray()));
        }
    }

    void advanceMinutes(double minutes) { time.advance(qint64(minutes * 60000)); }
    int logCount(const QString& fragment) const
    {
        int n = 0;
        for (const QString& l : log.lines())
            if (l.contains(fragment))
                ++n;
        return n;
    }
    QStringList eventLogLines(const TEvent& e) const
    {
        QFile f(e.Log_->file());
        if (!f.open(QIODevice::ReadOnly))
            return {};
        QStringList lines = QString::fromUtf8(f.readAll()).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
        static const QRegularExpression stamp(QStringLiteral("^\\d\\d\\.\\d\\d\\.\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d  "));
        for (QString& l : lines)
            l.remove(stamp);
        return lines;
    }
    QStringList firingTimes() const
    {
        QStringList out;
        for (const auto& c : launcher.calls)
            out << QStringLiteral("d%1 ").arg(c.at.date().dayOfWeek()) + c.at.toString(QStringLiteral("HH:mm:ss"));
        return out;
    }

    TempHome home;
    ManualTimeService time;
    CapturedMainLog log;
    ProbeLists probes;
    FakeTransports transports{&time};
    FakeSmtp smtp;
    FakeLauncher launcher;
    FakeSound sound;
    std::map<QString, QString> settings;
    std::unique_ptr<EventEngine> engine;
};

} // namespace cvx::test
