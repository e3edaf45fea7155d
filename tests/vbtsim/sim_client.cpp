#include "sim_client.h"

#include <QDeadlineTimer>

#include <algorithm>

namespace cvx::vbtsim::test {

bool Client::connectTo(int port)
{
    socket_.connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
    return socket_.waitForConnected(IoWaitMs);
}

void Client::send(const QByteArray& bytes)
{
    socket_.write(bytes);
    socket_.waitForBytesWritten(IoWaitMs);
}

void Client::readIn()
{
    const QByteArray in = socket_.readAll();
    raw += in;
    pending_ += in;
}

void Client::collect()
{
    readIn();
    while (auto e = extractFrame(pending_, true, true)) {
        skipped += e->skipped;
        Frame f;
        if (decodeAnyFrame(e->frame, &f) == DecodeOk)
            frames_.push_back(f);
    }
}

void Client::readUntil(const std::function<bool()>& done, void (Client::*read)())
{
    QDeadlineTimer deadline(IoWaitMs);
    (this->*read)();
    while (!done() && !deadline.hasExpired()) {
        if (!socket_.waitForReadyRead(100) && socket_.state() != QAbstractSocket::ConnectedState)
            break;
        (this->*read)();
    }
}

std::vector<Frame> Client::frames(size_t n)
{
    readUntil([&] { return frames_.size() >= n; }, &Client::collect);
    std::vector<Frame> out;
    const size_t take = std::min(n, frames_.size());
    out.assign(frames_.begin(), frames_.begin() + long(take));
    frames_.erase(frames_.begin(), frames_.begin() + long(take));
    return out;
}

QByteArray Client::bytes(int n)
{
    readUntil([&] { return raw.size() >= n; }, &Client::readIn);
    return raw;
}

bool Client::waitDisconnected()
{
    if (socket_.state() == QAbstractSocket::UnconnectedState)
        return true;
    return socket_.waitForDisconnected(IoWaitMs);
}

} // namespace cvx::vbtsim::test
