// Two corvalux processes on one PostgreSQL database: a recording master polling vbtsim
// over loopback TCP, serving the status page and pushing values, and a client instance
// that finds the master through the shared database. Every wait is for real I/O of the
// processes, bounded generously.
#include "net_fixture.h"

#include "net/client_link.h"
#include "platform/qt_time_service.h"
#include "store/connection_string.h"
#include "store/db_check.h"
#include "store/sql_connection.h"
#include "store/sql_query.h"
#include "vbtsim_process.h"

#include <httplib.h>

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTemporaryDir>

#include <csignal>

namespace cvx::test {
namespace {

constexpr int IoWaitMs = 60000;

quint16 freePort(int span = 1)
{
    for (int i = 0; i < 100; ++i) {
        const quint16 p = quint16(QRandomGenerator::global()->bounded(20000, 60000));
        std::vector<std::unique_ptr<QTcpServer>> held;
        bool ok = true;
        for (int k = 0; k < span && ok; ++k) {
            held.push_back(std::make_unique<QTcpServer>());
            ok = held.back()->listen(QHostAddress::LocalHost, quint16(p + k));
        }
        if (ok)
            return p;
    }
    return 0;
}

// A program of the build, started on loopback, its output in a file, stopped at the end.
class Program {
public:
    explicit Program(QString name) : name_(std::move(name)) {}
    ~Program() { stop(); }

    void start(const QStringList& args, const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment())
    {
        process.setProgram(QDir(binDir()).filePath(name_));
        process.setArguments(args);
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.setStandardOutputFile(dir.filePath(QStringLiteral("out.log")));
        process.start();
        process.waitForStarted(10000);
    }
    void stop()
    {
        if (process.state() == QProcess::NotRunning)
            return;
        process.terminate();
        if (!process.waitForFinished(20000)) {
            process.kill();
            process.waitForFinished(10000);
        }
    }
    QString output() const { return readFile(dir.filePath(QStringLiteral("out.log"))); }
    bool says(const QString& text) const { return output().contains(text); }

    QTemporaryDir dir;
    QProcess process;

private:
    QString name_;
};

const char* Scenario = R"({"name": "two instances", "interfaces": [
  {"name": "room", "protocol": "VBT", "tcp": {"port": 0}, "devices": [
    {"name": "rack", "address": 5, "type": 4, "values": {"T": 22.5, "H": 45.2}},
    {"name": "relays", "address": 20, "type": 8, "relays": 4, "powerOn": [0, 0, 0, 0]}]}]})";

class TwoInstances : public ::testing::Test {
protected:
    void SetUp() override
    {
        resetShellState();
        server_ = qEnvironmentVariable("CVX_TEST_PG");
        if (server_.isEmpty()) {
            if (qEnvironmentVariable("CVX_REQUIRE_SERVERS") == QStringLiteral("1"))
                FAIL() << "CVX_TEST_PG is not set";
            GTEST_SKIP() << "CVX_TEST_PG is not set";
        }
        if (!IsPostgreSql(server_))
            server_ = QStringLiteral("Provider=QPSQL;") + server_;
        dbName_ = QStringLiteral("cvx_net_two_%1").arg(QCoreApplication::applicationPid());
        dropDatabase();
        TpSQLConnection admin(QStringLiteral("conNetAdmin"));
        admin.SQLLoggingDisabled = true;
        admin.ConnectionString = server_;
        QString error;
        ASSERT_TRUE(admin.Open(&error)) << error.toStdString();
        ASSERT_TRUE(CreateDatabase(admin, dbName_, QString(), true)) << "the schema from the statement file";
        admin.Close();
        connection_ = AppendConnectionValue(server_, QStringLiteral("Initial Catalog"), dbName_);
        qputenv("CORVALUX_LOCK_DIR", locks_.path().toUtf8());
    }
    void TearDown() override
    {
        if (!dbName_.isEmpty())
            dropDatabase();
        qunsetenv("CORVALUX_LOCK_DIR");
        resetShellState();
    }

    void exec(const QString& sql)
    {
        TpSQLConnection c(QStringLiteral("conNetFixture"));
        c.SQLLoggingDisabled = true;
        c.ConnectionString = connection_;
        QString error;
        ASSERT_TRUE(c.Open(&error)) << error.toStdString();
        auto cmd = c.NewCommand(sql);
        ASSERT_TRUE(cmd->Execute(nullptr, &error)) << sql.toStdString() << ": " << error.toStdString();
    }

