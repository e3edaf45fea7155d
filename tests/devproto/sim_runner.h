#pragma once
// vbtsim started by the test on loopback, and waiting on the event loop for real I/O.

#include <QByteArray>
#include <QMap>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <memory>

namespace cvx::test {

// Upper bound of every wait for real I/O; nothing waits for a protocol timer.
constexpr int SimIoWaitMs = 20000;

class SimRunner {
public:
    SimRunner() = default;
    ~SimRunner();
    SimRunner(const SimRunner&) = delete;
    SimRunner& operator=(const SimRunner&) = delete;

    // Writes the scenario into a temporary folder (or takes a file) and starts vbtsim
    // with a control channel; true once it printed "ready".
    bool start(const QByteArray& scenario);
    bool startFile(const QString& path);
    int port(const QString& interfaceName) const { return ports_.value(interfaceName, -1); }
    // One control command; its output lines, the last "ok" or "error: ...".
    QStringList control(const QString& line);
    QString stderrText();

private:
    QTemporaryDir dir_;
    std::unique_ptr<QProcess> process_;
    QByteArray stdout_;
    QByteArray stderr_;
    QMap<QString, int> ports_;
    int controlPort_ = -1;
};

// Runs the event loop until the predicate holds or the bound passes.
bool waitFor(const std::function<bool()>& done, int maxMs = SimIoWaitMs);

} // namespace cvx::test
