#include "vbtsim_process.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTcpSocket>

#include <csignal>

namespace cvx::test {

namespace {
// A scenario of thousands of devices takes a while to be served.
constexpr int StartWaitMs = 60'000;
// Upper bound of every other wait for the process; nothing waits for a protocol timer.
constexpr int RealIoWaitMs = 20'000;

// Tests and benchmarks are built beside the simulator; CVX_BIN_DIR points elsewhere.
QString defaultProgram()
{
    const QString env = qEnvironmentVariable("CVX_BIN_DIR");
    return (env.isEmpty() ? QCoreApplication::applicationDirPath() : env) + QStringLiteral("/vbtsim");
}
} // namespace

VbtsimProcess::VbtsimProcess(QString program)
    : program_(program.isEmpty() ? defaultProgram() : std::move(program))
    , process_(std::make_unique<QProcess>())
{
}

VbtsimProcess::~VbtsimProcess() { stop(); }

bool VbtsimProcess::start(const QByteArray& scenario, const QStringList& extraArgs)
{
    const QString path = dir_.filePath(QStringLiteral("scenario.json"));
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    f.write(scenario);
    f.close();
    return startFile(path, extraArgs);
}

bool VbtsimProcess::startFile(const QString& path, const QStringList& extraArgs)
{
    stop();
    process_ = std::make_unique<QProcess>();
    stdout_.clear();
    ports_.clear();
    controlPort_ = -1;
    process_->setProgram(program_);
    // The log goes to a file: a pipe nobody drains while the test waits on a socket
    // could fill up and stall the simulator.
    process_->setStandardErrorFile(dir_.filePath(QStringLiteral("stderr-%1.txt").arg(++starts_)));
    process_->setArguments(QStringList{QStringLiteral("--control"), QStringLiteral("0")} + extraArgs
                           + QStringList{path});
    process_->start();
    if (!process_->waitForStarted(StartWaitMs))
        return false;
    QDeadlineTimer deadline(StartWaitMs);
    while (!stdout_.contains("ready\n") && !deadline.hasExpired()) {
        if (!process_->waitForReadyRead(200) && process_->state() != QProcess::Running)
            break;
        stdout_ += process_->readAllStandardOutput();
    }
    static const QRegularExpression listening(QStringLiteral("^listening (\\S+) port (\\d+)$"),
                                              QRegularExpression::MultilineOption);
    for (auto it = listening.globalMatch(QString::fromUtf8(stdout_)); it.hasNext();) {
        const auto m = it.next();
        if (m.captured(1) == QLatin1String("control"))
            controlPort_ = m.captured(2).toInt();
        else
            ports_[m.captured(1)] = m.captured(2).toInt();
    }
    return stdout_.contains("ready\n") && controlPort_ > 0;
}

bool VbtsimProcess::running() const { return process_->state() != QProcess::NotRunning; }

void VbtsimProcess::kill9()
{
    if (!running())
        return;
    ::kill(pid_t(process_->processId()), SIGKILL);
    process_->waitForFinished(RealIoWaitMs);
}

int VbtsimProcess::stop()
{
    if (!running())
        return exitCode();
    process_->terminate();
    if (!process_->waitForFinished(RealIoWaitMs)) {
        process_->kill();
        process_->waitForFinished(RealIoWaitMs);
        return -1;
    }
    return exitCode();
}

int VbtsimProcess::quit()
{
    if (!running())
        return exitCode();
    control(QStringLiteral("quit"));
    if (!process_->waitForFinished(RealIoWaitMs))
        return -1;
    return exitCode();
}

int VbtsimProcess::exitCode() const
{
    if (process_->state() != QProcess::NotRunning || process_->exitStatus() != QProcess::NormalExit)
        return -1;
    return process_->exitCode();
}

QStringList VbtsimProcess::control(const QString& line)
{
    QTcpSocket s;
    s.connectToHost(QStringLiteral("127.0.0.1"), quint16(controlPort_));
    if (!s.waitForConnected(RealIoWaitMs))
        return {QStringLiteral("error: no control channel")};
    s.write(line.toUtf8() + '\n');
    s.waitForBytesWritten(RealIoWaitMs);
    QStringList lines;
    QDeadlineTimer deadline(RealIoWaitMs);
    while (!deadline.hasExpired()) {
        while (s.canReadLine()) {
            const QString l = QString::fromUtf8(s.readLine()).trimmed();
            lines << l;
            if (l == QLatin1String("ok") || l.startsWith(QLatin1String("error:")))
                return lines;
        }
        if (!s.waitForReadyRead(200) && s.state() != QAbstractSocket::ConnectedState)
            break;
    }
    lines << QStringLiteral("error: no complete answer");
    return lines;
}

QString VbtsimProcess::stdoutText()
{
    if (process_->state() == QProcess::Running)
        stdout_ += process_->readAllStandardOutput();
    return QString::fromUtf8(stdout_);
}

QString VbtsimProcess::stderrText() const
{
    QFile f(dir_.filePath(QStringLiteral("stderr-%1.txt").arg(starts_)));
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

} // namespace cvx::test
