// The start, stop and restart sequences on a real local database, headless.
#include "app/activity_supervision.h"
#include "app/shell_controller.h"

#include "shell/app_paths.h"
#include "shell/catalogue.h"
#include "shell/shell_state.h"
#include "shell/warnings.h"
#include "store/connection_string.h"
#include "store/data_module.h"
#include "test_support.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace cvx;

namespace {

class ShellControllerTest : public ::testing::Test {
protected:
    test::TempHome home;
    QTemporaryDir locks;
    test::VirtualProcessTime vt;
    ManualTimeService& time = vt.time();
    test::CapturedMainLog log;
    test::ScriptedDialogScope dialogs;
    std::unique_ptr<ShellController> shell;
    std::vector<std::string> calls;

    void SetUp() override
    {
        resetShellState();
        warningPanel().reset();
        qputenv("CORVALUX_LOCK_DIR", locks.path().toUtf8());
    }
    void TearDown() override
    {
        shell.reset();
        qunsetenv("CORVALUX_LOCK_DIR");
        resetShellState();
    }

    QString connection() const { return LocalConnectionString(home.file("corvalux.db")); }
    void writeIni(const QString& otherLines)
    {
        test::writeFile(home.iniPath(), ("[others]\none_instance_allowed=0\n" + otherLines
                                         + "[CONNECTION]\nCONNECTION_STRING=" + connection() + "\n")
                                            .toUtf8());
    }

    void start(QStringList args = {"corvalux"}, bool runFirstTicks = true)
    {
        shell = std::make_unique<ShellController>(time, ShellController::Options{args, true});
        ShellSubsystems& sub = shell->subsystems();
        sub.reloadEvents = [this] { calls.push_back("reloadEvents"); };
        sub.loadAll = [this] {
            calls.push_back("loadAll");
            auto i = std::make_unique<TProbe>();
            i->Id = 1;
            i->PollInterval = 6000;
            shell->Probes().Interfaces.push_back(std::move(i));
        };
        sub.startAll = [this] { calls.push_back("startAll"); };
        sub.setUpWatchdog = [this] { calls.push_back("setUpWatchdog"); };
        sub.setUpSockets = [this] { calls.push_back("setUpSockets"); };
        sub.setUpWebServer = [this] { calls.push_back("setUpWebServer"); };
        sub.sendRestartToClients = [this] { calls.push_back("sendRestartToClients"); };
        sub.closeSockets = [this] { calls.push_back("closeSockets"); };
        sub.destroyEventsAndTasks = [this] { calls.push_back("destroyEventsAndTasks"); };
        ASSERT_TRUE(shell->ProgramEntry());
        shell->FormCreate();
        if (!runFirstTicks)
            return;
        time.advance(10);   // ProgramInit
        time.advance(100);  // user settings and StartAll
    }

    QString setting(const QString& key) { return shell->DataModule().ReadGlobalSetting(key); }
};

} // namespace

TEST_F(ShellControllerTest, NewLocalDatabaseMakesARegisteredRecordingMaster)
{
    writeIni("");
    start();
    const ShellState& s = shellState();
    EXPECT_TRUE(s.DbConnected);
    EXPECT_TRUE(s.UsingJet);
    EXPECT_TRUE(s.MasterMode);
    EXPECT_TRUE(s.Initialised);
    EXPECT_TRUE(QFile::exists(home.file("corvalux.db")));
    EXPECT_EQ(setting("Master_apps_IP"), s.ConfiguredHost);
    EXPECT_EQ(setting("Min_poll_time"), "6000");
    EXPECT_TRUE(log.contains("No master app registered - starting as master app."));
    EXPECT_TRUE(log.contains("Running on local MDB."));
    EXPECT_EQ(shell->Title(), "Corvalux - " + Msg("labRecModeCaption") + " ");
    // The order of the sequence: sockets and web server with the mode decision, then
    // events before interfaces, the watchdog after them, acquisition last.
    EXPECT_EQ(calls, (std::vector<std::string>{"setUpSockets", "setUpWebServer", "reloadEvents", "loadAll",
                                               "setUpWatchdog", "startAll"}));
    EXPECT_TRUE(shell->Activity().Running());
}

