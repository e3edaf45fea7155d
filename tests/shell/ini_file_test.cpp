#include "shell/ini_file.h"
#include "test_support.h"

#include <gtest/gtest.h>

using namespace cvx;
using cvx::test::readFile;
using cvx::test::writeFile;

class IniFileTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString path = dir.filePath("corvalux.ini");
};

TEST_F(IniFileTest, MissingKeyIsWrittenBackWithItsDefault)
{
    TCreateMissingValuesIni ini(path);
    EXPECT_EQ(ini.ReadInteger("OTHERS", "TCPIP_PORT", 11110), 11110);
    EXPECT_EQ(ini.ReadString("CONNECTION", "CONNECTION_STRING", ""), "");
    EXPECT_TRUE(ini.ReadBool("others", "one_instance_allowed", true));
    const QString text = readFile(path);
    EXPECT_TRUE(text.contains("[OTHERS]\nTCPIP_PORT=11110\n"));
    EXPECT_TRUE(text.contains("[CONNECTION]\nCONNECTION_STRING=\n"));
    EXPECT_TRUE(text.contains("one_instance_allowed=1"));
}

TEST_F(IniFileTest, UnconvertibleIntegerIsRewrittenWithDefault)
{
    writeFile(path, "[OTHERS]\nTCPIP_PORT=abc\nINACTIVITY_FACTOR=3\n");
    TCreateMissingValuesIni ini(path);
    EXPECT_EQ(ini.ReadInteger("OTHERS", "TCPIP_PORT", 11110), 11110);
    EXPECT_EQ(ini.ReadInteger("OTHERS", "INACTIVITY_FACTOR", 2), 3);
    EXPECT_EQ(readFile(path), "[OTHERS]\nTCPIP_PORT=11110\nINACTIVITY_FACTOR=3\n");
}

TEST_F(IniFileTest, SectionsAndKeysIgnoreLetterCase)
{
    TCreateMissingValuesIni ini(path);
    ini.WriteInteger("others", "LANGUAGE_ID", 1033);
    ini.WriteBool("OTHERS", "clientmode", true);
    EXPECT_EQ(ini.ReadInteger("OTHERS", "language_id", 1038), 1033);
    EXPECT_TRUE(ini.ReadBool("Others", "CLIENTMODE", false));
    // One section, not two.
    EXPECT_EQ(readFile(path).count("[", Qt::CaseInsensitive), 1);
}

struct BoolCase {
    const char* stored;
    bool defaultValue;
    bool expected;
    const char* afterRead;
};

void PrintTo(const BoolCase& c, std::ostream* os)
{
    *os << "stored '" << c.stored << "' default " << c.defaultValue;
}

class IniBoolTest : public IniFileTest, public ::testing::WithParamInterface<BoolCase> {};

TEST_P(IniBoolTest, OnlyOneIsTrueAndNonNumbersTakeTheDefault)
{
    const BoolCase c = GetParam();
    writeFile(path, QByteArray("[LOG]\nLOG_SQL=") + c.stored + "\n");
    TCreateMissingValuesIni ini(path);
    EXPECT_EQ(ini.ReadBool("LOG", "LOG_SQL", c.defaultValue), c.expected);
    EXPECT_EQ(readFile(path), QString("[LOG]\nLOG_SQL=") + c.afterRead + "\n");
}

INSTANTIATE_TEST_SUITE_P(Values, IniBoolTest,
                         ::testing::Values(BoolCase{"1", false, true, "1"}, BoolCase{"0", true, false, "0"},
                                           BoolCase{"2", true, false, "2"}, BoolCase{"true", false, false, "0"},
                                           BoolCase{"true", true, true, "1"}, BoolCase{"-1", false, false, "0"},
                                           BoolCase{"", true, true, "1"}));

TEST_F(IniFileTest, LineBreaksRoundTripThroughEscapes)
{
    const QString value = "Provider=PostgreSQL;\r\nData Source=db\rx\ny";
    {
        TCreateMissingValuesIni ini(path);
        ini.WriteString("CONNECTION", "CONNECTION_STRING", value);
    }
    EXPECT_TRUE(readFile(path).contains("Provider=PostgreSQL;_CRLF_Data Source=db_CR_x_LF_y"));
    TCreateMissingValuesIni ini(path);
    EXPECT_EQ(ini.ReadString("CONNECTION", "CONNECTION_STRING", ""), value);
}

TEST_F(IniFileTest, StoredEscapeTextReadsAsLineBreak)
{
    writeFile(path, "[A]\nK=one_LF_two\n");
    TCreateMissingValuesIni ini(path);
    EXPECT_EQ(ini.ReadString("A", "K", ""), "one\ntwo");
}

TEST_F(IniFileTest, WritesKeepOtherLinesAndComments)
{
    writeFile(path, "; site settings\n[OTHERS]\nTCPIP_PORT=1234\n\n[LOG]\nLOG_SQL=1\n");
    TCreateMissingValuesIni ini(path);
    ini.WriteString("OTHERS", "SERVER_HOST", "10.0.0.5");
    EXPECT_EQ(readFile(path),
              "; site settings\n[OTHERS]\nTCPIP_PORT=1234\nSERVER_HOST=10.0.0.5\n\n[LOG]\nLOG_SQL=1\n");
}

TEST_F(IniFileTest, ReadsWindowsLineEndsQuotesAndOldSingleByteFiles)
{
    // "Mérő" in windows-1250 is not valid UTF-8.
    writeFile(path, QByteArray("[SENSORS]\r\nSENSOR1_NAME=M\xe9r\xf5\r\nSENSOR2_NAME=\"quoted\"\r\n"));
    TCreateMissingValuesIni ini(path);
    EXPECT_EQ(ini.ReadString("SENSORS", "SENSOR1_NAME", ""), QString::fromUtf8("Mérő"));
    EXPECT_EQ(ini.ReadString("SENSORS", "SENSOR2_NAME", ""), "quoted");
}
