#pragma once
// A computer-side connection to vbtsim on loopback, driven byte by byte with the
// simulator's own codec.

#include "codec.h"

#include <QByteArray>
#include <QTcpSocket>

#include <functional>
#include <vector>

namespace cvx::vbtsim::test {

// Upper bound of every wait for real I/O; nothing waits for a protocol timer.
constexpr int IoWaitMs = 10000;

// A computer-side connection driven byte by byte.
class Client {
public:
    bool connectTo(int port);
    void send(const QByteArray& bytes);
    void send(const Frame& f) { send(encodeFrame(f)); }
    // Waits until n frames have arrived (or the upper bound passed); returns them.
    std::vector<Frame> frames(size_t n);
    // Waits for at least n raw bytes.
    QByteArray bytes(int n);
    bool waitDisconnected();
    QTcpSocket& socket() { return socket_; }

    QByteArray raw;     // everything received
    QByteArray skipped; // bytes in front of frames

private:
    QTcpSocket socket_;
    QByteArray pending_;
    std::vector<Frame> frames_;
    void readIn();
    void collect();
    // Reads on until done() holds, the peer closed or the upper bound passed.
    void readUntil(const std::function<bool()>& done, void (Client::*read)());
};

} // namespace cvx::vbtsim::test
