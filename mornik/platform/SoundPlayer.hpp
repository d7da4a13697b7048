#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// One sound file, loaded and ready to play.
//
//   auto player = mornik::SoundPlayer::make("/usr/share/sounds/ding.oga", {.volume = 0.5f});
//   if (player.isSuccess()) player.value()->play();
//
// Over GStreamer's playbin: the volume is playbin's volume; the rate is a
// seek with that rate (so 2.0 plays twice as fast, and the pitch rises);
// looping seeks back to the start at each end of stream; the duration is
// queried once the file is loaded. Only the audio of a file is played.
//
// The output goes to the default sink, which is the desktop's audio output
// unless setDefaultSink() chose another, or to Options::sink. A sink is a
// GStreamer pipeline description ending in a sink ("fakesink sync=true" for
// silent runs at real speed, "wavenc ! filesink location=/tmp/out.wav" to
// record what would be heard).
//
// Ownership: the caller holds the player; the library's GStreamer thread
// holds it weakly. The sound stops when the last reference goes.
// Thread safety: every member may be called from any thread.
class SoundPlayer {
 public:
  struct Options {
    float volume = 1.0f;  // 0 silent, 1 as recorded; up to 10
    double rate = 1.0;    // playback speed; must be > 0
    bool loop = false;    // start again at each end, until stop()
    std::string sink;     // pipeline description; empty: the default sink
  };

  // Loads `file` and prepares it (paused at its start). Fails with "cannot
  // play <path>: <reason>" when the file is missing or is not audio.
  static Result<std::shared_ptr<SoundPlayer>> make(const std::filesystem::path& file,
                                                   Options options);

  virtual ~SoundPlayer() = default;
  SoundPlayer(const SoundPlayer&) = delete;
  SoundPlayer& operator=(const SoundPlayer&) = delete;

  // Starts (or resumes) playing.
  virtual Result<void> play() = 0;
  // Stops and rewinds; isPlaying() is false when it returns.
  virtual void stop() = 0;
  // True from play() until stop(), the end of a sound that does not loop,
  // or an error while playing.
  virtual bool isPlaying() const = 0;
  // The length in seconds at rate 1, or 0 when the file does not say.
  virtual double duration() const = 0;
  virtual void setVolume(float volume) = 0;
  // Takes effect at once, also while playing; rate must be > 0.
  virtual void setRate(double rate) = 0;
  virtual void setLoops(bool loop) = 0;

  // The sink of players made with an empty Options::sink (empty: the
  // desktop's output, autoaudiosink).
  static void setDefaultSink(std::string description);

 protected:
  SoundPlayer() = default;
};

// The file of the freedesktop sound theme's sound `name` ("bell",
// "trash-empty", "complete", ...): <data dir>/sounds/freedesktop/stereo/
// <name>.oga (or .ogg, .wav) in $XDG_DATA_HOME, then each of $XDG_DATA_DIRS;
// nothing when it is not installed.
std::optional<std::filesystem::path> systemSoundPath(std::string_view name);

}  // namespace mornik

MORNIK_EXPORTS_END
