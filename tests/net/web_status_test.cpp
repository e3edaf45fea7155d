// The status page: tags, cells, sensor order, set-up and its log lines, the cached page
// served over real HTTP on loopback while regeneration runs on virtual time.
#include "net_fixture.h"

#include "net/web_status.h"
#include "shell/app_paths.h"

#include <httplib.h>

#include <QFile>
#include <QTcpServer>

#include <atomic>
#include <thread>

namespace cvx::test {
namespace {

TemplateTag tag(const QString& name, const QString& sorszam = QString())
{
    TemplateTag t;
    t.name = name;
    if (!sorszam.isNull())
        t.params.insert(QStringLiteral("sorszam"), sorszam);
    return t;
}

class WebStatusTest : public NetTest {
protected:
    WebStatusTest()
    {
        shellState().MasterMode = true;
        settings[QStringLiteral("Use_WebSrv")] = QStringLiteral("-1");
        settings[QStringLiteral("WebSrvPort")] = QStringLiteral("0");
        pagePath = home.file(QStringLiteral("page.ded"));
        linePath = home.file(QStringLiteral("line.htm"));
        writeFile(pagePath, "<html><body><h1><#MeresTipus Sorszam=1></h1><table>\n<#Sorok></table></body></html>");
        writeFile(linePath, "<tr><td><#Szenzorszam><#Szenzornev></td><td><#Meresido></td><#Meresertek Sorszam=1>"
                            "<#Meresertek Sorszam=2></tr>\n");
        settings[QStringLiteral("WebSrvPageTemp")] = pagePath;
        settings[QStringLiteral("WebSrvLineTemp")] = linePath;
        web.ListenAddress = QStringLiteral("127.0.0.1");
        iface = &build.addInterface(1);
    }

    httplib::Result get(const char* path = "/")
    {
        httplib::Client cli("127.0.0.1", web.Port());
        cli.set_connection_timeout(10);
        cli.set_read_timeout(10);
        return cli.Get(path);
    }

