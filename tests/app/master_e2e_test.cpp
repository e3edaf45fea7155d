// The recording master as a real process against the simulator: what it records, that
// a data logger's records missed while the master was down are stored exactly once, and
// the CSV log. Real processes and real time (the run waits for real I/O, never for a
// protocol timer of its own).
#include "../store/store_test_support.h"

#include "store/sql_query.h"
#include "test_support.h"
#include "vbtsim_process.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>

using namespace cvx;
using namespace cvx::test;

namespace {

const char* kScenario = R"({
  "name": "master-e2e",
  "interfaces": [
    {"name": "room", "protocol": "VBT", "tcp": {"port": 0}, "devices": [
      {"name": "rack", "address": 5, "type": 4, "values": {"T": 21.5, "H": 40.0}}]},
    {"name": "bridge", "protocol": "VBTW", "tcp": {"port": 0}, "devices": [
      {"name": "store", "address": 5, "type": 1, "values": {"T": {"curve": "ramp", "from": -20.0, "to": -10.0, "period": 600}}},
      {"name": "logger", "kind": "logger", "address": 249, "interval": 2, "sensors": ["store"],
       "capacity": 500, "prefill": 8}]}
  ]})";

// corvalux as a headless master on the given database, in a working folder and lock
// folder of its own.
class MasterProcess {
public:
    explicit MasterProcess(const QString& connectionString)
    {
        writeFile(home_.filePath("corvalux.ini"),
                  ("[others]\none_instance_allowed=0\n[CONNECTION]\nCONNECTION_STRING=" + connectionString + "\n")
                      .toUtf8());
    }
    ~MasterProcess() { stop(); }

    void start()
    {
        p_ = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("CORVALUX_LOCK_DIR", lockDir_.path());
        p_->setProcessEnvironment(env);
        p_->setProgram(binDir() + "/corvalux");
        p_->setArguments({"--home", home_.path(), "--headless"});
        p_->setProcessChannelMode(QProcess::MergedChannels);
        p_->start();
        ASSERT_TRUE(p_->waitForStarted(10000));
        out_.clear();
    }
    // Waits for real output of the process; the count of occurrences seen so far.
    bool waitFor(const QString& fragment, int occurrences = 1, int ms = 30000)
    {
        QDeadlineTimer deadline(ms);
        while (!deadline.hasExpired()) {
            out_ += QString::fromUtf8(p_->readAll());
            if (out_.count(fragment) >= occurrences)
                return true;
            if (!p_->waitForReadyRead(200) && p_->state() != QProcess::Running)
                break;
        }
        out_ += QString::fromUtf8(p_->readAll());
        return out_.count(fragment) >= occurrences;
    }
    void kill9()
    {
        ::kill(pid_t(p_->processId()), SIGKILL);
        p_->waitForFinished(10000);
    }
    void stop()
    {
        if (!p_ || p_->state() == QProcess::NotRunning)
            return;
        ::kill(pid_t(p_->processId()), SIGTERM);
        if (!p_->waitForFinished(20000))
            kill9();
    }
    int exitCode() const { return p_->exitCode(); }
    QString homeFile(const QString& name) const { return home_.filePath(name); }
    const QString& output() const { return out_; }

private:
    QTemporaryDir home_, lockDir_;
    std::unique_ptr<QProcess> p_;
    QString out_;
};

class MasterEndToEnd : public ::testing::TestWithParam<DbEngine> {};

