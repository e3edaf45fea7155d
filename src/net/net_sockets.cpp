#include "net/net_sockets.h"

namespace cvx {
namespace {

class QtNetSockets final : public NetSockets {
public:
    std::unique_ptr<TcpServer> createServer() override { return createQtTcpServer(); }
    std::unique_ptr<TcpClient> createClient() override { return createQtTcpClient(); }
};

} // namespace

NetSockets& qtNetSockets()
{
    static QtNetSockets sockets;
    return sockets;
}

} // namespace cvx
