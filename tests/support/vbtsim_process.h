#pragma once
// The device simulator as a real process on loopback: started on a scenario with a
// control channel, its bound ports read from what it prints, bent through the control
// channel, stopped or killed by the test. Every wait is for real I/O of the process.

#include <QByteArray>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

namespace cvx::test {

class VbtsimProcess {
public:
    // The simulator built beside the test or benchmark unless another is named.
    explicit VbtsimProcess(QString program = {});
    ~VbtsimProcess();
    VbtsimProcess(const VbtsimProcess&) = delete;
    VbtsimProcess& operator=(const VbtsimProcess&) = delete;

    // Writes the scenario into the working folder (or takes a file) and starts vbtsim on
    // it with a control channel on a free port; true once it printed "ready". A running
    // simulator is stopped first. extraArgs go before the scenario file.
    bool start(const QByteArray& scenario, const QStringList& extraArgs = {});
    bool startFile(const QString& path, const QStringList& extraArgs = {});

    void kill9();
    // Stops on SIGTERM (killed when it does not end in time); the exit code, -1 when it
    // did not exit by itself.
    int stop();
    // Stops through the control channel; the exit code, -1 when it did not exit by itself.
    int quit();
    bool running() const;

    int port(const QString& interfaceName) const { return ports_.value(interfaceName, -1); }
    int controlPort() const { return controlPort_; }
    // One control command; its output lines, the last being "ok" or "error: ...".
    QStringList control(const QString& line);

    // Holds the scenario written by start() and the captured standard error.
    QString dir() const { return dir_.path(); }
    // What the last start printed on standard output.
    QString stdoutText();
    // The simulator's log of its last start (its standard error).
    QString stderrText() const;
    QProcess& process() { return *process_; }

private:
    int exitCode() const;

    QString program_;
    QTemporaryDir dir_;
    std::unique_ptr<QProcess> process_;
    QByteArray stdout_;
    int starts_ = 0;
    QMap<QString, int> ports_;
    int controlPort_ = -1;
};

} // namespace cvx::test