TEST_F(ShellControllerTest, NewWorkingFolderKeepsMeasurementWritesOutOfTheSqlLog)
{
    writeIni("");
    start();
    const QString filter = test::readFile(home.file("SQLLog.filter"));
    EXPECT_TRUE(filter.contains("INSERT INTO Measure ("));
    EXPECT_TRUE(filter.contains("UPDATE Measure SET"));
    // Other statements are still logged.
    EXPECT_TRUE(test::readFile(home.file("Log/SQLLog.log")).contains("Global_settings"));
    // A filter the user wrote is left alone.
    test::writeFile(home.file("SQLLog.filter"), "Probe\n");
    shell.reset();
    start();
    EXPECT_EQ(test::readFile(home.file("SQLLog.filter")), "Probe\n");
}

TEST_F(ShellControllerTest, RegisteredOtherMasterMakesAClient)
{
    writeIni("");
    start();
    shell->StopAll(); // a stopping master clears its registration; another one registers
    TfDM& dm = shell->DataModule();
    ASSERT_TRUE(dm.OpenMainConnection(connection()));
    dm.WriteGlobalSetting("Master_apps_IP", "192.0.2.77");
    dm.CloseMainConnection();
    shell->RestartAll();
    EXPECT_FALSE(shellState().MasterMode);
    EXPECT_TRUE(log.contains("Master app registered with different IP address - starting as client app."));
    EXPECT_EQ(setting("Min_poll_time"), "6000"); // the client reads it, does not write
    EXPECT_EQ(shell->MonitoringInterval(), 6000);
    EXPECT_EQ(shell->Title(), "Corvalux - " + Msg("labMonModeCaption") + " ");
}

TEST_F(ShellControllerTest, StopAllOnMasterTellsClientsThenClearsRegistration)
{
    writeIni("");
    start();
    calls.clear();
    shell->StopAll();
    EXPECT_EQ(calls, (std::vector<std::string>{"sendRestartToClients", "closeSockets", "destroyEventsAndTasks"}));
    EXPECT_FALSE(shellState().DbConnected);
    EXPECT_TRUE(shellState().NoProbes);
    EXPECT_TRUE(shell->Probes().Interfaces.empty());
    EXPECT_FALSE(shell->Activity().Running());
    // RestartAll registers again, because no master is registered any more.
    shell->RestartAll();
    EXPECT_TRUE(shellState().MasterMode);
    EXPECT_EQ(setting("Master_apps_IP"), shellState().ConfiguredHost);
    EXPECT_TRUE(log.contains("No master app registered"));
}

TEST_F(ShellControllerTest, ForcedClientModeWinsEvenWithoutMaster)
{
    writeIni("CLIENTMODE=1\n");
    start();
    EXPECT_FALSE(shellState().MasterMode);
    EXPECT_TRUE(log.contains("Forced client mode - starting as client app."));
    ASSERT_FALSE(dialogs.dialogs().shownMessages.isEmpty());
    EXPECT_TRUE(dialogs.dialogs().shownMessages.contains(Msg("msgMonModeWithoutRecSrv")));
    EXPECT_EQ(setting("Master_apps_IP"), "");
}

TEST_F(ShellControllerTest, EmptyConnectionRunsFromTheIniFileAndWritesNoDatabase)
{
    test::writeFile(home.iniPath(), "[others]\none_instance_allowed=0\n");
    dialogs.dialogs().answers = {mrNo};
    start();
    EXPECT_FALSE(shellState().DbConnected);
    EXPECT_EQ(dialogs.dialogs().askedQuestions.value(0), Msg("msgNoDefaultConnection"));
    EXPECT_TRUE(log.contains(Msg("msgIniFileModeLoadingIni")));
    EXPECT_EQ(shell->Title(), "Corvalux - " + Msg("labNoDBConnection") + " ");
    EXPECT_FALSE(QFile::exists(home.file("corvalux.db")));
}

