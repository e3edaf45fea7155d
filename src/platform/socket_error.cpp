#include "platform/socket_error.h"

#include <cerrno>

namespace cvx {

int SocketErrorNumber(QAbstractSocket::SocketError e)
{
    switch (e) {
    case QAbstractSocket::ConnectionRefusedError: return ECONNREFUSED;
    case QAbstractSocket::RemoteHostClosedError: return ECONNRESET;
    case QAbstractSocket::SocketTimeoutError: return ETIMEDOUT;
    case QAbstractSocket::NetworkError: return ENETUNREACH;
    case QAbstractSocket::SocketAccessError: return EACCES;
    case QAbstractSocket::SocketResourceError: return ENOBUFS;
    case QAbstractSocket::AddressInUseError: return EADDRINUSE;
    // Qt's own codes above the system's range, still distinct from one another.
    default: return 1000 + int(e);
    }
}

} // namespace cvx
