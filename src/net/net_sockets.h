#pragma once
// Where the instance link gets its sockets from: Qt Network in production, an
// in-memory network on virtual time in tests.

#include "platform/tcp_client.h"
#include "platform/tcp_server.h"

#include <memory>

namespace cvx {

class NetSockets {
public:
    virtual ~NetSockets() = default;
    virtual std::unique_ptr<TcpServer> createServer() = 0;
    virtual std::unique_ptr<TcpClient> createClient() = 0;
};

// Qt's server and client sockets.
NetSockets& qtNetSockets();

} // namespace cvx
