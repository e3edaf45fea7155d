// The instance networking wired into the shell's sequences, headless, on a local
// database and real loopback sockets: a master listens from the start sequence and tells
// its clients to restart when it stops; a client connects to the registered master,
// takes its values and restarts when told. Timers run on virtual time; the test waits on
// the event loop only for socket I/O.
#include "net_fixture.h"

#include "acquisition/acquisition.h"
#include "app/activity_supervision.h"
#include "app/net_wiring.h"
#include "app/shell_controller.h"
#include "net/client_link.h"
#include "net/master_link.h"
#include "store/connection_string.h"
#include "store/data_module.h"
#include "store/sql_query.h"

#include <httplib.h>

#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

namespace cvx::test {
namespace {

// A port whose successor is free as well (the keep-alive server's).
quint16 freePortPair()
{
    for (int i = 0; i < 100; ++i) {
        const quint16 p = quint16(QRandomGenerator::global()->bounded(20000, 60000));
        QTcpServer a, b;
        if (a.listen(QHostAddress::LocalHost, p) && b.listen(QHostAddress::LocalHost, quint16(p + 1)))
            return p;
    }
    return 0;
}

class ShellNetworkTest : public ::testing::Test {
protected:
    ShellNetworkTest()
    {
        resetShellState();
        warningPanel().reset();
        qputenv("CORVALUX_LOCK_DIR", locks.path().toUtf8());
        port = freePortPair();
    }
    ~ShellNetworkTest() override
    {
        if (shell)
            shell->Shutdown();
        network.reset();
        shell.reset();
        qunsetenv("CORVALUX_LOCK_DIR");
        resetShellState();
        warningPanel().reset();
    }

    void start()
    {
        test::writeFile(home.iniPath(),
                        QStringLiteral("[others]\none_instance_allowed=0\nTCPIP_PORT=%1\nSERVER_HOST=192.0.2.10\n"
                                       "[CONNECTION]\nCONNECTION_STRING=%2\n")
                            .arg(port)
                            .arg(LocalConnectionString(home.file(QStringLiteral("corvalux.db"))))
                            .toUtf8());
        shell = std::make_unique<ShellController>(time, ShellController::Options{{QStringLiteral("corvalux")}, true});
        NetAcquisitionHooks acq;
        acq.setRemoteValue = [this](TProbe& s, int l, const QDateTime&, double v, bool, bool, bool) {
            s.Values[l] = v;
            ++remoteValues;
        };
        network = std::make_unique<ShellNetwork>(*shell, time, acq);
        network->network().Master().ListenAddress = QStringLiteral("127.0.0.1");
        network->network().Web().ListenAddress = QStringLiteral("127.0.0.1");
        shell->subsystems().loadAll = [this] {
            ProbeBuilder b(shell->Probes());
            TProbe& i = b.addInterface(1);
            b.addSensor(10, stTempHumidity, i);
        };
        ASSERT_TRUE(shell->ProgramEntry());
        shell->FormCreate();
        time.advance(10);
        time.advance(100);
    }

    QString setting(const QString& key) { return shell->DataModule().ReadGlobalSetting(key); }

