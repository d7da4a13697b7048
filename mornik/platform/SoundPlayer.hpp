#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"
#include "mornik/concurrency/ThreadAnnotations.hpp"
#include "mornik/concurrency/UnfairLock.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// One sound file, loaded and ready to play.
//
//   auto player = mornik::SoundPlayer::make("/usr/share/sounds/ding.oga", {.volume = 0.5f});
//   if (player.isSuccess()) player.value()->play();
//
// Players come from the process's sound output (SoundOutput::shared()): the
// desktop library's GStreamer output, or, in tests and in programs that do
// not link that library, one that plays nothing (see SoundOutput).
//
// Ownership: the caller holds the player; the output holds it weakly. The
// sound stops when the last reference goes.
// Thread safety: every member may be called from any thread.
class SoundPlayer {
 public:
  struct Options {
    float volume = 1.0f;  // 0 silent, 1 as recorded; up to 10
    double rate = 1.0;    // playback speed; must be > 0
    bool loop = false;    // start again at each end, until stop()
    std::string sink;     // pipeline description; empty: the output's default
  };

  // SoundOutput::shared()->load(file, options).
  static Result<std::shared_ptr<SoundPlayer>> make(const std::filesystem::path& file,
                                                   const Options& options);

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

 protected:
  SoundPlayer() = default;
};

// The desktop's sound output: loads sound files into players.
//
// The real output, in the desktop library (mornik-desktop), is GStreamer's
// playbin: the volume is playbin's volume; the rate is a seek with that
// rate (so 2.0 plays twice as fast, and the pitch rises); looping seeks back
// to the start at each end of stream; the duration is queried once the file
// is loaded (which waits, up to 10 s, as a blocked thread for the worker
// pool). Only the audio of a file is played. A player's output goes to its
// Options::sink, else to the output's default sink, else to the desktop's
// audio output (autoaudiosink). A sink is a GStreamer pipeline description
// ending in a sink ("fakesink sync=true" for silent runs at real speed,
// "wavenc ! filesink location=/tmp/out.wav" to record what would be heard).
//
// MemorySoundOutput plays nothing and records what was asked of it.
//
// Thread safety: every member may be called from any thread.
class SoundOutput {
 public:
  virtual ~SoundOutput() = default;
  SoundOutput(const SoundOutput&) = delete;
  SoundOutput& operator=(const SoundOutput&) = delete;

  // Loads `file` and prepares it (paused at its start). Fails with "cannot
  // play <path>: <reason>" when the file is missing or is not audio.
  virtual Result<std::shared_ptr<SoundPlayer>> load(const std::filesystem::path& file,
                                                    const SoundPlayer::Options& options) = 0;

  // GStreamer, with `defaultSink` for players whose Options::sink is empty
  // (empty: the desktop's output). Fails when GStreamer cannot start.
  // (mornik-desktop)
  static Result<std::shared_ptr<SoundOutput>> makeGStreamer(std::string defaultSink = {});
  // makeGStreamer() when the program links the desktop library; else
  // ENOSYS ("the desktop's sound output is not available: ...").
  static Result<std::shared_ptr<SoundOutput>> forDesktop();
  // The process-wide output: the one installed last, else (made on first
  // use) forDesktop(), else one whose load() fails with its failure.
  static std::shared_ptr<SoundOutput> shared();
  // Installs `output` as the shared one; null: the default again.
  static void setShared(std::shared_ptr<SoundOutput> output);

 protected:
  SoundOutput() = default;
};

// An output that plays nothing: its players play until stop() and report
// `duration`. It records each file
// loaded and counts the plays, so that tests can see what would be heard.
// A missing file fails as with the real output.
//
// Thread safety: every member may be called from any thread.
class MemorySoundOutput final : public SoundOutput,
                                public std::enable_shared_from_this<MemorySoundOutput> {
 public:
  explicit MemorySoundOutput(double duration = 0) : duration_(duration) {}

  Result<std::shared_ptr<SoundPlayer>> load(const std::filesystem::path& file,
                                            const SoundPlayer::Options& options) override
      MORNIK_EXCLUDES(lock_);

  // The files loaded so far, oldest first.
  std::vector<std::filesystem::path> loaded() const MORNIK_EXCLUDES(lock_);
  // How many times play() was called on this output's players.
  int playCount() const MORNIK_EXCLUDES(lock_);

 private:
  class Player;
  void countPlay() MORNIK_EXCLUDES(lock_);

  const double duration_;
  mutable UnfairLock lock_;
  std::vector<std::filesystem::path> loaded_ MORNIK_GUARDED_BY(lock_);
  int plays_ MORNIK_GUARDED_BY(lock_) = 0;
};

// The file of the freedesktop sound theme's sound `name` ("bell",
// "trash-empty", "complete", ...): <data dir>/sounds/freedesktop/stereo/
// <name>.oga (or .ogg, .wav) in $XDG_DATA_HOME, then each of $XDG_DATA_DIRS;
// nothing when it is not installed.
std::optional<std::filesystem::path> systemSoundPath(std::string_view name);

}  // namespace mornik

MORNIK_EXPORTS_END
