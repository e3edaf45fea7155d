#include "sim_process.h"

#include "test_support.h"

#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>

#include <csignal>

namespace cvx::vbtsim::test {

SimProcess::SimProcess() = default;

SimProcess::~SimProcess()
{
    if (process_ && process_->state() != QProcess::NotRunning) {
        process_->kill();
        process_->waitForFinished(IoWaitMs);
    }
}

bool SimProcess::start(const QByteArray& scenario, const QStringList& extraArgs)
{
    const QString path = dir_.filePath(QStringLiteral("scenario.json"));
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    f.write(scenario);
    f.close();
    return startFile(path, extraArgs);
}

bool SimProcess::startFile(const QString& path, const QStringList& extraArgs)
{
    process_ = std::make_unique<QProcess>();
    stdout_.clear();
    ports_.clear();
    controlPort_ = -1;
    process_->setProgram(cvx::test::binDir() + QStringLiteral("/vbtsim"));
    // The log goes to a file: a pipe nobody drains while the test waits on a socket
    // could fill up and stall the simulator.
    process_->setStandardErrorFile(dir_.filePath(QStringLiteral("stderr-%1.txt").arg(++starts_)));
    process_->setArguments(QStringList{QStringLiteral("--control"), QStringLiteral("0")} + extraArgs + QStringList{path});
    process_->start();
    if (!process_->waitForStarted(IoWaitMs))
        return false;
    QDeadlineTimer deadline(IoWaitMs);
    while (!deadline.hasExpired()) {
        if (!process_->waitForReadyRead(200) && process_->state() != QProcess::Running)
            break;
        stdout_ += process_->readAllStandardOutput();
        if (stdout_.contains("ready\n"))
            break;
    }
    static const QRegularExpression listening(QStringLiteral("^listening (\\S+) port (\\d+)$"),
                                              QRegularExpression::MultilineOption);
    auto it = listening.globalMatch(QString::fromUtf8(stdout_));
    while (it.hasNext()) {
        const auto m = it.next();
        if (m.captured(1) == QLatin1String("control"))
            controlPort_ = m.captured(2).toInt();
        else
            ports_[m.captured(1)] = m.captured(2).toInt();
    }
    return stdout_.contains("ready\n");
}

QString SimProcess::stderrText()
{
    return cvx::test::readFile(dir_.filePath(QStringLiteral("stderr-%1.txt").arg(starts_)));
}

void SimProcess::kill9()
{
    ::kill(pid_t(process_->processId()), SIGKILL);
    process_->waitForFinished(IoWaitMs);
}

int SimProcess::quit()
{
    const QStringList r = control(QStringLiteral("quit"));
    if (!process_->waitForFinished(IoWaitMs))
        return -1;
    return process_->exitStatus() == QProcess::NormalExit ? process_->exitCode() : -1;
}

QStringList SimProcess::control(const QString& line)
{
    QTcpSocket s;
    s.connectToHost(QStringLiteral("127.0.0.1"), quint16(controlPort_));
    if (!s.waitForConnected(IoWaitMs))
        return {QStringLiteral("error: no control channel")};
    s.write(line.toUtf8() + '\n');
    QStringList lines;
    QByteArray buffer;
    QDeadlineTimer deadline(IoWaitMs);
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

std::vector<Frame> Client::frames(size_t n)
{
    QDeadlineTimer deadline(IoWaitMs);
    collect();
    while (frames_.size() < n && !deadline.hasExpired()) {
        if (!socket_.waitForReadyRead(100) && socket_.state() != QAbstractSocket::ConnectedState)
            break;
        collect();
    }
    std::vector<Frame> out;
    const size_t take = std::min(n, frames_.size());
    out.assign(frames_.begin(), frames_.begin() + long(take));
    frames_.erase(frames_.begin(), frames_.begin() + long(take));
    return out;
}

QByteArray Client::bytes(int n)
{
    QDeadlineTimer deadline(IoWaitMs);
    readIn();
    while (raw.size() < n && !deadline.hasExpired()) {
        if (!socket_.waitForReadyRead(100) && socket_.state() != QAbstractSocket::ConnectedState)
            break;
        readIn();
    }
    return raw;
}

bool Client::waitDisconnected()
{
    if (socket_.state() == QAbstractSocket::UnconnectedState)
        return true;
    return socket_.waitForDisconnected(IoWaitMs);
}

} // namespace cvx::vbtsim::test
