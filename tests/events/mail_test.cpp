// E-mail against a real SMTP server on loopback (aiosmtpd, started by the test), and
// programs started for real. These tests wait for real I/O, never for our own timers.

#include "event_fixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QTimer>

#include <optional>

using namespace cvx;
using namespace cvx::test;

namespace {

class SmtpServer {
public:
    ~SmtpServer() { stop(); }
    // Starts the capture server with extra arguments; the port, or -1.
    int start(const QStringList& extra = {})
    {
        process_.setProgram(QStringLiteral("/usr/bin/python3"));
        process_.setArguments(QStringList{sourceDir() + QStringLiteral("/tests/events/smtp_capture.py"),
                                          QStringLiteral("--dir"), dir_.path()}
                              + extra);
        process_.start();
        if (!process_.waitForStarted(10000))
            return -1;
        QElapsedTimer t;
        t.start();
        QByteArray out;
        while (t.elapsed() < 20000) {
            process_.waitForReadyRead(200);
            out += process_.readAllStandardOutput();
            const int i = out.indexOf("listening ");
            const int nl = out.indexOf('\n', i);
            if (i >= 0 && nl > i)
                return out.mid(i + 10, nl - i - 10).trimmed().toInt();
            if (process_.state() == QProcess::NotRunning)
                break;
        }
        return -1;
    }
    void stop()
    {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }
    std::vector<QJsonObject> messages() const
    {
        std::vector<QJsonObject> out;
        QDir d(dir_.path());
        for (int n = 1;; ++n) {
            QFile f(d.filePath(QStringLiteral("%1.json").arg(n)));
            if (!f.open(QIODevice::ReadOnly))
                break;
            out.push_back(QJsonDocument::fromJson(f.readAll()).object());
        }
        return out;
    }
    QString path() const { return dir_.path(); }

private:
    QTemporaryDir dir_;
    QProcess process_;
};

class Mail : public EventTest {
protected:
    Mail()
    {
        curl = createCurlSmtpClient();
        rebuildEngine(curl.get(), &launcher);
        settings["SMTP_Server"] = "127.0.0.1";
        settings["SMTP_Sender"] = "Corvalux riasztó <alarm@corvalux.test>";
    }
    // Sends and waits (on the event loop) for the outcome.
    bool sendAndWait(const QString& to, const QString& body, int ms = 30000)
    {
        std::optional<bool> result;
        engine->SendEMail(to, body, [&](bool ok) { result = ok; });
        EXPECT_TRUE(waitFor([&] { return engine->Mail().outstanding() == 0; }, ms));
        EXPECT_TRUE(result.has_value());
        return result.value_or(false);
    }
    std::unique_ptr<SmtpClient> curl;
    SmtpServer server;
};

TEST_F(Mail, TheMessageArrivesWithTheSubjectMadePlain)
{
    const int port = server.start();
    ASSERT_GT(port, 0);
    settings["SMTP_Port"] = QString::number(port);
    const QString body = QStringLiteral("Corvalux esemény: Szerverterem túlmelegedés\r\nÁrvíztűrő tükörfúrógép: 31,5 °C");
    EXPECT_TRUE(sendAndWait("ops@corvalux.test, Ügyeletes <night@corvalux.test>", body));
    const auto msgs = server.messages();
    ASSERT_EQ(msgs.size(), 1u);
    const QJsonObject m = msgs[0];
    EXPECT_EQ(m["mail_from"].toString(), "alarm@corvalux.test");
    EXPECT_EQ(m["rcpt_tos"].toVariant().toStringList(), (QStringList{"ops@corvalux.test", "night@corvalux.test"}));
    EXPECT_EQ(m["subject"].toString(), "Uzenet az Corvaluxtol: Corvalux esemeny: Szerverterem tulmelegedes "
                                       "Arvizturo tukorfurogep: 31,5 °C");
    EXPECT_EQ(m["body"].toString(), body + "\r\n");
    EXPECT_TRUE(m["login"].isNull());
    EXPECT_TRUE(log.contains("SMTP Server   : 127.0.0.1"));
    EXPECT_TRUE(log.contains(QStringLiteral("SMTP Port     : %1").arg(port)));
    EXPECT_TRUE(log.contains("SMTP AuthType : satNone"));
    EXPECT_TRUE(log.contains("IdSMTPStatus: hsConnected Msg: Connected."));
    EXPECT_TRUE(warningPanel().memo().last().endsWith("EMail küldése, eredmény: OK"));
    EXPECT_FALSE(warningPanel().menuAlertsDisappear());
}

TEST_F(Mail, LogsInWithUserAndPasswordAndNeverLogsThePassword)
{
    const int port = server.start({"--auth", "riaszto:Titok-42"});
    ASSERT_GT(port, 0);
    settings["SMTP_Port"] = QString::number(port);
    settings["SMTP_Username"] = "riaszto";
    settings["SMTP_Password"] = "Titok-42";
    EXPECT_TRUE(sendAndWait("ops@corvalux.test", "teszt"));
    const auto msgs = server.messages();
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0]["login"].toString(), "riaszto");
    EXPECT_TRUE(log.contains("SMTP AuthType : satDefault"));
    EXPECT_FALSE(log.contains("Titok-42"));

    settings["SMTP_Password"] = "wrong";
    EXPECT_FALSE(sendAndWait("ops@corvalux.test", "teszt"));
    EXPECT_EQ(server.messages().size(), 1u);
    EXPECT_TRUE(warningPanel().memo().last().contains("Hiba történt az EMail elküldésekor: "));
}

