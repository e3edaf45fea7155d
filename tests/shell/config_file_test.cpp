#include "shell/config_file.h"
#include "shell/ini_file.h"
#include "shell/shell_state.h"
#include "test_support.h"

#include <gtest/gtest.h>

using namespace cvx;

TEST(ConfigFile, FirstStartWritesEveryDefault)
{
    test::TempHome home;
    test::CapturedMainLog log;
    const StartupValues sv = ReadStartupValues();
    EXPECT_TRUE(sv.oneInstanceAllowed);
    EXPECT_EQ(sv.languageId, 1038);
    EXPECT_FALSE(sv.clientMode);
    ShellState s;
    EXPECT_EQ(ReadConnectionAndOthers(s), "");
    ReadLogSwitches(s);
    EXPECT_EQ(ReadServiceStartDelaySecs(), 20);

    const QString text = test::readFile(home.iniPath());
    for (const char* line :
         {"one_instance_allowed=1", "LANGUAGE_ID=1038", "CLIENTMODE=0", "INACTIVITY_FACTOR=2", "TCPIP_PORT=11110",
          "VALIDITY_CHECK=0", "CHANGE_POSTGRE_BSS=1", "Restart_everything_interval_minutes=3600000",
          "White_background_on_graphs=0", "UseVBTWAddresses=0", "DevHub_kliens=0", "SERVER_HOST=",
          "JUST_INSTALLED=0", "ServiceStartDelaySecs=20", "CONNECTION_STRING=", "LOG_SQL=0",
          "LOG_SENSOR_SETTINGS=0", "LOG_EVENTS=0", "LOG_COMM=0", "LOG_POLL=0"})
        EXPECT_TRUE(text.contains(QString::fromLatin1(line) + "\n")) << line;
    EXPECT_EQ(s.TCPIP_PORT, 11110);
    EXPECT_TRUE(s.CHANGE_POSTGRE_BSS);
    EXPECT_EQ(s.Restart_everything_interval_minutes, 3600000);
    EXPECT_TRUE(log.contains("11110"));
}

TEST(ConfigFile, BadPortIsRewrittenAtNextStart)
{
    test::TempHome home;
    test::writeFile(home.iniPath(), "[OTHERS]\nTCPIP_PORT=abc\n");
    ShellState s;
    ReadConnectionAndOthers(s);
    EXPECT_EQ(s.TCPIP_PORT, 11110);
    EXPECT_TRUE(test::readFile(home.iniPath()).contains("TCPIP_PORT=11110\n"));
}

TEST(ConfigFile, IniModeEntriesAreNumberedFromOneAndEndAtFirstMissingName)
{
    test::TempHome home;
    test::writeFile(home.iniPath(), "[INTERFACES]\nINTERFACE1_NAME=Szerver\nINTERFACE1_TIPUS=4\nINTERFACE1_IP=1.2.3.4\n"
                                    "INTERFACE2_NAME=Raktár\nINTERFACE2_PORT=1002\n"
                                    "[SENSORS]\nSENSOR1_NAME=T1\nSENSOR1_INTERFACE=2\nSENSOR2_NAME=\n");
    IniInterfaceEntry i1, i2, i3;
    ASSERT_TRUE(ReadIniInterface(1, &i1));
    ASSERT_TRUE(ReadIniInterface(2, &i2));
    EXPECT_FALSE(ReadIniInterface(3, &i3));
    EXPECT_EQ(i1.serverType, 4);
    EXPECT_EQ(i1.ip, ""); // a serial bridge has no host
    EXPECT_EQ(i2.name, QString::fromUtf8("Raktár"));
    EXPECT_EQ(i2.port, 1002);
    EXPECT_EQ(i2.interval, 6000);
    EXPECT_EQ(i2.baud, 115200);
    IniSensorEntry s1, s2;
    ASSERT_TRUE(ReadIniSensor(1, &s1));
    EXPECT_EQ(s1.interfaceNumber, 2);
    EXPECT_EQ(s1.type, 4);
    EXPECT_FALSE(ReadIniSensor(2, &s2));
    // The defaults of read entries were completed; no empty entry 3 was added.
    const QString text = test::readFile(home.iniPath());
    EXPECT_TRUE(text.contains("INTERFACE2_ADDRESS=1\n"));
    EXPECT_FALSE(text.contains("INTERFACE3"));
}
