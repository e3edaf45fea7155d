#pragma once
// Playing an alarm sound file without blocking. Where the machine has a sound output
// the file is handed to the desktop's player program (paplay, pw-play or aplay) and
// played in the background; where it has none, play() says so and the caller logs it.

#include <QString>

#include <memory>

namespace cvx {

class SoundPlayer {
public:
    virtual ~SoundPlayer() = default;
    virtual bool isPlaying() const = 0;
    // Starts playing and returns at once; false with the reason when it cannot.
    virtual bool play(const QString& file, QString* error) = 0;
};

// The player of this machine: the first of paplay, pw-play and aplay that has a sound
// output to play on, or one that refuses every file when there is none.
std::unique_ptr<SoundPlayer> createSystemSoundPlayer();

} // namespace cvx