TEST_F(ShellControllerTest, CsvLogOpensOnlyOnMasterWhenSwitchedOn)
{
    writeIni("");
    start();
    EXPECT_FALSE(shell->CsvLogOpen());
    EXPECT_TRUE(log.contains(Msg("msgCSVOff")));
    shell->DataModule().WriteGlobalSetting("CSV_Log", "-1");
    QIODevice* handed = nullptr;
    shell->subsystems().csvLogChanged = [&](QIODevice* d) { handed = d; };
    shell->RestartAll();
    EXPECT_TRUE(shell->CsvLogOpen());
    EXPECT_NE(handed, nullptr);
    EXPECT_TRUE(QFile::exists(AppPaths::csvPath()));
    shell->StopAll();
    EXPECT_EQ(handed, nullptr);
}

TEST_F(ShellControllerTest, WorkspaceIsSavedAndRestoredPerUser)
{
    writeIni("");
    start();
    shell->workspace().mainX = 123;
    warningPanel().setMenuAlertsEnabled(false);
    shell->SaveWorkspace();
    EXPECT_EQ(shell->DataModule().ReadUserSetting("main_posx"), "123");
    EXPECT_EQ(shell->DataModule().ReadUserSetting("main_Alerts_enabled"), "0");
    warningPanel().setMenuAlertsEnabled(true);
    shell->workspace().mainX = 0;
    shell->SetUpUserSettings();
    EXPECT_EQ(shell->workspace().mainX, 123);
    EXPECT_FALSE(warningPanel().menuAlertsEnabled());
    warningPanel().reset();
}

struct ServiceDelayCase {
    int delaySecs;
};

void PrintTo(const ServiceDelayCase& c, std::ostream* os) { *os << c.delaySecs << " s"; }

class ServiceStartTest : public ShellControllerTest, public ::testing::WithParamInterface<ServiceDelayCase> {};

TEST_P(ServiceStartTest, ServiceHostLoadsNothingUntilItsDelayHasPassed)
{
    const int delay = GetParam().delaySecs;
    writeIni(QStringLiteral("ServiceStartDelaySecs=%1\n").arg(delay));
    start({"corvalux", "--service"}, false);
    EXPECT_TRUE(shellState().RunningAsService);
    if (delay > 0) {
        time.advance(delay * 1000 - 1);
        EXPECT_TRUE(calls.empty());
        EXPECT_FALSE(shellState().Initialised);
    }
    time.advance(1);
    EXPECT_TRUE(shellState().Initialised);
    // A service host always records and registers itself.
    EXPECT_TRUE(shellState().MasterMode);
    EXPECT_TRUE(log.contains("Running as service - starting as master app and updating registered master IP."));
    EXPECT_EQ(shell->Title(), Msg("labCVXSrvWinCaption") + " - " + Msg("labRecModeCaption") + " ");
}

INSTANTIATE_TEST_SUITE_P(Delays, ServiceStartTest, ::testing::Values(ServiceDelayCase{20}, ServiceDelayCase{0}));

TEST_F(ShellControllerTest, ForcedClientModeIsNeverAServiceHost)
{
    writeIni("CLIENTMODE=1\n");
    start({"corvalux", "--service"});
    EXPECT_FALSE(shellState().RunningAsService);
    EXPECT_FALSE(shellState().MasterMode);
}

TEST_F(ShellControllerTest, RestartOrderedByMasterWaitsForDialogs)
{
    writeIni("");
    start();
    shellState().ModalOpen = true;
    shell->RestartOrderedByMaster();
    time.advance(500);
    EXPECT_FALSE(log.contains(Msg("msgRestartAll")));
    shellState().ModalOpen = false;
    time.advance(100);
    EXPECT_TRUE(log.contains(Msg("msgRestartAll")));
    EXPECT_TRUE(dialogs.dialogs().shownMessages.contains(Msg("msgRestartingCmd")));
}
