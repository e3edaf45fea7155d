// The corvalux program as a whole process: start, configuration file, logs, stop.
#include "test_support.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>

using namespace cvx;

namespace {

class ProgramTest : public ::testing::Test {
protected:
    QTemporaryDir home;
    QTemporaryDir locks;

    std::unique_ptr<QProcess> start(const QString& homeDir)
    {
        auto p = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("CORVALUX_LOCK_DIR", locks.path());
        p->setProcessEnvironment(env);
        p->setProgram(test::binDir() + "/corvalux");
        p->setArguments({"--home", homeDir, "--headless"});
        p->start();
        EXPECT_TRUE(p->waitForStarted(10000));
        return p;
    }

    // Waits for real process output (not a protocol timer).
    static bool waitForOutput(QProcess& p, const QString& fragment, int ms = 20000)
    {
        QByteArray all;
        QDeadlineTimer deadline(ms);
        while (!deadline.hasExpired()) {
            if (p.bytesAvailable() == 0 && !p.waitForReadyRead(200) && p.state() != QProcess::Running)
                break;
            all += p.readAllStandardOutput();
            if (QString::fromUtf8(all).contains(fragment))
                return true;
        }
        return false;
    }
};

} // namespace

TEST_F(ProgramTest, StartsWritesDefaultsAndLogsAndStopsOnSigterm)
{
    auto p = start(home.path());
    // No connection configured: unattended, the local database file is chosen and made.
    ASSERT_TRUE(waitForOutput(*p, "No master app registered - starting as master app."));
    ::kill(p->processId(), SIGTERM);
    ASSERT_TRUE(p->waitForFinished(20000));
    EXPECT_EQ(p->exitCode(), 0);
    const QString ini = test::readFile(home.filePath("corvalux.ini"));
    EXPECT_TRUE(ini.contains("TCPIP_PORT=11110"));
    EXPECT_TRUE(ini.contains("CONNECTION_STRING=Provider=QSQLITE;Data Source="));
    EXPECT_TRUE(QFile::exists(home.filePath("corvalux.db")));
    const QString log = test::readFile(home.filePath("Log/corvalux.log"));
    EXPECT_TRUE(log.contains(QString::fromUtf8("Az Corvalux indítása")));
    EXPECT_TRUE(log.contains(QString::fromUtf8("Az Corvalux leállítása")));
    EXPECT_TRUE(log.contains(QString::fromUtf8("Futtató felhasználó: ")));
}

struct SecondStartCase {
    int languageId;
    const char* expected;
};

void PrintTo(const SecondStartCase& c, std::ostream* os) { *os << "LANGUAGE_ID=" << c.languageId; }

class SecondStartTest : public ProgramTest, public ::testing::WithParamInterface<SecondStartCase> {};

TEST_P(SecondStartTest, IsRefusedInTheConfiguredLanguage)
{
    const SecondStartCase c = GetParam();
    QTemporaryDir home2;
    for (const QString& h : {home.path(), home2.path()})
        test::writeFile(h + "/corvalux.ini",
                        QStringLiteral("[others]\none_instance_allowed=1\nLANGUAGE_ID=%1\n").arg(c.languageId).toUtf8());
    auto first = start(home.path());
    ASSERT_TRUE(waitForOutput(*first, "11110"));
    auto second = start(home2.path());
    ASSERT_TRUE(second->waitForFinished(20000));
    EXPECT_EQ(second->exitCode(), 1);
    EXPECT_TRUE(QString::fromUtf8(second->readAllStandardError()).contains(QString::fromUtf8(c.expected)));
    // Refused before any file of its own was written.
    EXPECT_FALSE(QFile::exists(home2.filePath("Log")));
    ::kill(first->processId(), SIGTERM);
    first->waitForFinished(20000);
}

INSTANTIATE_TEST_SUITE_P(Languages, SecondStartTest,
                         ::testing::Values(SecondStartCase{1038, "Már fut egy Corvalux a gépen."},
                                           SecondStartCase{1033, "There is already an instance of Corvalux running"}));

TEST_F(ProgramTest, SecondInstanceRunsWhenAllowedAndLogsAnotherInstance)
{
    QTemporaryDir home2;
    for (const QString& h : {home.path(), home2.path()})
        test::writeFile(h + "/corvalux.ini", "[others]\none_instance_allowed=0\n");
    auto first = start(home.path());
    ASSERT_TRUE(waitForOutput(*first, "11110"));
    auto second = start(home2.path());
    EXPECT_TRUE(waitForOutput(*second, QString::fromUtf8("Egy programpéldány már fut a gépen.")));
    for (auto* p : {first.get(), second.get()}) {
        ::kill(p->processId(), SIGTERM);
        p->waitForFinished(20000);
    }
}
