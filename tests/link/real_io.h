#pragma once
// Helpers for tests over real sockets and pseudo terminals: the engine's timers run on
// virtual time while real I/O is pumped through the Qt event loop, a small device that
// answers frames, and a socat pty pair started and stopped by the test.

#include "link/vbt_comms.h"
#include "link/vbt_protocol.h"
#include "link_wait.h"
#include "test_support.h"
#include "platform/manual_time_service.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>

#include <functional>
#include <list>

namespace cvx::test {

// Real I/O with the link's timers on virtual time (see pumpVirtualTime).
inline bool pumpUntil(ManualTimeService& vt, const TVBTComms& link, const std::function<bool()>& done,
                      int realLimitMs = 15000)
{
    return pumpVirtualTime(vt, [&link] { return waitingOnDevice(&link); }, done, realLimitMs);
}

// Virtual time 1 ms per turn whatever the line does, for waits that span connect timer
// intervals while no exchange is in progress.
inline bool pumpFast(ManualTimeService& vt, const std::function<bool()>& done, int realLimitMs = 60000)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > realLimitMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
        vt.advance(1);
    }
    return true;
}

// A device behind a byte stream: cuts frames out of what it receives and answers polls
// ("c") with AITGD and commands C.... with A.... from the addressee.
class FrameAnswerer {
public:
    std::function<void(const QByteArray&)> write;
    int framesSeen = 0;
    bool silent = false;

    void received(const QByteArray& bytes)
    {
        buffer_ += bytes;
        TVBTProtocol rx;
        rx.VBTMode = PMDecodeBothEncodeVBT;
        for (QByteArray f = rx.ExtractFrame(buffer_); !f.isEmpty(); f = rx.ExtractFrame(buffer_)) {
            const QByteArray data = rx.DecodeFrame(f);
            if (rx.ErrorCode() != 0)
                continue;
            ++framesSeen;
            if (silent || rx.Info == pozitiv_nyugta)
                continue;
            QByteArray answer;
            if (data == "c")
                answer = QByteArray("AITGD") + char(rx.Cimzett) + char(0x08);
            else if (data.startsWith('C') && data.size() >= 5)
                answer = "A" + data.mid(1, 4) + "-ok";
            else
                continue;
            TVBTProtocol tx;
            tx.VBTMode = rx.LastWasWide() ? PMVBTWOnly : PMVBTOnly;
            tx.Cimzett = 250;
            tx.Felado = rx.Cimzett;
            tx.Felado_rovid_cim = quint8(rx.Cimzett);
            tx.CsomagSorszam = rx.CsomagSorszam;
            tx.Info = nem_kerek_nyugtat;
            if (write)
                write(tx.EncodeFrame(answer));
        }
    }

private:
    QByteArray buffer_;
};

// A device server on loopback TCP.
class DeviceServer {
public:
    DeviceServer() = default;
    ~DeviceServer() { stop(); }

    bool start(quint16 port = 0)
    {
        server_ = std::make_unique<QTcpServer>();
        if (!server_->listen(QHostAddress::LocalHost, port))
            return false;
        port_ = server_->serverPort();
        QObject::connect(server_.get(), &QTcpServer::newConnection, [this] {
            while (QTcpSocket* s = server_->nextPendingConnection()) {
                ++connections;
                auto& dev = devices_.emplace_back();
                dev.socket = s;
                dev.answerer.write = [s](const QByteArray& b) { s->write(b); };
                auto* answerer = &dev.answerer;
                QObject::connect(s, &QTcpSocket::readyRead, [this, s, answerer] {
                    const QByteArray bytes = s->readAll();
                    received += bytes;
                    answerer->received(bytes);
                });
            }
        });
        return true;
    }
    // The server goes away with every connection, as a switched-off device server.
    void stop()
    {
        for (auto& d : devices_) {
            QObject::disconnect(d.socket, nullptr, nullptr, nullptr);
            d.socket->abort();
            d.socket->deleteLater();
        }
        devices_.clear();
        if (server_)
            server_->close();
        server_.reset();
    }
    quint16 port() const { return port_; }
    int connections = 0;
    QByteArray received;

private:
    struct Device {
        QTcpSocket* socket = nullptr;
        FrameAnswerer answerer;
    };
    std::unique_ptr<QTcpServer> server_;
    std::list<Device> devices_;
    quint16 port_ = 0;
};

// Two connected pseudo terminals made by socat, reached through symbolic links.
class SocatPair {
public:
    ~SocatPair() { stop(); }
    static bool available() { return !QStandardPaths::findExecutable(QStringLiteral("socat")).isEmpty(); }

    bool start(const QString& a, const QString& b)
    {
        a_ = a;
        b_ = b;
        process_.setProgram(QStringLiteral("socat"));
        process_.setArguments({QStringLiteral("-d"), QStringLiteral("-d"),
                               QStringLiteral("pty,raw,echo=0,link=%1").arg(a),
                               QStringLiteral("pty,raw,echo=0,link=%1").arg(b)});
        process_.setProcessChannelMode(QProcess::MergedChannels);
        process_.start();
        if (!process_.waitForStarted(5000))
            return false;
        return waitFor([&] { return QFileInfo::exists(a) && QFileInfo::exists(b); }, 10000);
    }
    void stop()
    {
        if (process_.state() == QProcess::NotRunning)
            return;
        process_.terminate();
        if (!process_.waitForFinished(5000)) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }

private:
    QProcess process_;
    QString a_, b_;
};

inline bool serversRequired() { return qEnvironmentVariable("CVX_REQUIRE_SERVERS") == QStringLiteral("1"); }

} // namespace cvx::test
