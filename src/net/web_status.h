#pragma once
// The recording master's status page: a page template and a line template, produced
// again every 10 s on the event loop from the current values of every sensor. The HTTP
// server's request threads only copy the last produced page, under a lock, so every
// answer is one complete page.

#include "net/page_producer.h"
#include "platform/http_server.h"

#include <QString>

#include <functional>
#include <memory>
#include <mutex>

namespace cvx {

class ProbeLists;
class TimeService;
class Timer;
class TProbe;

class TWebStatus {
public:
    static constexpr int RegenerateIntervalMs = 10000;
    static inline const QString DefaultPageTemplate = QStringLiteral("ridozuzevuzara.ded");
    static inline const QString DefaultLineTemplate = QStringLiteral("corvaluxsablon2.htm");
    static constexpr int DefaultPort = 80;

    using SettingReader = std::function<QString(const QString& key)>;
    using ServerFactory = std::function<std::unique_ptr<HttpServer>()>;

    // readGlobalSetting: Global_settings of the database ("" when missing).
    TWebStatus(TimeService& time, ProbeLists& probes, SettingReader readGlobalSetting,
               ServerFactory serverFactory = {});
    ~TWebStatus();
    TWebStatus(const TWebStatus&) = delete;
    TWebStatus& operator=(const TWebStatus&) = delete;

    void setSettingReader(SettingReader reader) { readSetting_ = std::move(reader); }

    // Where the server listens; empty: every IPv4 interface.
    QString ListenAddress;

    // Stops a running server; then, on a master with "Use_WebSrv", starts it again on
    // "WebSrvPort" with the templates "WebSrvPageTemp" and "WebSrvLineTemp".
    void SetUpWebServer();
    void Stop();
    bool Running() const;
    quint16 Port() const;
    QString PageTemplatePath() const { return pagePath_; }
    QString LineTemplatePath() const { return linePath_; }

    // timHTTPResponseTimer: reads both templates again and replaces the cached page.
    void Regenerate();
    bool RegenerationScheduled() const;

    // The answer every GET gets; safe from any thread.
    HttpServer::Answer CurrentAnswer() const;
    QString CachedPageText() const;

    // The page for the current values (what Regenerate caches); false when a template
    // cannot be read.
    bool ProducePage(QString* page, QString* error) const;
    // Tag handlers of the two templates.
    QString PageTag(const TemplateTag& tag, const QString& lineTemplate) const;
    QString LineTag(const TemplateTag& tag, const TProbe* sensor) const;

    // Units by measure type 1..22; "" outside.
    static QString Unit(int measureType);
    // A stored template path: as stored when absolute; a bare name is looked for in the
    // working folder, then beside the program.
    static QString ResolveTemplatePath(const QString& stored);

private:
    void setAnswer(int status, const QByteArray& body);

    TimeService& time_;
    ProbeLists& probes_;
    SettingReader readSetting_;
    ServerFactory serverFactory_;
    std::unique_ptr<HttpServer> server_;
    std::unique_ptr<Timer> timHTTPResponse_;
    QString pagePath_;
    QString linePath_;
    bool failureLogged_ = false;

    mutable std::mutex cacheMutex_;
    HttpServer::Answer cached_;
};

} // namespace cvx
