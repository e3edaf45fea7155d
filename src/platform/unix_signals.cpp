#include "unix_signals.h"

#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace cvx {

namespace {
int g_pipe[2] = {-1, -1};

void onSignal(int sig)
{
    const char c = static_cast<char>(sig);
    [[maybe_unused]] auto n = ::write(g_pipe[1], &c, 1);
}
} // namespace

UnixSignalWatcher::UnixSignalWatcher(std::function<void(int)> handler, QObject* parent)
    : QObject(parent), handler_(std::move(handler))
{
    if (g_pipe[0] < 0 && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_pipe) != 0)
        return;
    notifier_ = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        char c = 0;
        if (::read(g_pipe[0], &c, 1) == 1 && handler_)
            handler_(static_cast<unsigned char>(c));
    });
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGHUP, &sa, nullptr);
}

UnixSignalWatcher::~UnixSignalWatcher()
{
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGHUP, SIG_DFL);
}

} // namespace cvx
