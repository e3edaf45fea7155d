#include "net/web_status.h"

#include "acquisition/code_tables.h"
#include "acquisition/probe_lists.h"
#include "devproto/field_list.h"
#include "platform/time_service.h"
#include "shell/app_paths.h"
#include "shell/catalogue.h"
#include "shell/logs.h"
#include "shell/shell_state.h"
#include "store/settings.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

namespace cvx {

namespace {

const QString Sorszam = QStringLiteral("Sorszam");

QString valueCell(const TProbe& s, int l)
{
    if (!isValidMeasureType(l) || !sensorCarries(s.SensorType, l))
        return QStringLiteral("<td bgcolor=\"#9D9D9D\">&nbsp;</td>");
    if (!s.IsUsed)
        return QStringLiteral("<td bgcolor=\"#FFFFFF\"><font color=\"#9D9D9D\">") + Msg("labNotUsedCaption")
            + QStringLiteral("</font> </td>");
    if (s.Inactive)
        return QStringLiteral("<td bgcolor=\"#FFFFFF\"><font color=\"#FF0000\">") + Msg("labNotResponding")
            + QStringLiteral("</font> </td>");
    if (s.Values[l] == NoValue)
        return QStringLiteral("<td bgcolor=\"#FFFFFF\">") + Msg("labQuerying") + QStringLiteral("</td>");
    return QStringLiteral("<td bgcolor=\"#FFFFFF\">") + FormatGeneralFloat(s.Values[l]) + QStringLiteral("</td>");
}

} // namespace

TWebStatus::TWebStatus(TimeService& time, ProbeLists& probes, SettingReader readGlobalSetting,
                       ServerFactory serverFactory)
    : time_(time), probes_(probes), readSetting_(std::move(readGlobalSetting)), serverFactory_(std::move(serverFactory))
{
    if (!serverFactory_)
        serverFactory_ = [] { return createHttpServer(); };
    timHTTPResponse_ = time_.createTimer(RegenerateIntervalMs, false, [this] { Regenerate(); });
}

TWebStatus::~TWebStatus() { Stop(); }

// ------------------------------------------------------------------ server

void TWebStatus::Stop()
{
    timHTTPResponse_->stop();
    if (server_) {
        server_->stop();
        server_.reset();
    }
    setAnswer(200, QByteArray());
    failureLogged_ = false;
}

bool TWebStatus::Running() const { return server_ && server_->running(); }
quint16 TWebStatus::Port() const { return server_ ? server_->port() : 0; }
bool TWebStatus::RegenerationScheduled() const { return timHTTPResponse_->isActive(); }

QString TWebStatus::ResolveTemplatePath(const QString& stored)
{
    if (QFileInfo(stored).isAbsolute())
        return stored;
    const QString inHome = AppPaths::inHome(stored);
    if (QFileInfo::exists(inHome))
        return inHome;
    return AppPaths::besideProgram(stored);
}

void TWebStatus::SetUpWebServer()
{
    Stop();
    pagePath_.clear();
    linePath_.clear();
    auto setting = [this](const char* key) { return readSetting_ ? readSetting_(QString::fromLatin1(key)) : QString(); };
    if (!shellState().MasterMode || !SettingAsBool(setting("Use_WebSrv"), false))
        return;
    QString page = setting("WebSrvPageTemp").trimmed();
    QString line = setting("WebSrvLineTemp").trimmed();
    pagePath_ = ResolveTemplatePath(page.isEmpty() ? DefaultPageTemplate : page);
    linePath_ = ResolveTemplatePath(line.isEmpty() ? DefaultLineTemplate : line);
    const int port = SettingAsInt(setting("WebSrvPort"), DefaultPort);

    if (!QFileInfo::exists(pagePath_) || !QFileInfo::exists(linePath_)) {
        LogLine(Msg("msgWebTemplateMissing"), true);
        return;
    }
    LogLine(Fmt("labWebPageTemplate", QDir::toNativeSeparators(pagePath_)), true);
    LogLine(Fmt("labWebLineTemplate", QDir::toNativeSeparators(linePath_)), true);
    LogLine(Fmt("labWebHTMLPort", port), true);

    if (port < 0 || port > 65535) {
        LogLine(Fmt("msgStartingWebServerFailed", QStringLiteral("Invalid port: %1").arg(port)), true);
        return;
    }
    server_ = serverFactory_();
    QString error;
    if (!server_->start(ListenAddress, quint16(port), [this] { return CurrentAnswer(); }, &error)) {
        server_.reset();
        LogLine(Fmt("msgStartingWebServerFailed", error), true);
        return;
    }
    timHTTPResponse_->start();
}

// ------------------------------------------------------------------ cached page

void TWebStatus::setAnswer(int status, const QByteArray& body)
{
    HttpServer::Answer a;
    a.status = status;
    a.body = std::make_shared<const std::string>(body.constData(), size_t(body.size()));
    std::lock_guard lock(cacheMutex_);
    cached_ = std::move(a);
}

HttpServer::Answer TWebStatus::CurrentAnswer() const
{
    std::lock_guard lock(cacheMutex_);
    return cached_;
}

QString TWebStatus::CachedPageText() const
{
    const HttpServer::Answer a = CurrentAnswer();
    return a.body ? QString::fromStdString(*a.body) : QString();
}

void TWebStatus::Regenerate()
{
    QString page, error;
    if (ProducePage(&page, &error)) {
        failureLogged_ = false;
        setAnswer(200, page.toUtf8());
        return;
    }
    // Old values must not pass for current ones: say what is wrong instead.
    if (!failureLogged_) {
        LogLine(error, true);
        failureLogged_ = true;
    }
    const QString html = QStringLiteral("<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Corvalux</title>"
                                        "</head><body><p>")
        + HtmlEscaped(error) + QStringLiteral("</p></body></html>");
    setAnswer(503, html.toUtf8());
}

bool TWebStatus::ProducePage(QString* page, QString* error) const
{
    QString pageTemplate, lineTemplate, reason;
    if (!ReadTemplateFile(pagePath_, &pageTemplate, &reason)) {
        *error = Fmt("msgWebTemplateUnreadable", QDir::toNativeSeparators(pagePath_), reason);
        return false;
    }
    if (!ReadTemplateFile(linePath_, &lineTemplate, &reason)) {
        *error = Fmt("msgWebTemplateUnreadable", QDir::toNativeSeparators(linePath_), reason);
        return false;
    }
    *page = TPageProducer::Produce(pageTemplate, [&](const TemplateTag& tag) { return PageTag(tag, lineTemplate); });
    return true;
}

// ------------------------------------------------------------------ tags

QString TWebStatus::Unit(int n)
{
    static const char* const units[] = {"",   "°C", "%",  "kpa", "m/s", "[0: ki]", "[0: nincs]", "V",
                                        "°C", "%",  "m/s", "[x 22.5°]", "°C", "°C", "mm", "mm",
                                        "mm", "%",  "°C", "°C", "°C", "DACOut1", "DACOut2"};
    if (n < 1 || n > 22)
        return QString();
    return QString::fromUtf8(units[n]);
}

QString TWebStatus::PageTag(const TemplateTag& tag, const QString& lineTemplate) const
{
    if (tag.name.compare(QStringLiteral("MeresTipus"), Qt::CaseInsensitive) == 0) {
        const int n = tag.intParam(Sorszam, 1);
        if (n < 1 || n > 22)
            return QString();
        return QStringLiteral("<i>") + HtmlEscaped(Msg(QStringLiteral("labMeasureTypeCode%1").arg(n)))
            + QStringLiteral(" (") + HtmlEscaped(Unit(n)) + QStringLiteral(")</i>");
    }
    if (tag.name.compare(QStringLiteral("Sorok"), Qt::CaseInsensitive) == 0) {
        std::vector<const TProbe*> sorted;
        sorted.reserve(probes_.Sensors.size());
        for (const auto& s : probes_.Sensors)
            sorted.push_back(s.get());
        std::stable_sort(sorted.begin(), sorted.end(), [](const TProbe* a, const TProbe* b) {
            return a->Name.compare(b->Name, Qt::CaseInsensitive) < 0;
        });
        QString lines;
        for (const TProbe* s : sorted)
            lines += TPageProducer::Produce(lineTemplate, [&](const TemplateTag& t) { return LineTag(t, s); });
        return lines;
    }
    return QString();
}

QString TWebStatus::LineTag(const TemplateTag& tag, const TProbe* s) const
{
    if (!s)
        return QString();
    auto is = [&](const char* name) { return tag.name.compare(QLatin1String(name), Qt::CaseInsensitive) == 0; };
    if (is("Szenzorszam"))
        return QStringLiteral("%1: ").arg(s->Id, 3, 10, QLatin1Char('0'));
    if (is("Szenzornev"))
        return HtmlEscaped(s->Name);
    if (is("Meresido"))
        return s->LastMeasureTime.isValid() ? s->LastMeasureTime.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                                            : QString();
    if (is("Meresertek"))
        return valueCell(*s, tag.intParam(Sorszam, 1));
    return QString();
}

} // namespace cvx