TEST_P(MasterEndToEnd, RecordsTheScenarioAndMissesNoLoggerRecordAcrossAKill)
{
    CVX_REQUIRE_ENGINE(GetParam());
    TestDatabase db(GetParam());
    ASSERT_TRUE(db.ok()) << db.error().toStdString();
    BuildFresh(db);

    VbtsimProcess sim;
    ASSERT_TRUE(sim.start(kScenario)) << sim.stderrText().toStdString();
    db.exec(QStringLiteral(
                "INSERT INTO Probe_type (Probe_type_id, Probe_type_name, Server_type_code, Protocol_type_code, IP, Port, "
                "Baudrate, Polling_interval, Probe_type_address, Is_used, Relekezeles, Last_RecID) VALUES "
                "(1, 'Room', 1, 1, '127.0.0.1', %1, 115200, 1000, 1, 1, 0, 0);"
                "INSERT INTO Probe_type (Probe_type_id, Probe_type_name, Server_type_code, Protocol_type_code, IP, Port, "
                "Baudrate, Polling_interval, Probe_type_address, Is_used, Relekezeles, Last_RecID) VALUES "
                "(2, 'Bridge', 3, 4, '127.0.0.1', %2, 115200, 2000, 249, 1, 0, 0);"
                "INSERT INTO Probe (Probe_id, Probe_name, Probe_type_id, Probe_address, Probe_is_used, Recording_rate, "
                "Sampling_rate, Sensor_type_code, Relay_number) VALUES (1, 'Rack', 1, 5, 1, 60000, 1000, 4, 1);"
                "INSERT INTO Probe (Probe_id, Probe_name, Probe_type_id, Probe_address, Probe_is_used, Recording_rate, "
                "Sampling_rate, Sensor_type_code, Relay_number) VALUES (2, 'Store', 2, 5, 1, 0, 2000, 1, 1);"
                "INSERT INTO Global_settings (Cfg_key, Cfg_value) VALUES ('CSV_Log', '-1')")
                .arg(sim.port("room"))
                .arg(sim.port("bridge")));

    MasterProcess master(db.connectionString());

    // First run: the logger's stored records are downloaded, live records follow.
    master.start();
    ASSERT_TRUE(master.waitFor("új rekord letöltve.")) << master.output().toStdString();
    // Two live records after the download.
    ASSERT_TRUE(master.waitFor("Store ", int(master.output().count("Store ")) + 2)) << master.output().toStdString();
    ASSERT_TRUE(master.waitFor("Rack ")) << master.output().toStdString();
    // The newest record of the simulated logger, from its status.
    const auto loggerLastRecord = [&sim] {
        static const QRegularExpression records(QStringLiteral("records \\d+\\.\\.(\\d+)"));
        for (const QString& line : sim.control(QStringLiteral("status")))
            if (const auto m = records.match(line); m.hasMatch())
                return m.captured(1).toInt();
        return -1;
    };
    const int atKill = loggerLastRecord();
    ASSERT_GT(atKill, 0);
    master.kill9();

    // The logger goes on recording on its own clock while nobody listens.
    ASSERT_TRUE(waitFor([&] { return loggerLastRecord() >= atKill + 3; }, 30000));

    // Second run: the gap is downloaded, then the master is stopped cleanly.
    master.start();
    ASSERT_TRUE(master.waitFor("új rekord letöltve.")) << master.output().toStdString();
    const int downloaded = int(master.output().count("Store "));
    ASSERT_TRUE(master.waitFor("Store ", downloaded + 2)) << master.output().toStdString();
    master.stop();
    // Only what was missed came down the second time.
    EXPECT_LT(downloaded, 8);
    EXPECT_EQ(master.exitCode(), 0);

    auto c = db.open();
    // The live sensor: its scenario values, raw.
    EXPECT_EQ(Scalar(*c, "SELECT Measure_value FROM Measure WHERE Probe_id=1 AND Measure_type_code=1").toString(),
              "2150");
    EXPECT_EQ(Scalar(*c, "SELECT Measure_value FROM Measure WHERE Probe_id=1 AND Measure_type_code=2").toString(),
              "400");
    // The logger's sensor: one row per record (record identifiers run 1, 2, ...), none twice.
    TpSQLQuery q(c.get(), "SELECT Measure_datetime FROM Measure WHERE Probe_id=2 AND Measure_type_code=1 "
                          "ORDER BY Measure_datetime");
    ASSERT_TRUE(q.Open());
    QList<QDateTime> times;
    for (; !q.Eof(); q.Next())
        times << q.AsDateTime("Measure_datetime");
    // The stored records of the first start and those made while the master was away.
    ASSERT_GE(times.size(), 8 + 3);
    QString all;
    for (const QDateTime& t : times)
        all += t.toString("hh:mm:ss.zzz ");
    SCOPED_TRACE(all.toStdString());
    SCOPED_TRACE(master.output().toStdString());
    for (int i = 1; i < times.size(); ++i)
        EXPECT_GE(times[i - 1].msecsTo(times[i]), 1500) << "duplicate near " << times[i].toString().toStdString();
    EXPECT_EQ(Scalar(*c, "SELECT Last_RecID FROM Probe_type WHERE Probe_type_id=2").toLongLong(),
              qint64(times.size()));
    // The CSV log has the measurement lines.
    const QString csv = readFile(master.homeFile("corvalux.csv"));
    EXPECT_TRUE(csv.contains("Rack\t") && csv.contains("T21,5\tH40")) << csv.left(400).toStdString();
    EXPECT_TRUE(csv.contains("Store\t"));
}

