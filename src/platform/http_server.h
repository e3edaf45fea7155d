#pragma once
// A small HTTP server: every GET (and HEAD), whatever its path, is answered by one
// handler that runs on the server's own request threads. The handler must be safe to
// call from several threads at once and should only copy a prepared answer.

#include <QString>

#include <functional>
#include <memory>
#include <string>

namespace cvx {

class HttpServer {
public:
    struct Answer {
        int status = 200;
        std::string contentType = "text/html; charset=utf-8";
        // Shared, so that a request thread copies a pointer, not the page.
        std::shared_ptr<const std::string> body;
    };
    using GetHandler = std::function<Answer()>;

    virtual ~HttpServer() = default;
    // Binds (address empty: every IPv4 interface) and starts serving on a thread of its
    // own. False with the system's reason when the port cannot be opened.
    virtual bool start(const QString& address, quint16 port, GetHandler handler, QString* error) = 0;
    // Stops serving and waits for the request threads; idempotent.
    virtual void stop() = 0;
    virtual bool running() const = 0;
    virtual quint16 port() const = 0;
};

// cpp-httplib with a pool of request threads.
std::unique_ptr<HttpServer> createHttpServer(int requestThreads = 8);

} // namespace cvx
