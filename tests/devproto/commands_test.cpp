#include "devproto/binary_params.h"
#include "devproto/commands.h"
#include "devproto/devproto_error.h"
#include "test_support.h"

#include <gtest/gtest.h>

using namespace cvx;
using cvx::test::bytes;

namespace {

struct BuildCase {
    const char* name;
    QByteArray built;
    QByteArray expected;
};

void PrintTo(const BuildCase& c, std::ostream* os) { *os << c.name; }

} // namespace

class CommandBuildTest : public ::testing::TestWithParam<BuildCase> {};

TEST_P(CommandBuildTest, LaysOutTheParameters)
{
    EXPECT_EQ(GetParam().built.toHex(' '), GetParam().expected.toHex(' '));
}

INSTANTIATE_TEST_SUITE_P(
    Catalogue, CommandBuildTest,
    ::testing::Values(
        BuildCase{"readParams", CmdReadParams(450, 200), QByteArray("CSYRE") + bytes({0xC2, 0x01, 200})},
        BuildCase{"writeParams", CmdWriteParams(73, bytes({5, 0})), QByteArray("CSYWE") + bytes({73, 0, 2, 5, 0})},
        BuildCase{"setClock", CmdSetClock(QDateTime(QDate(2024, 5, 21), QTime(9, 29, 7, 365))),
                  QByteArray("CRTSC") + bytes({0x0F, 0xD0, 0xB5, 0x4B, 0xA3, 0xA4})},
        // Relay number 3 is index 2.
        BuildCase{"relayOn", CmdRelay(cmd::CRLSO, 2), QByteArray("CRLSO") + bytes({2})},
        BuildCase{"relayOff", CmdRelay(cmd::CRLSC, 0), QByteArray("CRLSC") + bytes({0})},
        BuildCase{"relayDefault", CmdSetRelayDefault(1, true), QByteArray("CRLSD") + bytes({1, 1})},
        BuildCase{"weatherMemory", CmdReadWeatherMemory(0x0100, 300), QByteArray("CWSRM") + bytes({0x00, 0x01, 0x2C, 0x01})},
        BuildCase{"loggerDownload", CmdLoggerDownload(0x01020304, 5), QByteArray("CELDL") + bytes({4, 3, 2, 1, 5})},
        BuildCase{"oldLoggerState", CmdOldLoggerState(1), QByteArray("CFLGS") + bytes({1})},
        BuildCase{"oldLoggerDownload", CmdOldLoggerDownload(2, 70000, 10),
                  QByteArray("CFLGR") + bytes({2, 0x70, 0x11, 0x01, 0x00, 10})}));

TEST(Commands, SmsPadsAndCutsInSingleByteText)
{
    const QByteArray sms = CmdSendSms(QStringLiteral("+36301234567"), QString::fromUtf8("Túlmelegedés: 31,5 °C"));
    ASSERT_EQ(sms.size(), 5 + 20 + 120);
    EXPECT_TRUE(sms.startsWith("CGSSM+36301234567        T"));
    // "ú" and "é" are single bytes of windows-1250.
    EXPECT_EQ(quint8(sms[26]), 0xFA);
    EXPECT_EQ(sms.mid(25, 21), QByteArray("T\xFAlmeleged\xE9s: 31,5 \xB0" "C"));
    EXPECT_EQ(sms.mid(46), QByteArray(99, ' '));
    const QByteArray longSms = CmdSendSms(QString(30, u'1'), QString(200, u'x'));
    EXPECT_EQ(longSms, QByteArray("CGSSM") + QByteArray(20, '1') + QByteArray(120, 'x'));
}

TEST(Commands, ValuesThatDoNotFitAreMisuse)
{
    EXPECT_THROW(CmdReadParams(-1, 2), DevProtoError);
    EXPECT_THROW(CmdReadParams(0x10000, 2), DevProtoError);
    EXPECT_THROW(CmdReadParams(450, 0), DevProtoError);
    EXPECT_THROW(CmdReadParams(450, 256), DevProtoError);
    EXPECT_THROW(CmdWriteParams(450, QByteArray()), DevProtoError);
    EXPECT_THROW(CmdWriteParams(450, QByteArray(256, 'x')), DevProtoError);
    EXPECT_THROW(CmdRelay(cmd::CRLSO, 256), DevProtoError);
    EXPECT_THROW(CmdRelay("CRL", 1), DevProtoError);
    EXPECT_THROW(CmdLoggerDownload(1, 6), DevProtoError);
    EXPECT_THROW(CmdLoggerDownload(-1, 1), DevProtoError);
    EXPECT_NO_THROW(CmdLoggerDownload(0xFFFFFFFFLL, 1));
}

TEST(Commands, AnswerParametersFollowTheMnemonic)
{
    const QByteArray answer = QByteArray("AELST") + IntToParam4(17) + IntToParam4(4711);
    EXPECT_TRUE(HasMnemonic(answer, cmd::AELST));
    EXPECT_FALSE(HasMnemonic(answer, cmd::ASYSI));
    EXPECT_EQ(AnswerParams(answer), IntToParam4(17) + IntToParam4(4711));
    EXPECT_EQ(ParamToIntAt(answer, AnswerParamOffset + 4, 4), 4711);
}
