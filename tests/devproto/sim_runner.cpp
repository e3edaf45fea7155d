#include "sim_runner.h"

#include "test_support.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTcpSocket>

namespace cvx::test {

SimRunner::~SimRunner()
{
    if (process_ && process_->state() != QProcess::NotRunning) {
        control(QStringLiteral("quit"));
        if (!process_->waitForFinished(SimIoWaitMs)) {
            process_->kill();
            process_->waitForFinished(SimIoWaitMs);
        }
    }
}

bool SimRunner::start(const QByteArray& scenario)
{
    const QString path = dir_.filePath(QStringLiteral("scenario.json"));
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    f.write(scenario);
    f.close();
    return startFile(path);
}

bool SimRunner::startFile(const QString& path)
{
    process_ = std::make_unique<QProcess>();
    process_->setProgram(binDir() + QStringLiteral("/vbtsim"));
    process_->setArguments({QStringLiteral("--control"), QStringLiteral("0"), QStringLiteral("--log"),
                            dir_.filePath(QStringLiteral("vbtsim.log")), QStringLiteral("--quiet"), path});
    process_->start();
    if (!process_->waitForStarted(SimIoWaitMs))
        return false;
    QDeadlineTimer deadline(SimIoWaitMs);
    while (!deadline.hasExpired() && !stdout_.contains("ready\n")) {
        if (!process_->waitForReadyRead(200) && process_->state() != QProcess::Running)
            break;
        stdout_ += process_->readAllStandardOutput();
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
    return stdout_.contains("ready\n") && controlPort_ > 0;
}

QString SimRunner::stderrText()
{
    if (process_)
        stderr_ += process_->readAllStandardError();
    QFile log(dir_.filePath(QStringLiteral("vbtsim.log")));
    const QByteArray logged = log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
    return QString::fromUtf8(stderr_ + logged);
}

QStringList SimRunner::control(const QString& line)
{
    QTcpSocket s;
    s.connectToHost(QStringLiteral("127.0.0.1"), quint16(controlPort_));
    if (!s.waitForConnected(SimIoWaitMs))
        return {QStringLiteral("error: no control channel")};
    s.write(line.toUtf8() + '\n');
    s.waitForBytesWritten(SimIoWaitMs);
    QStringList lines;
    QDeadlineTimer deadline(SimIoWaitMs);
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

bool waitFor(const std::function<bool()>& done, int maxMs)
{
    QDeadlineTimer deadline(maxMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    return true;
}

} // namespace cvx::test
