#pragma once
// Puts a simulated interface on the network or on a serial device: a listening TCP port
// whose every connection is one conversation, or an open serial line.

#include <QObject>
#include <QSerialPort>
#include <QTcpServer>

#include <map>
#include <memory>

namespace cvx {
class TimeService;
class Timer;
}

namespace cvx::vbtsim {

class SimInterface;
class SimLog;
class SocketPort;
class SerialLinePort;

class TcpEndpoint : public QObject {
    Q_OBJECT
public:
    TcpEndpoint(SimInterface& iface, SimLog& log, QObject* parent = nullptr);
    ~TcpEndpoint() override;
    // Binds the interface's host and port (0: a free one); the bound port is written
    // back into the interface.
    bool listen(QString* error);
    quint16 port() const { return server_.serverPort(); }

private:
    void accept();

    SimInterface& iface_;
    SimLog& log_;
    QTcpServer server_;
    std::map<int, std::unique_ptr<SocketPort>> ports_;
};

class SerialEndpoint : public QObject {
    Q_OBJECT
public:
    SerialEndpoint(SimInterface& iface, SimLog& log, TimeService& time, QObject* parent = nullptr);
    ~SerialEndpoint() override;
    bool open(QString* error);

private:
    void lost(const QString& why);
    void reopen();

    SimInterface& iface_;
    SimLog& log_;
    QSerialPort serial_;
    std::unique_ptr<SerialLinePort> port_;
    std::unique_ptr<Timer> reopenTimer_;
    int connection_ = -1;
};

} // namespace cvx::vbtsim
