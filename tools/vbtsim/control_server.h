#pragma once
// The control channel: a line-based TCP service on the loopback interface. Each command
// line gets its output lines followed by "ok" or "error: TEXT".

#include <QObject>
#include <QTcpServer>

namespace cvx::vbtsim {

class Simulator;

class ControlServer : public QObject {
    Q_OBJECT
public:
    ControlServer(Simulator& sim, QObject* parent = nullptr);
    bool listen(quint16 port, QString* error);
    quint16 port() const { return server_.serverPort(); }

Q_SIGNALS:
    void quitRequested();

private:
    void accept();

    Simulator& sim_;
    QTcpServer server_;
};

} // namespace cvx::vbtsim
