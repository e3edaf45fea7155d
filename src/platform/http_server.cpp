#include "platform/http_server.h"

#include <httplib.h>

#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace cvx {
namespace {

class HttplibServer final : public HttpServer {
public:
    explicit HttplibServer(int threads) : threads_(threads < 1 ? 1 : threads) {}
    ~HttplibServer() override { stop(); }

    bool start(const QString& address, quint16 port, GetHandler handler, QString* error) override
    {
        stop();
        server_ = std::make_unique<httplib::Server>();
        const size_t n = size_t(threads_);
        server_->new_task_queue = [n] { return new httplib::ThreadPool(n); };
        server_->set_tcp_nodelay(true);
        // SO_REUSEADDR only: the library's default SO_REUSEPORT would let a second
        // server share a port that is in use instead of failing.
        server_->set_socket_options([](socket_t sock) {
            int yes = 1;
            ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
        });
        handler_ = std::move(handler);
        server_->Get(".*", [this](const httplib::Request&, httplib::Response& res) {
            Answer a = handler_ ? handler_() : Answer{};
            res.status = a.status;
            // Live values: a browser must ask again rather than show a stored copy.
            res.set_header("Cache-Control", "no-store");
            std::shared_ptr<const std::string> body = a.body;
            if (!body || body->empty()) {
                res.set_content(std::string(), a.contentType);
                return;
            }
            res.set_content_provider(body->size(), a.contentType,
                                     [body](size_t offset, size_t length, httplib::DataSink& sink) {
                                         return sink.write(body->data() + offset, length);
                                     });
        });
        const std::string host = address.isEmpty() ? std::string("0.0.0.0") : address.toStdString();
        errno = 0;
        bool bound = false;
        if (port == 0) {
            const int p = server_->bind_to_any_port(host);
            bound = p > 0;
            port_ = bound ? quint16(p) : 0;
        } else {
            bound = server_->bind_to_port(host, port);
            port_ = port;
        }
        if (!bound) {
            const int e = errno;
            if (error)
                *error = e != 0 ? QString::fromLocal8Bit(std::strerror(e))
                                : QStringLiteral("Cannot listen on %1:%2").arg(QString::fromStdString(host)).arg(port);
            server_.reset();
            port_ = 0;
            return false;
        }
        httplib::Server* s = server_.get();
        thread_ = std::thread([s] { s->listen_after_bind(); });
        return true;
    }

    void stop() override
    {
        if (!server_)
            return;
        server_->stop();
        if (thread_.joinable())
            thread_.join();
        server_.reset();
        port_ = 0;
    }

    bool running() const override { return server_ != nullptr; }
    quint16 port() const override { return port_; }

private:
    int threads_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    GetHandler handler_;
    quint16 port_ = 0;
};

} // namespace

std::unique_ptr<HttpServer> createHttpServer(int requestThreads)
{
    return std::make_unique<HttplibServer>(requestThreads);
}

} // namespace cvx
