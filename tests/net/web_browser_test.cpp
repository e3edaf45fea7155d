// The shipped status page templates in a real browser: headless Chromium loads the page
// from the server on loopback; the dumped DOM is checked and a screenshot is kept in the
// build tree (test-output/status_page.png) for a person to look at.
#include "net_fixture.h"

#include "net/web_status.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

namespace cvx::test {
namespace {

const QString Chromium = QStringLiteral("/usr/bin/chromium");

class StatusPageInBrowser : public NetTest {
protected:
    void SetUp() override
    {
        if (!QFileInfo::exists(Chromium)) {
            if (qEnvironmentVariable("CVX_REQUIRE_SERVERS") == QStringLiteral("1"))
                FAIL() << "chromium is not installed";
            GTEST_SKIP() << "chromium is not installed";
        }
        shellState().MasterMode = true;
        settings[QStringLiteral("Use_WebSrv")] = QStringLiteral("-1");
        settings[QStringLiteral("WebSrvPort")] = QStringLiteral("0");
        settings[QStringLiteral("WebSrvPageTemp")] = QDir(binDir()).filePath(TWebStatus::DefaultPageTemplate);
        settings[QStringLiteral("WebSrvLineTemp")] = QDir(binDir()).filePath(TWebStatus::DefaultLineTemplate);
        web.ListenAddress = QStringLiteral("127.0.0.1");

        TProbe& i = build.addInterface(1);
        const QDateTime t(QDate(2024, 5, 21), QTime(3, 12, 40));
        TProbe& b = build.addSensor(7, stTemperature, i, QStringLiteral("b szerverterem"));
        b.Values[mtT] = 22.5;
        b.Values[mtTAv] = 22.31;
        b.Values[mtTMin] = 21.9;
        b.Values[mtTMax] = 23.05;
        b.LastMeasureTime = t;
        TProbe& a = build.addSensor(12, stTempHumidityPressure, i, QStringLiteral("A labor"));
        a.Values[mtT] = -1.25;
        a.Values[mtH] = 45.5;
        a.Values[mtP] = 101.325;
        a.Values[mtUe] = 9.87;
        a.Values[mtTAv] = -1.1;
        a.Values[mtTMin] = -2.0;
        a.Values[mtTMax] = 0.5;
        a.LastMeasureTime = t;
        TProbe& unused = build.addSensor(3, stTempHumidity, i, QStringLiteral("c raktár"));
        unused.IsUsed = false;
        TProbe& lost = build.addSensor(4, stTemperature, i, QStringLiteral("D pince"));
        lost.Inactive = true;
        lost.Values[mtT] = 12.0;
        build.addSensor(5, stRelayPanel, i, QStringLiteral("e riasztó relé"));   // no value yet

        web.SetUpWebServer();
        ASSERT_TRUE(web.Running());
        web.Regenerate();
    }

    // Runs Chromium headless with a fresh profile; false when it failed or hung.
    bool chromium(const QStringList& args, QByteArray* out)
    {
        QTemporaryDir profile;
        QProcess p;
        p.setProgram(Chromium);
        p.setArguments(QStringList{QStringLiteral("--headless"), QStringLiteral("--no-sandbox"),
                                   QStringLiteral("--disable-gpu"), QStringLiteral("--no-first-run"),
                                   QStringLiteral("--disable-background-networking"),
                                   QStringLiteral("--disable-component-update"), QStringLiteral("--disable-sync"),
                                   QStringLiteral("--user-data-dir=") + profile.path()}
                       + args);
        p.start();
        if (!p.waitForFinished(90000)) {
            p.kill();
            p.waitForFinished();
            return false;
        }
        if (out)
            *out = p.readAllStandardOutput();
        return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    }

    QString url() const { return QStringLiteral("http://127.0.0.1:%1/").arg(web.Port()); }

    std::map<QString, QString> settings;
    TWebStatus web{time, probes, [this](const QString& key) {
                       auto it = settings.find(key);
                       return it == settings.end() ? QString() : it->second;
                   }};
};

TEST_F(StatusPageInBrowser, RendersEverySensorWithItsValues)
{
    QByteArray dom;
    ASSERT_TRUE(chromium({QStringLiteral("--dump-dom"), url()}, &dom));
    const QString html = QString::fromUtf8(dom);
    ASSERT_FALSE(html.isEmpty());

    // The page arrived as UTF-8: accented captions are intact.
    EXPECT_NE(html.indexOf(QStringLiteral("a szenzorok állapota")), -1);
    EXPECT_NE(html.indexOf(QStringLiteral("<i>hőmérséklet (°C)</i>")), -1);
    EXPECT_NE(html.indexOf(QStringLiteral("<i>légnyomás (kpa)</i>")), -1);

    // Rows by name, ignoring letter case.
    QStringList names;
    static const QRegularExpression row(QStringLiteral("<span class=\"id\">(\\d+): </span>([^<]*)<span class=\"time\">"));
    for (auto it = row.globalMatch(html); it.hasNext();)
        names << it.next().captured(2);
    EXPECT_EQ(names, (QStringList{QStringLiteral("A labor"), QStringLiteral("b szerverterem"), QStringLiteral("c raktár"),
                                  QStringLiteral("D pince"), QStringLiteral("e riasztó relé")}));

    // Values with a decimal comma, the time, and the states of the other sensors.
    EXPECT_NE(html.indexOf(QStringLiteral(">22,5</td>")), -1);
    EXPECT_NE(html.indexOf(QStringLiteral(">-1,25</td>")), -1);
    EXPECT_NE(html.indexOf(QStringLiteral(">101,325</td>")), -1);
    EXPECT_NE(html.indexOf(QStringLiteral("2024-05-21 03:12:40")), -1);
    EXPECT_EQ(html.count(QStringLiteral("nincs használva")), 6) << "every measure type a T/H sensor carries";
    EXPECT_EQ(html.count(QStringLiteral("nem válaszol")), 4);
    EXPECT_EQ(html.count(QStringLiteral("Lekérdezés...")), 1);
    EXPECT_GE(html.count(QStringLiteral("bgcolor=\"#9D9D9D\"")), 30);
}

TEST_F(StatusPageInBrowser, ScreenshotsOnADesktopAndAPhone)
{
    const QString outDir = QDir(binDir()).filePath(QStringLiteral("../test-output"));
    QDir().mkpath(outDir);
    for (const auto& [name, size] : {std::pair{QStringLiteral("status_page.png"), QStringLiteral("1280,600")},
                                     std::pair{QStringLiteral("status_page_phone.png"), QStringLiteral("390,844")}}) {
        const QString file = QDir(outDir).filePath(name);
        QFile::remove(file);
        ASSERT_TRUE(chromium({QStringLiteral("--hide-scrollbars"), QStringLiteral("--screenshot=") + file,
                              QStringLiteral("--window-size=") + size, url()},
                             nullptr));
        EXPECT_GT(QFileInfo(file).size(), 10000) << name.toStdString();
    }
}

} // namespace
} // namespace cvx::test
