#include "sound_player.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

namespace cvx {

namespace {

// A sound server socket of the user's session, or a sound card for ALSA.
QString findPlayerProgram()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    const bool pulse = qEnvironmentVariableIsSet("PULSE_SERVER")
        || (!runtime.isEmpty() && QFileInfo::exists(runtime + QStringLiteral("/pulse/native")));
    const bool pipewire = !runtime.isEmpty() && QFileInfo::exists(runtime + QStringLiteral("/pipewire-0"));
    if (pulse) {
        const QString p = QStandardPaths::findExecutable(QStringLiteral("paplay"));
        if (!p.isEmpty())
            return p;
    }
    if (pipewire) {
        const QString p = QStandardPaths::findExecutable(QStringLiteral("pw-play"));
        if (!p.isEmpty())
            return p;
    }
    const QStringList cards = QDir(QStringLiteral("/dev/snd")).entryList({QStringLiteral("pcmC*p")}, QDir::System);
    if (!cards.isEmpty()) {
        const QString p = QStandardPaths::findExecutable(QStringLiteral("aplay"));
        if (!p.isEmpty())
            return p;
    }
    return QString();
}

class ProcessSoundPlayer final : public SoundPlayer {
public:
    explicit ProcessSoundPlayer(QString program) : program_(std::move(program)) {}
    ~ProcessSoundPlayer() override
    {
        if (process_ && process_->state() != QProcess::NotRunning) {
            process_->kill();
            process_->waitForFinished(1000);
        }
    }

    bool isPlaying() const override { return process_ && process_->state() != QProcess::NotRunning; }

    bool play(const QString& file, QString* error) override
    {
        if (program_.isEmpty()) {
            if (error)
                *error = QStringLiteral("no sound output on this computer");
            return false;
        }
        if (!process_) {
            process_ = std::make_unique<QProcess>();
            process_->setProcessChannelMode(QProcess::ForwardedErrorChannel);
            process_->setStandardOutputFile(QProcess::nullDevice());
        }
        const QString arg = file;
        process_->start(program_, program_.endsWith(QStringLiteral("aplay")) ? QStringList{QStringLiteral("-q"), arg}
                                                                                : QStringList{arg});
        // Only the start is awaited, never the sound.
        if (!process_->waitForStarted(2000)) {
            if (error)
                *error = process_->errorString();
            return false;
        }
        return true;
    }

private:
    QString program_;
    std::unique_ptr<QProcess> process_;
};

} // namespace

std::unique_ptr<SoundPlayer> createSystemSoundPlayer() { return std::make_unique<ProcessSoundPlayer>(findPlayerProgram()); }

} // namespace cvx