struct FailureCase {
    const char* name;
    QStringList serverArgs;   // empty with down: no server at all
    bool down;
    const char* fragment;     // in the error text
};

class MailFailures : public Mail, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(MailFailures, GiveTheFailureTextsAndTheProgramKeepsRunning)
{
    const FailureCase c = GetParam();
    int port = 0;
    if (c.down) {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
        port = probe.serverPort(); // closed again: nothing listens there
    } else {
        port = server.start(c.serverArgs);
        ASSERT_GT(port, 0);
    }
    settings["SMTP_Port"] = QString::number(port);
    // The main thread goes on while the mail is on its way: a timer keeps ticking.
    int ticks = 0;
    QTimer beat;
    QObject::connect(&beat, &QTimer::timeout, [&] { ++ticks; });
    beat.start(100);
    QElapsedTimer took;
    took.start();
    EXPECT_FALSE(sendAndWait("ops@corvalux.test", "teszt", 40000));
    const QString last = warningPanel().memo().last();
    EXPECT_TRUE(last.contains("Hiba történt az EMail elküldésekor: ")) << last.toStdString();
    EXPECT_TRUE(last.contains(QString::fromUtf8(c.fragment), Qt::CaseInsensitive)) << last.toStdString();
    EXPECT_GE(ticks, int(took.elapsed() / 100) / 2) << "the event loop was held up";
}

