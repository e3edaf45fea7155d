#pragma once
// vbtsim as a real process on loopback, and a hand-driven client connection to it.

#include "codec.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QMap>
#include <QProcess>
#include <QStringList>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <memory>
#include <vector>

namespace cvx::vbtsim::test {

// Upper bound of every wait for real I/O; nothing waits for a protocol timer.
constexpr int IoWaitMs = 10000;

class SimProcess {
public:
    SimProcess();
    ~SimProcess();

    // Writes the scenario into a temporary folder and starts vbtsim on it; true when it
    // printed "ready". extraArgs go before the scenario file.
    bool start(const QByteArray& scenario, const QStringList& extraArgs = {});
    bool startFile(const QString& path, const QStringList& extraArgs = {});
    void kill9();
    // Stops through the control channel and waits for the exit code.
    int quit();

    int port(const QString& interfaceName) const { return ports_.value(interfaceName, -1); }
    int controlPort() const { return controlPort_; }
    QString dir() const { return dir_.path(); }
    QString stdoutText() const { return QString::fromUtf8(stdout_); }
    // The simulator's log of its last start (its standard error).
    QString stderrText();
    QProcess& process() { return *process_; }

    // One control command; returns its output lines, the last being "ok" or "error: ...".
    QStringList control(const QString& line);

private:
    QTemporaryDir dir_;
    std::unique_ptr<QProcess> process_;
    QByteArray stdout_;
    int starts_ = 0;
    QMap<QString, int> ports_;
    int controlPort_ = -1;
};

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
};

} // namespace cvx::vbtsim::test
