#pragma once
// The device simulator as a real process: started on a scenario, its bound ports read
// from what it prints, stopped or killed by the test.

#include <QByteArray>
#include <QDeadlineTimer>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <csignal>
#include <memory>

namespace cvx::test {

class VbtsimProcess {
public:
    explicit VbtsimProcess(QString program) : program_(std::move(program)) {}
    ~VbtsimProcess() { stop(); }

    bool start(const QByteArray& scenario)
    {
        stop();
        const QString path = dir_.filePath(QStringLiteral("scenario.json"));
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        f.write(scenario);
        f.close();
        process_ = std::make_unique<QProcess>();
        process_->setProgram(program_);
        process_->setArguments({QStringLiteral("--quiet"), path});
        process_->start();
        if (!process_->waitForStarted(10000))
            return false;
        QByteArray out;
        QDeadlineTimer deadline(10000);
        while (!deadline.hasExpired() && !out.contains("ready\n")) {
            if (!process_->waitForReadyRead(200) && process_->state() != QProcess::Running)
                break;
            out += process_->readAllStandardOutput();
        }
        static const QRegularExpression listening(QStringLiteral("^listening (\\S+) port (\\d+)$"),
                                                  QRegularExpression::MultilineOption);
        ports_.clear();
        for (auto it = listening.globalMatch(QString::fromUtf8(out)); it.hasNext();) {
            const auto m = it.next();
            ports_[m.captured(1)] = m.captured(2).toInt();
        }
        errors_ = process_->readAllStandardError();
        return out.contains("ready\n");
    }
    void kill9()
    {
        if (!running())
            return;
        ::kill(pid_t(process_->processId()), SIGKILL);
        process_->waitForFinished(10000);
    }
    void stop()
    {
        if (!running())
            return;
        process_->terminate();
        if (!process_->waitForFinished(10000)) {
            process_->kill();
            process_->waitForFinished(10000);
        }
    }
    bool running() const { return process_ && process_->state() != QProcess::NotRunning; }
    int port(const QString& interfaceName) const { return ports_.value(interfaceName, -1); }
    QString errors()
    {
        if (process_)
            errors_ += process_->readAllStandardError();
        return QString::fromUtf8(errors_);
    }

private:
    QString program_;
    QTemporaryDir dir_;
    std::unique_ptr<QProcess> process_;
    QMap<QString, int> ports_;
    QByteArray errors_;
};

// A scenario with `count` temperature and humidity sensors at addresses 1..count behind
// one interface, on TCP (port 0: a free one) or on a serial device path.
inline QByteArray sensorScenario(int count, int tcpPort, const QString& serialPath = {}, int slowBaud = 0)
{
    QByteArray devices;
    for (int a = 1; a <= count; ++a) {
        if (a > 1)
            devices += ',';
        devices += QStringLiteral(R"({"name": "s%1", "address": %1, "type": 4, "values": {"T": %2, "H": 45.2}})")
                       .arg(a)
                       .arg(20.0 + a * 0.25)
                       .toUtf8();
    }
    const QByteArray endpoint = serialPath.isEmpty()
        ? QStringLiteral(R"("tcp": {"host": "127.0.0.1", "port": %1})").arg(tcpPort).toUtf8()
        : QStringLiteral(R"("serial": {"path": "%1"})").arg(serialPath).toUtf8();
    const QByteArray faults = slowBaud > 0 ? QStringLiteral(R"("faults": {"slow": {"on": true, "baud": %1}},)")
                                                 .arg(slowBaud)
                                                 .toUtf8()
                                           : QByteArray();
    return R"({"name": "link-e2e", "interfaces": [{"name": "room", "protocol": "VBT", )" + endpoint + ", " + faults
        + R"( "devices": [)" + devices + "]}]}";
}

} // namespace cvx::test