// An alarm from a threshold crossed in a running master: the e-mail task aside, the SMS
// leaves through the GSM device and the relay held by the event is switched on.
TEST(MasterAlarmEndToEnd, ThresholdCrossedSendsTheSmsAndHoldsTheRelay)
{
    TestDatabase db(DbEngine::LocalFile);
    ASSERT_TRUE(db.ok()) << db.error().toStdString();
    BuildFresh(db);
    QTemporaryDir simDir;
    const QString smsFile = simDir.filePath("sms.jsonl");
    VbtsimProcess sim;
    ASSERT_TRUE(sim.start(QStringLiteral(R"({"name": "alarm", "interfaces": [
      {"name": "room", "protocol": "VBT", "tcp": {"port": 0}, "devices": [
        {"name": "rack", "address": 5, "type": 4, "values": {"T": 31.25, "H": 40.0}},
        {"name": "relays", "address": 20, "type": 8, "relays": 4, "powerOn": [0, 0, 0, 0]}]},
      {"name": "gsmbox", "protocol": "VBT", "tcp": {"port": 0}, "devices": [
        {"name": "gsm", "kind": "watchdog", "address": 249, "checkInterval": 60, "failures": 3,
         "enabled": false, "smsFile": "%1"}]}]})")
                              .arg(smsFile)
                              .toUtf8()))
        << sim.stderrText().toStdString();
    db.exec(QStringLiteral(
                "INSERT INTO Probe_type (Probe_type_id, Probe_type_name, Server_type_code, Protocol_type_code, IP, Port, "
                "Baudrate, Polling_interval, Probe_type_address, Is_used, Relekezeles, Last_RecID) VALUES "
                "(1, 'Room', 1, 1, '127.0.0.1', %1, 115200, 1000, 1, 1, 0, 0);"
                "INSERT INTO Probe (Probe_id, Probe_name, Probe_type_id, Probe_address, Probe_is_used, Recording_rate, "
                "Sampling_rate, Sensor_type_code, Relay_number) VALUES (1, 'Rack', 1, 5, 1, 60000, 1000, 4, 1);"
                "INSERT INTO Probe (Probe_id, Probe_name, Probe_type_id, Probe_address, Probe_is_used, Recording_rate, "
                "Sampling_rate, Sensor_type_code, Relay_number) VALUES (2, 'Spare cooling', 1, 20, 1, 60000, 1000, 8, 2);"
                "INSERT INTO Threshold (Threshold_id, Measure_type_code, Threshold_value, Threshold_type_code) VALUES "
                "(1, 1, 25, 1);"
                "INSERT INTO Threshold (Threshold_id, Measure_type_code, Threshold_value, Threshold_type_code) VALUES "
                "(2, 1, 24, 2);"
                "INSERT INTO Task (Task_id, Task_name, Task_type_code, Relay_list, Event_list, Message_destination, "
                "Message_text) VALUES (1, 'hold', 6, '2', '', '', '');"
                "INSERT INTO Task (Task_id, Task_name, Task_type_code, Relay_list, Event_list, Message_destination, "
                "Message_text) VALUES (2, 'sms', 2, '', '', '+36301234567', 'Rack: %f fok');"
                "INSERT INTO Event (Event_id, Event_name, Event_is_used, Condition_type_code, Condition_type_code2, "
                "Threshold_id, Threshold_id2, Sustain, Sustain2, Sensor_list, Sensor_list2, Task_list, Task_list2, "
                "Limit_enabled, EvLimit, Limit_interval, Sound_enabled, Limit_time) VALUES "
                "(1, 'Overheating', 1, 1, 1, 1, 2, 0, 0, '1', '1', '1,2', '', 0, 2, 60, 0, 0);"
                "INSERT INTO Global_settings (Cfg_key, Cfg_value) VALUES ('Use_SMSHw', '-1');"
                "INSERT INTO Global_settings (Cfg_key, Cfg_value) VALUES ('WatchdogType', '2');"
                "INSERT INTO Global_settings (Cfg_key, Cfg_value) VALUES ('SMSTcpHost', '127.0.0.1');"
                "INSERT INTO Global_settings (Cfg_key, Cfg_value) VALUES ('SMSTcpPort', '%2');"
                "INSERT INTO Global_settings (Cfg_key, Cfg_value) VALUES ('SMSTcpAddr', '249')")
                .arg(sim.port("room"))
                .arg(sim.port("gsmbox")));
    MasterProcess master(db.connectionString());
    master.start();
    ASSERT_TRUE(master.waitFor("Rack ")) << master.output().toStdString();
    // The SMS reaches the device with the measured value in its text.
    QDeadlineTimer deadline(30000);
    QString sms;
    while (!deadline.hasExpired() && !sms.contains("Rack: 31,25 fok")) {
        master.waitFor("never printed", 1, 200);
        sms = readFile(smsFile);
    }
    EXPECT_TRUE(sms.contains("\"number\":\"+36301234567\"")) << sms.toStdString();
    EXPECT_TRUE(sms.contains("Rack: 31,25 fok")) << sms.toStdString() << master.output().toStdString();
    // The held relay (relay number 2) was switched on in the device: the master's own
    // panel polls read it back as on into the relay's newest row.
    auto c = db.open();
    auto relayOnRows = [&] {
        return Scalar(*c, "SELECT COUNT(*) FROM Measure WHERE Probe_id=2 AND Measure_type_code=5 AND "
                          "Measure_value='1'")
            .toInt();
    };
    QDeadlineTimer relayDeadline(30000);
    while (!relayDeadline.hasExpired() && relayOnRows() == 0)
        master.waitFor("never printed", 1, 200);
    EXPECT_GT(relayOnRows(), 0) << master.output().toStdString();
    master.stop();
    EXPECT_EQ(master.exitCode(), 0);
}

INSTANTIATE_TEST_SUITE_P(Engines, MasterEndToEnd, ::testing::Values(DbEngine::LocalFile, DbEngine::PostgreSql),
                         [](const auto& info) { return std::string(EngineName(info.param)); });

} // namespace
