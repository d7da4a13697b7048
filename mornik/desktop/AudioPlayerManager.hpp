#pragma once

#include <memory>
#include <string_view>
#include <vector>

#include "mornik/base/Export.hpp"
#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/LockedVar.hpp"
#include "mornik/flow/future/Future.hpp"
#include "mornik/platform/SoundPlayer.hpp"
#include "mornik/text/URL.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::Flow {
class Pool;
}

namespace mornik {

// Short sounds with volume, speed and looping, and a future that says when a
// sound has finished.
//
//   auto sounds = mornik::AudioPlayerManager::make();
//   sounds->playSound("done", "oga", 1.0f, 1.0, false)
//       ->onSuccess([](bool played) { ... });   // after the sound's duration
//   sounds->stopPlayingAll();
//
// Players are SoundPlayers of the shared sound output (SoundOutput; GStreamer
// by default, whose default sink chooses where they play). Speed is the
// playback rate.
//
// The audio queue is one process-wide serial queue, "com.app.audio", of
// user-initiated quality of service; the manager's pool runs on it.
//
// Ownership: the manager holds the players it started until they are pruned
// (at the next playSound once they stopped) or stopPlayingAll() ran; the
// futures it returns are held by the caller. Work queued on the audio queue
// holds the manager weakly.
// Thread safety: every member may be called from any thread (the players'
// list is guarded); isPlaying() must not be called on the audio queue.
class AudioPlayerManager : public std::enable_shared_from_this<AudioPlayerManager> {
  struct Passkey {
    explicit Passkey() = default;
  };

 public:
  using Player = std::shared_ptr<SoundPlayer>;

  static std::shared_ptr<AudioPlayerManager> make();
  explicit AudioPlayerManager(Passkey /*unused*/);

  const std::shared_ptr<Flow::Pool>& pool() const { return pool_; }
  // The players started and not yet pruned.
  std::vector<Player> players() const { return players_.read(); }

  // Whether any player is playing, asked on the audio queue (this call
  // waits for it).
  bool isPlaying() const;

  // Prunes the players that stopped, then starts the file at `url` with the
  // settings. The future (on the global default queue) is already completed
  // with the player, or with the failure ("cannot play <path>: <reason>"),
  // whose localized description is also printed as a line.
  std::shared_ptr<Flow::Future<Player>> playSound(const URL& url, float volume, double speed,
                                                  bool repeatForever);
  // Plays the application's resource "<fileName>.<ext>"
  // (AppIdentity::resource). The future succeeds with false at once when
  // there is no such resource; with true at once when the sound repeats for
  // ever; else with true once the sound's duration has passed (timed on the
  // global queue, no thread waits), or fails as the player did.
  std::shared_ptr<Flow::Future<bool>> playSound(std::string_view fileName, std::string_view ext,
                                                float volume, double speed, bool repeatForever);

  // On the audio queue, while the manager exists: stops every player and
  // forgets them.
  void stopPlayingAll();

  // "com.app.audio".
  static DispatchQueue audioQueue();

 private:
  std::shared_ptr<Flow::Pool> pool_;
  LockedVar<std::vector<Player>> players_{std::vector<Player>{}};
};

}  // namespace mornik

MORNIK_EXPORTS_END
