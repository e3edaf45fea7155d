#pragma once
// Inside the platform layer only. Socket failures reported as the system's error numbers, so the communication log
// shows the same code whichever side of a connection failed.

#include <QAbstractSocket>

namespace cvx {

int SocketErrorNumber(QAbstractSocket::SocketError e);

} // namespace cvx