    void dropDatabase()
    {
        TpSQLConnection admin(QStringLiteral("conNetAdmin"));
        admin.SQLLoggingDisabled = true;
        admin.ConnectionString = server_;
        if (admin.Open())
            admin.NewCommand(QStringLiteral("DROP DATABASE IF EXISTS %1 WITH (FORCE)").arg(dbName_))->Execute();
    }

    void writeIni(const QString& home, const QString& lines)
    {
        writeFile(QDir(home).filePath(QStringLiteral("corvalux.ini")),
                  (QStringLiteral("[others]\none_instance_allowed=0\n") + lines
                   + QStringLiteral("[CONNECTION]\nCONNECTION_STRING=") + connection_ + u'\n')
                      .toUtf8());
    }

    QString server_, dbName_, connection_;
    QTemporaryDir locks_;
};

TEST_F(TwoInstances, AMasterPollsAndServesAndAClientFindsItThroughTheSharedDatabase)
{
    // The simulated device.
    VbtsimProcess sim;
    ASSERT_TRUE(sim.start(Scenario)) << sim.stderrText().toStdString();
    const int simPort = sim.port(QStringLiteral("room"));
    ASSERT_GT(simPort, 0);

    // One interface and one temperature/humidity sensor, the status page switched on.
    const quint16 linkPort = freePort(2);
    const quint16 webPort = freePort();
    ASSERT_NE(linkPort, 0);
    ASSERT_NE(webPort, 0);
    exec(QStringLiteral("INSERT INTO Probe_type (Probe_type_id, Probe_type_name, Server_type_code, Protocol_type_code, "
                        "IP, Port, Baudrate, Polling_interval, Probe_type_address, Is_used) VALUES "
                        "(1, 'room', 2, 1, '127.0.0.1', %1, 115200, 500, 1, 1)")
             .arg(simPort));
    exec(QStringLiteral("INSERT INTO Probe (Probe_id, Probe_name, Probe_type_id, Probe_address, Probe_is_used, "
                        "Sensor_type_code, Recording_rate, Sampling_rate, Relay_number) VALUES "
                        "(1, 'Szerverterem', 1, 5, 1, 4, 60000, 500, 1)"));
    exec(QStringLiteral("INSERT INTO Probe (Probe_id, Probe_name, Probe_type_id, Probe_address, Probe_is_used, "
                        "Sensor_type_code, Recording_rate, Sampling_rate, Relay_number) VALUES "
                        "(2, 'Tartalék klíma', 1, 20, 1, 8, 60000, 500, 3)"));
    exec(QStringLiteral("INSERT INTO Global_settings (Cfg_key, cfg_value) VALUES ('Use_WebSrv', '-1')"));
    exec(QStringLiteral("INSERT INTO Global_settings (Cfg_key, cfg_value) VALUES ('WebSrvPort', '%1')").arg(webPort));

    // The recording master.
    Program master(QStringLiteral("corvalux"));
    writeIni(master.dir.path(), QStringLiteral("TCPIP_PORT=%1\nSERVER_HOST=127.0.0.1\n").arg(linkPort));
    master.start({QStringLiteral("--home"), master.dir.path(), QStringLiteral("--headless")});
    ASSERT_TRUE(waitFor([&] { return master.says(QStringLiteral("starting as master app")); }, IoWaitMs))
        << master.output().toStdString();
    // The interfaces come from the acquisition model; a program without it loads none.
    ASSERT_TRUE(waitFor([&] {
        return master.says(QStringLiteral("csatoló beolvasva.")) || master.says(Msg("msgNoInterfacesDefined"));
    }, IoWaitMs)) << master.output().toStdString();
    if (!master.says(QStringLiteral("csatoló beolvasva.")))
        GTEST_SKIP() << "this build of corvalux does not load interfaces (acquisition not wired into the program)";

    // Its status page shows the polled values (after the first 10 s regeneration).
    std::string page;
    ASSERT_TRUE(waitFor([&] {
        httplib::Client http("127.0.0.1", webPort);
        auto r = http.Get("/");
        if (r && r->status == 200)
            page = r->body;
        return page.find(">22,5<") != std::string::npos && page.find(">45,2<") != std::string::npos;
    }, IoWaitMs)) << page << master.output().toStdString();
    EXPECT_NE(page.find("001: </span>Szerverterem"), std::string::npos);

    // What it pushes: the same values, to a client of this test.
    ProbeLists probes;
    ProbeBuilder b(probes);
    TProbe& iface = b.addInterface(1);
    b.addSensor(1, stTempHumidity, iface);
    b.addSensor(2, stRelayPanel, iface);
    std::map<int, double> pushed;
    qint64 latestMs = 0;  // the longest time from a measurement to its arrival here
    int values = 0;
    NetAcquisitionHooks hooks;
    hooks.setRemoteValue = [&](TProbe&, int l, const QDateTime& measured, double v, bool, bool, bool) {
        pushed[l] = v;
        ++values;
        latestMs = std::max(latestMs, measured.msecsTo(QDateTime::currentDateTime()));
    };
    QtTimeService time;
    TClientLink watcher(time, probes, qtNetSockets(), hooks);
    watcher.Open(QStringLiteral("127.0.0.1"), linkPort);
    ASSERT_TRUE(waitFor([&] { return watcher.Connected(); }, IoWaitMs));
    ASSERT_TRUE(waitFor([&] { return pushed.count(mtT) && pushed.count(mtH); }, IoWaitMs))
        << master.output().toStdString();
    EXPECT_DOUBLE_EQ(pushed[mtT], 22.5);
    EXPECT_DOUBLE_EQ(pushed[mtH], 45.2);
    // Every value pushed reaches a client within 2.5 s of its measurement.
    const int before = values;
    ASSERT_TRUE(waitFor([&] { return values >= before + 20; }, IoWaitMs)) << master.output().toStdString();
    EXPECT_LE(latestMs, 2500);

    // A relay switched from a client: the master sends the command, the device obeys.
    ASSERT_TRUE(watcher.SendRelaySwitch(2, true));
    ASSERT_TRUE(waitFor([&] { return sim.stderrText().contains(QStringLiteral("relay 3 switched on")); }, IoWaitMs))
        << sim.stderrText().toStdString();

    // A client instance on the same database connects to the master it finds there.
    Program client(QStringLiteral("corvalux"));
    writeIni(client.dir.path(), QStringLiteral("CLIENTMODE=1\nTCPIP_PORT=%1\nSERVER_HOST=127.0.0.2\n").arg(linkPort));
    client.start({QStringLiteral("--home"), client.dir.path(), QStringLiteral("--headless")});
    ASSERT_TRUE(waitFor([&] {
        return client.says(QStringLiteral("Kapcsolódtam az adatrögzítő Corvaluxhoz (127.0.0.1:%1)").arg(linkPort));
    }, IoWaitMs)) << client.output().toStdString();
    EXPECT_TRUE(client.says(QStringLiteral("Registered master host: 127.0.0.1")));
    EXPECT_TRUE(master.says(QStringLiteral("(összesen 2 aktív kapcsolat)")));
    EXPECT_FALSE(client.says(QStringLiteral("HTML-port"))) << "a client never serves the page";
    // The master's next push reaches the client instance.
    ASSERT_TRUE(waitFor([&] {
        return client.says(QStringLiteral("Megérkeztek az első mérési értékek az adatrögzítő Corvaluxtól."));
    }, IoWaitMs)) << client.output().toStdString();

    // The master restarts everything (as after a change of settings): its clients are
    // told to restart, do so and connect again.
    const QString connected = QStringLiteral("Kapcsolódtam az adatrögzítő Corvaluxhoz (127.0.0.1:%1)").arg(linkPort);
    ::kill(pid_t(master.process.processId()), SIGHUP);
    ASSERT_TRUE(waitFor([&] { return client.says(Msg("msgRestartingCmd")); }, IoWaitMs))
        << client.output().toStdString();
    ASSERT_TRUE(waitFor([&] { return client.output().count(connected) >= 2; }, IoWaitMs))
        << client.output().toStdString();

    // The master goes away: the client notices and waits for a new one.
    master.stop();
    ASSERT_TRUE(waitFor([&] {
        return client.says(QStringLiteral("A kapcsolat az adatrögzítő Corvaluxval megszakadt."));
    }, IoWaitMs)) << client.output().toStdString();
    EXPECT_TRUE(client.says(QStringLiteral("Az adatrögzítő Corvalux megszakította a kapcsolatot")))
        << "the warning reaches the log";
    // A master started again is found by the client's reconnect (every 20 s).
    Program master2(QStringLiteral("corvalux"));
    writeIni(master2.dir.path(), QStringLiteral("TCPIP_PORT=%1\nSERVER_HOST=127.0.0.1\n").arg(linkPort));
    master2.start({QStringLiteral("--home"), master2.dir.path(), QStringLiteral("--headless")});
    ASSERT_TRUE(waitFor([&] { return client.output().count(connected) >= 3; }, IoWaitMs))
        << client.output().toStdString();
    master2.stop();
    client.stop();
    sim.stop();
}

} // namespace
} // namespace cvx::test