    test::TempHome home;
    QTemporaryDir locks;
    test::VirtualProcessTime vt;
    ManualTimeService& time = vt.time();
    test::CapturedMainLog log;
    test::ScriptedDialogScope dialogs;
    quint16 port = 0;
    std::unique_ptr<ShellController> shell;
    std::unique_ptr<ShellNetwork> network;
    int remoteValues = 0;
};

TEST_F(ShellNetworkTest, AMasterListensFromStartAndTellsItsClientsToRestartWhenItStops)
{
    ASSERT_NE(port, 0);
    start();
    ASSERT_TRUE(shellState().MasterMode);
    TMasterLink& master = network->network().Master();
    ASSERT_TRUE(master.Listening());
    EXPECT_EQ(master.Port(), port);

    QTcpSocket client;
    client.connectToHost(QStringLiteral("127.0.0.1"), port);
    ASSERT_TRUE(waitFor([&] { return master.ClientCount() == 1; }));

    shell->StopAll();
    QByteArray got;
    ASSERT_TRUE(waitFor([&] {
        got += client.readAll();
        return client.state() == QAbstractSocket::UnconnectedState;
    }));
    got += client.readAll();
    EXPECT_EQ(got, QByteArray("*\"PckType=3\"#"));
    EXPECT_FALSE(master.Listening());
    ASSERT_TRUE(shell->DataModule().OpenMainConnection(LocalConnectionString(home.file(QStringLiteral("corvalux.db")))));
    EXPECT_EQ(setting(QStringLiteral("Master_apps_IP")), QString());
    shell->DataModule().CloseMainConnection();
}

TEST_F(ShellNetworkTest, TheWebServerFollowsTheSettingsAtEveryRestart)
{
    ASSERT_NE(port, 0);
    start();
    EXPECT_FALSE(network->network().Web().Running());
    shell->DataModule().WriteGlobalSetting(QStringLiteral("Use_WebSrv"), QStringLiteral("-1"));
    shell->DataModule().WriteGlobalSetting(QStringLiteral("WebSrvPort"), QStringLiteral("0"));
    shell->RestartAll();
    TWebStatus& web = network->network().Web();
    ASSERT_TRUE(web.Running()) << "the default templates are found beside the program";
    time.advance(TWebStatus::RegenerateIntervalMs);
    httplib::Client http("127.0.0.1", web.Port());
    auto r = http.Get("/");
    ASSERT_TRUE(r);
    EXPECT_NE(r->body.find("Sensor 10"), std::string::npos);
    EXPECT_TRUE(log.contains(QStringLiteral("HTML-port: 0")));
}

TEST_F(ShellNetworkTest, AClientTakesTheMastersValuesAndRestartsWhenTold)
{
    ASSERT_NE(port, 0);
    // A master elsewhere (here: a link of this test on loopback) with one sensor.
    ProbeLists masterProbes;
    ProbeBuilder mb(masterProbes);
    TProbe& mi = mb.addInterface(1);
    TProbe& ms = mb.addSensor(10, stTempHumidity, mi);
    ms.LastMeasureTime = QDateTime(QDate(2024, 5, 21), QTime(3, 0));
    ms.Values[mtT] = 31.5;
    TMasterLink master(time, masterProbes, qtNetSockets());
    master.ListenAddress = QStringLiteral("127.0.0.1");
    // The database says the master is on 127.0.0.1; this instance is configured as
    // 192.0.2.10, so it becomes a client.
    start();
    shell->StopAll();
    ASSERT_TRUE(shell->DataModule().OpenMainConnection(LocalConnectionString(home.file(QStringLiteral("corvalux.db")))));
    shell->DataModule().WriteGlobalSetting(QStringLiteral("Master_apps_IP"), QStringLiteral("127.0.0.1"));
    shell->DataModule().CloseMainConnection();
    ASSERT_TRUE(master.Open(port));
    shell->RestartAll();
    ASSERT_FALSE(shellState().MasterMode);
    TClientLink& client = network->network().Client();
    ASSERT_TRUE(waitFor([&] { return client.Connected() && master.ClientCount() == 1; }));
    EXPECT_TRUE(log.contains(QStringLiteral("Kapcsolódtam az adatrögzítő Corvaluxhoz (127.0.0.1:%1)").arg(port)));

    // A poll request awaits an answer; the master's push brings the value and clears it.
    client.SendPollRequest();
    EXPECT_TRUE(shell->Activity().answerAwaited());
    ASSERT_TRUE(waitFor([&] { return master.PushArmed(); }));
    time.advance(TMasterLink::PushDelayMs);
    ASSERT_TRUE(waitFor([&] { return remoteValues == 1; }));
    EXPECT_FALSE(shell->Activity().answerAwaited());
    ASSERT_EQ(shell->Probes().Sensors.size(), 1u);
    EXPECT_DOUBLE_EQ(shell->Probes().Sensors[0]->Values[mtT], 31.5);
    EXPECT_EQ(shell->Probes().Sensors[0]->RemoteTime, ms.LastMeasureTime);

    // The master orders a restart: the client rebuilds itself and connects again.
    master.SendRestartToClients();
    ASSERT_TRUE(waitFor([&] { return shellState().Stopping; }));
    time.advance(100);   // timRestart
    EXPECT_TRUE(log.contains(QStringLiteral("Teljes újraindítás...")));
    EXPECT_TRUE(dialogs.dialogs().shownMessages.contains(Msg("msgRestartingCmd")));
    EXPECT_FALSE(shellState().Stopping);
    ASSERT_TRUE(waitFor([&] { return client.Connected() && master.ClientCount() == 1; }));
    EXPECT_EQ(log.lines().filter(QStringLiteral("Kapcsolódtam az adatrögzítő Corvaluxhoz")).size(), 2);
}

TEST_F(ShellNetworkTest, EachMeasurementOfTheAcquisitionModelArmsThePush)
{
    ASSERT_NE(port, 0);
    start();
    // The acquisition model loads one interface and one temperature/humidity sensor from
    // the database and, connected, arms the push with every measurement it handles.
    Acquisition acquisition(time, shell->Probes());
    network->ConnectAcquisition(acquisition);
    TfDM& dm = shell->DataModule();
    for (const QString& sql :
         {QStringLiteral("INSERT INTO Probe_type (Probe_type_id, Probe_type_name, Server_type_code, Protocol_type_code, "
                         "IP, Port, Baudrate, Polling_interval, Probe_type_address, Is_used) VALUES "
                         "(1, 'room', 2, 1, '127.0.0.1', 9, 115200, 5000, 1, 1)"),
          QStringLiteral("INSERT INTO Probe (Probe_id, Probe_name, Probe_type_id, Probe_address, Probe_is_used, "
                         "Sensor_type_code, Recording_rate, Sampling_rate, Relay_number) VALUES "
                         "(1, 'rack', 1, 5, 1, 4, 60000, 5000, 1)")}) {
        QString error;
        ASSERT_TRUE(dm.conMainConnection.NewCommand(sql)->Execute(nullptr, &error)) << error.toStdString();
    }
    shell->subsystems().loadAll = [&] {
        acquisition.SetDatabase(&shell->DataModule().conMainConnection, &shell->DataModule());
        acquisition.LoadAll();
    };
    shell->RestartAll();
    ASSERT_TRUE(shellState().MasterMode);
    ASSERT_EQ(shell->Probes().Sensors.size(), 1u);
    TProbe& sensor = *shell->Probes().Sensors[0];

    ProbeLists probes;
    ProbeBuilder b(probes);
    b.addSensor(1, stTempHumidity, b.addInterface(1));
    std::map<int, double> pushed;
    NetAcquisitionHooks hooks;
    hooks.setRemoteValue = [&](TProbe&, int l, const QDateTime&, double v, bool, bool, bool) { pushed[l] = v; };
    TClientLink watcher(time, probes, qtNetSockets(), hooks);
    watcher.Open(QStringLiteral("127.0.0.1"), port);
    ASSERT_TRUE(waitFor([&] { return watcher.Connected() && network->network().Master().ClientCount() == 1; }));

    TMasterLink& master = network->network().Master();
    EXPECT_FALSE(master.PushArmed());
    acquisition.HandleAnswer(sensor, QByteArray("AITGD\xCA\x08\xC4\x01", 9), 0);   // 22.50 °C, 45.2 %
    EXPECT_TRUE(master.PushArmed());
    time.advance(1000);
    acquisition.HandleAnswer(sensor, QByteArray("AITGD\xCB\x08\xC4\x01", 9), 0);   // 22.51 °C
    time.advance(1000);
    EXPECT_EQ(master.statistics().pushes, 1) << "one push for both, two seconds after the first";
    ASSERT_TRUE(waitFor([&] { return pushed.count(mtT) && pushed.count(mtH); }));
    EXPECT_DOUBLE_EQ(pushed[mtT], 22.51);
    EXPECT_DOUBLE_EQ(pushed[mtH], 45.2);
    shell->StopAll();
    // The model goes with this test.
    shell->subsystems().loadAll = nullptr;
    network->DisconnectAcquisition();
}

} // namespace
} // namespace cvx::test