INSTANTIATE_TEST_SUITE_P(Cases, MailFailures,
                         ::testing::Values(FailureCase{"refused", {"--refuse"}, false, "550"},
                                           FailureCase{"down", {}, true, "connect"},
                                           FailureCase{"stalls", {"--stall"}, false, "timeout"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Mail, StoppingDoesNotWaitForAStalledServer)
{
    const int port = server.start({"--stall"});
    ASSERT_GT(port, 0);
    settings["SMTP_Port"] = QString::number(port);
    bool reported = false;
    engine->SendEMail("ops@corvalux.test", "teszt", [&](bool) { reported = true; });
    QElapsedTimer connected;
    connected.start();
    while (connected.elapsed() < 500)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    QElapsedTimer took;
    took.start();
    engine.reset();
    EXPECT_LT(took.elapsed(), 5000) << "the mail in flight is cancelled, not waited for";
    QCoreApplication::processEvents();
    EXPECT_FALSE(reported) << "nothing reaches the engine that is gone";
}

TEST_F(Mail, StartTlsWithTheServersCertificate)
{
    QTemporaryDir certs;
    const QString cert = certs.filePath("cert.pem"), key = certs.filePath("key.pem");
    QProcess openssl;
    openssl.start("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1",
                              "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", cert});
    ASSERT_TRUE(openssl.waitForFinished(30000));
    ASSERT_EQ(openssl.exitCode(), 0) << openssl.readAllStandardError().toStdString();
    const int port = server.start({"--tls", cert, key});
    ASSERT_GT(port, 0);

    SmtpSettings s;
    s.host = "127.0.0.1";
    s.port = port;
    s.security = SmtpSecurity::StartTls;
    s.caFile = cert;
    SmtpMessage m;
    m.sender = "alarm@corvalux.test";
    m.recipients = QStringList{"ops@corvalux.test"};
    m.subject = "tls";
    m.body = "titkos";
    m.date = QDateTime::currentDateTime();
    const SmtpResult ok = curl->send(s, m, {}, nullptr);
    EXPECT_TRUE(ok.ok) << ok.error.toStdString();
    ASSERT_EQ(server.messages().size(), 1u);
    EXPECT_EQ(server.messages()[0]["body"].toString(), "titkos\r\n");

    s.caFile.clear(); // a certificate nobody vouches for is refused
    const SmtpResult refused = curl->send(s, m, {}, nullptr);
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(server.messages().size(), 1u);
}

TEST_F(Mail, EventLogKeepsTheOrderOfTheTasksThoughTheMailEndsLater)
{
    const int port = server.start();
    ASSERT_GT(port, 0);
    settings["SMTP_Port"] = QString::number(port);
    addTask(1, ttEMail, [](TTask& t) {
        t.Message_destination = "ops@corvalux.test";
        t.Message_text = "Baj van";
    });
    addTask(2, ttCommand, [](TTask& t) { t.exec_cmd = "/bin/after"; });
    TEvent& e = addEvent(1, [](TEvent& ev) {
        ev.Condition_type_code = CTC_EVENT_TRIGGERED;
        ev.Task_list.setCommaText("1,2");
    });
    e.SetActive(true);
    ASSERT_EQ(launcher.calls.size(), 1u) << "the program started without waiting for the mail";
    ASSERT_TRUE(waitFor([&] { return engine->Mail().outstanding() == 0; }, 30000));
    const QStringList lines = eventLogLines(e);
    const int mail = int(lines.indexOf(
        "  EMail küldése. Cím: ops@corvalux.test Üzenet: Corvalux esemény: event1 (Szenzor: ) Baj van - Elküldve."));
    const int cmd = int(lines.indexOf("  A(z) \"/bin/after\" parancs sikeresen végrehajtva. Eredménykód: 4242"));
    ASSERT_GE(mail, 0) << lines.join("\n").toStdString();
    EXPECT_EQ(cmd, mail + 1);
    ASSERT_EQ(server.messages().size(), 1u);
}

// ---- programs ----------------------------------------------------------------------------------

class Programs : public EventTest {
protected:
    Programs()
    {
        real = createProcessLauncher();
        rebuildEngine(&smtp, real.get());
    }
    std::unique_ptr<ProcessLauncher> real;
};

TEST_F(Programs, ArgumentsArriveUnchangedAndAMissingProgramFails)
{
    const QString script = home.file("argv.sh");
    const QString out = home.file("argv.txt");
    writeFile(script, "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"[$a]\"; done > \"$0.tmp\"\nmv \"$0.tmp\" "
                      "\"$(dirname \"$0\")/argv.txt\"\n");
    QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    TTask& cmd = addTask(1, ttCommand, [&](TTask& t) {
        t.exec_cmd = script;
        t.exec_params = "\"two  words\" 'single' $HOME ; rm -rf x \"say \"\"hi\"\"\" `id` *";
    });
    TEvent& e = addEvent(1, [](TEvent& ev) { ev.Condition_type_code = CTC_EVENT_TRIGGERED; });
    const QString result = engine->RunTask(cmd, e);
    EXPECT_TRUE(result.contains("sikeresen végrehajtva")) << result.toStdString();
    waitFor([&] { return QFileInfo::exists(out); }, 10000);
    EXPECT_EQ(readFile(out),
              "[two  words]\n['single']\n[$HOME]\n[;]\n[rm]\n[-rf]\n[x]\n[say \"hi\"]\n[`id`]\n[*]\n");

    cmd.exec_cmd = home.file("no-such-program");
    EXPECT_EQ(engine->RunTask(cmd, e).left(200),
              QStringLiteral("A(z) \"%1 %2\" parancs végrehajtása nem sikerült. Eredménykód: 2")
                  .arg(cmd.exec_cmd, cmd.exec_params.trimmed())
                  .left(200));
    writeFile(home.file("not-executable"), "x");
    cmd.exec_cmd = home.file("not-executable");
    EXPECT_TRUE(engine->RunTask(cmd, e).endsWith("Eredménykód: 5"));
}

} // namespace