    TempHome home;
    std::map<QString, QString> settings;
    QString pagePath, linePath;
    TWebStatus web{time, probes, [this](const QString& key) {
                       auto it = settings.find(key);
                       return it == settings.end() ? QString() : it->second;
                   }};
    TProbe* iface = nullptr;
};

// ------------------------------------------------------------------ page tags

struct TypeCase {
    const char* sorszam;   // nullptr: parameter missing
    const char* text;
};

class MeasureTypeHeading : public WebStatusTest, public ::testing::WithParamInterface<TypeCase> {};

TEST_P(MeasureTypeHeading, NamesTheMeasureTypeWithItsUnit)
{
    const TypeCase& c = GetParam();
    const QString text = web.PageTag(tag(QStringLiteral("MeresTipus"), c.sorszam ? QString::fromUtf8(c.sorszam) : QString()), {});
    EXPECT_EQ(text, QString::fromUtf8(c.text));
}

INSTANTIATE_TEST_SUITE_P(Numbers, MeasureTypeHeading,
                         ::testing::Values(TypeCase{"1", "<i>hőmérséklet (°C)</i>"},
                                           TypeCase{nullptr, "<i>hőmérséklet (°C)</i>"},
                                           TypeCase{"x", "<i>hőmérséklet (°C)</i>"},
                                           TypeCase{"2", "<i>páratartalom (%)</i>"},
                                           TypeCase{"11", "<i>szélirány ([x 22.5°])</i>"},
                                           TypeCase{"22", "<i>2. DAC kimenet (DACOut2)</i>"},
                                           TypeCase{"0", ""},
                                           TypeCase{"23", ""}));

TEST_F(WebStatusTest, TagNamesIgnoreLetterCaseAndUnknownTagsGiveNothing)
{
    EXPECT_EQ(web.PageTag(tag(QStringLiteral("merestipus"), QStringLiteral("1")), {}),
              QString::fromUtf8("<i>hőmérséklet (°C)</i>"));
    EXPECT_EQ(web.PageTag(tag(QStringLiteral("Other")), {}), QString());
    TProbe& s = build.addSensor(7, stTemperature, *iface);
    EXPECT_EQ(web.LineTag(tag(QStringLiteral("SZENZORSZAM")), &s), QStringLiteral("007: "));
    EXPECT_EQ(web.LineTag(tag(QStringLiteral("Other")), &s), QString());
    EXPECT_EQ(web.LineTag(tag(QStringLiteral("Szenzornev")), nullptr), QString()) << "no sensor: nothing";
}

TEST_F(WebStatusTest, LineTagsShowNumberNameAndTime)
{
    TProbe& s = build.addSensor(1234, stTemperature, *iface, QStringLiteral("Szerver <A> & \"B\""));
    s.LastMeasureTime = QDateTime(QDate(2024, 5, 21), QTime(9, 29, 7, 365));
    EXPECT_EQ(web.LineTag(tag(QStringLiteral("Szenzorszam")), &s), QStringLiteral("1234: "));
    EXPECT_EQ(web.LineTag(tag(QStringLiteral("Szenzornev")), &s),
              QStringLiteral("Szerver &lt;A&gt; &amp; &quot;B&quot;")) << "a name cannot inject markup";
    EXPECT_EQ(web.LineTag(tag(QStringLiteral("Meresido")), &s), QStringLiteral("2024-05-21 09:29:07"));
    s.LastMeasureTime = {};
    EXPECT_EQ(web.LineTag(tag(QStringLiteral("Meresido")), &s), QString());
}

struct CellCase {
    const char* name;
    int sensorType;
    int measureType;
    bool used;
    bool inactive;
    double value;
    const char* cell;
};

class ValueCell : public WebStatusTest, public ::testing::WithParamInterface<CellCase> {};

TEST_P(ValueCell, FollowsTheSensorsState)
{
    const CellCase& c = GetParam();
    TProbe& s = build.addSensor(1, c.sensorType, *iface);
    s.IsUsed = c.used;
    s.Inactive = c.inactive;
    if (isValidMeasureType(c.measureType))
        s.Values[c.measureType] = c.value;
    EXPECT_EQ(web.LineTag(tag(QStringLiteral("Meresertek"), QString::number(c.measureType)), &s),
              QString::fromUtf8(c.cell));
}

INSTANTIATE_TEST_SUITE_P(
    States, ValueCell,
    ::testing::Values(
        CellCase{"NotCarried", stTemperature, mtH, true, false, 50, "<td bgcolor=\"#9D9D9D\">&nbsp;</td>"},
        CellCase{"NotCarriedWhileUnused", stTemperature, mtH, false, false, 50, "<td bgcolor=\"#9D9D9D\">&nbsp;</td>"},
        CellCase{"OutOfRange", stTemperature, 21, true, false, 50, "<td bgcolor=\"#9D9D9D\">&nbsp;</td>"},
        CellCase{"NotUsed", stTemperature, mtT, false, true, 22.5,
                 "<td bgcolor=\"#FFFFFF\"><font color=\"#9D9D9D\">nincs használva</font> </td>"},
        CellCase{"NotResponding", stTempHumidity, mtH, true, true, 40,
                 "<td bgcolor=\"#FFFFFF\"><font color=\"#FF0000\">nem válaszol</font> </td>"},
        CellCase{"NoValueYet", stTempHumidity, mtH, true, false, 20000, "<td bgcolor=\"#FFFFFF\">Lekérdezés...</td>"},
        CellCase{"DecimalComma", stTemperature, mtT, true, false, 22.5, "<td bgcolor=\"#FFFFFF\">22,5</td>"},
        CellCase{"Negative", stTemperature, mtT, true, false, -3.25, "<td bgcolor=\"#FFFFFF\">-3,25</td>"},
        CellCase{"Whole", stTempHumidity, mtH, true, false, 41, "<td bgcolor=\"#FFFFFF\">41</td>"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WebStatusTest, SensorsAreListedByNameIgnoringCaseKeepingEqualNamesInOrder)
{
    build.addSensor(1, stTemperature, *iface, QStringLiteral("b"));
    build.addSensor(2, stTemperature, *iface, QStringLiteral("A"));
    build.addSensor(3, stTemperature, *iface, QStringLiteral("a"));
    build.addSensor(4, stTemperature, *iface, QStringLiteral("Ä"));
    EXPECT_EQ(web.PageTag(tag(QStringLiteral("Sorok")), QStringLiteral("<#Szenzorszam>|")),
              QStringLiteral("002: |003: |001: |004: |"));
}

// ------------------------------------------------------------------ set-up

TEST_F(WebStatusTest, OnlyAMasterWithTheWebServerSwitchedOnServes)
{
    shellState().MasterMode = false;
    web.SetUpWebServer();
    EXPECT_FALSE(web.Running());
    shellState().MasterMode = true;
    settings[QStringLiteral("Use_WebSrv")] = QStringLiteral("0");
    web.SetUpWebServer();
    EXPECT_FALSE(web.Running());
    EXPECT_TRUE(log.lines().isEmpty());
}

TEST_F(WebStatusTest, AMissingTemplateLeavesTheServerOffWithOneLogLine)
{
    settings[QStringLiteral("WebSrvLineTemp")] = home.file(QStringLiteral("nowhere.htm"));
    web.SetUpWebServer();
    EXPECT_FALSE(web.Running());
    EXPECT_EQ(log.lines(), QStringList{QStringLiteral("Nem található valamelyik HTML-sablonállomány.")});
}

TEST_F(WebStatusTest, BareNamesAreFoundInTheWorkingFolderThenBesideTheProgram)
{
    settings[QStringLiteral("WebSrvPageTemp")] = QString();
    settings[QStringLiteral("WebSrvLineTemp")] = QStringLiteral("line.htm");
    EXPECT_EQ(TWebStatus::ResolveTemplatePath(QStringLiteral("line.htm")), linePath);
    EXPECT_EQ(TWebStatus::ResolveTemplatePath(QStringLiteral("corvaluxsablon2.htm")),
              AppPaths::besideProgram(QStringLiteral("corvaluxsablon2.htm")));
    EXPECT_EQ(TWebStatus::ResolveTemplatePath(pagePath), pagePath);
}

TEST_F(WebStatusTest, SetUpLogsTheTemplatesAndThePortAndServesAnEmptyPageUntilTheFirstRegeneration)
{
    TProbe& s = build.addSensor(7, stTemperature, *iface, QStringLiteral("Szerverterem"));
    s.Values[mtT] = 22.5;
    s.LastMeasureTime = QDateTime(QDate(2024, 5, 21), QTime(9, 29, 7));
    web.SetUpWebServer();
    ASSERT_TRUE(web.Running());
    ASSERT_NE(web.Port(), 0);
    EXPECT_EQ(log.lines(), (QStringList{QStringLiteral("Oldalsablon: ") + pagePath,
                                        QStringLiteral("Sorsablon: ") + linePath, QStringLiteral("HTML-port: 0")}));

    auto r = get("/index.html");
    ASSERT_TRUE(r) << httplib::to_string(r.error());
    EXPECT_EQ(r->status, 200);
    EXPECT_TRUE(r->body.empty());

    run(9900);
    EXPECT_TRUE(get()->body.empty());
    run(100);
    r = get("/any/path?x=1");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(r->get_header_value("Content-Type"), "text/html; charset=utf-8");
    EXPECT_EQ(r->get_header_value("Cache-Control"), "no-store");
    EXPECT_EQ(QString::fromStdString(r->body),
              QString::fromUtf8("<html><body><h1><i>hőmérséklet (°C)</i></h1><table>\n"
                                "<tr><td>007: Szerverterem</td><td>2024-05-21 09:29:07</td>"
                                "<td bgcolor=\"#FFFFFF\">22,5</td><td bgcolor=\"#9D9D9D\">&nbsp;</td></tr>\n"
                                "</table></body></html>"));

    // The next regeneration shows the new value; the template is read again each time.
    s.Values[mtT] = 23.0;
    writeFile(pagePath, "<p><#Sorok></p>");
    run(10000);
    EXPECT_EQ(QString::fromStdString(get()->body),
              QString::fromUtf8("<p><tr><td>007: Szerverterem</td><td>2024-05-21 09:29:07</td>"
                                "<td bgcolor=\"#FFFFFF\">23</td><td bgcolor=\"#9D9D9D\">&nbsp;</td></tr>\n</p>"));
}

TEST_F(WebStatusTest, ADeletedTemplateKeepsTheServerRunningAndSaysSo)
{
    web.SetUpWebServer();
    run(10000);
    ASSERT_EQ(get()->status, 200);
    ASSERT_TRUE(QFile::remove(linePath));
    run(10000);
    EXPECT_TRUE(web.Running());
    auto r = get();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 503);
    EXPECT_NE(QString::fromStdString(r->body).indexOf(QStringLiteral("Nem tudtam beolvasni a HTML-sablonállományt")), -1);
    run(30000);
    EXPECT_EQ(logCount(QStringLiteral("Nem tudtam beolvasni")), 1) << "logged once while it lasts";
    writeFile(linePath, "<tr></tr>");
    run(10000);
    EXPECT_EQ(get()->status, 200);
}

TEST_F(WebStatusTest, APortInUseIsLoggedAndTheRegenerationStaysOff)
{
    QTcpServer blocker;
    ASSERT_TRUE(blocker.listen(QHostAddress::LocalHost));
    const int port = blocker.serverPort();
    settings[QStringLiteral("WebSrvPort")] = QString::number(port);
    web.SetUpWebServer();
    EXPECT_FALSE(web.Running());
    EXPECT_FALSE(web.RegenerationScheduled());
    EXPECT_TRUE(log.contains(QStringLiteral("Nem sikerült elindítani a beépített webkiszolgálót: ")));
}

TEST_F(WebStatusTest, SetUpAgainReplacesTheServerAndForgetsThePage)
{
    web.SetUpWebServer();
    run(10000);
    EXPECT_FALSE(get()->body.empty());
    web.SetUpWebServer();
    ASSERT_TRUE(web.Running());
    EXPECT_TRUE(get()->body.empty());
    settings[QStringLiteral("Use_WebSrv")] = QStringLiteral("0");
    web.SetUpWebServer();
    EXPECT_FALSE(web.Running());
}

TEST_F(WebStatusTest, ConcurrentRequestsAlwaysGetOneWholePage)
{
    for (int i = 0; i < 40; ++i)
        build.addSensor(100 + i, stTempHumidity, *iface, QStringLiteral("S%1").arg(i)).Values[mtT] = i;
    web.SetUpWebServer();
    run(10000);
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0}, good{0};
    const quint16 port = web.Port();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            httplib::Client cli("127.0.0.1", port);
            cli.set_keep_alive(true);
            while (!stop) {
                auto r = cli.Get("/");
                if (!r || r->status != 200 || r->body.rfind("<html>", 0) != 0
                    || r->body.size() < 7 || r->body.compare(r->body.size() - 7, 7, "</html>") != 0)
                    ++bad;
                else
                    ++good;
            }
        });
    // Regenerate as fast as possible with changing contents while the requests run.
    for (int i = 0; i < 300; ++i) {
        writeFile(pagePath, QStringLiteral("<html>%1<#Sorok></html>").arg(QString(i % 7, u'x')).toUtf8());
        web.Regenerate();
    }
    stop = true;
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_GT(good.load(), 0);
}

} // namespace
} // namespace cvx::test
