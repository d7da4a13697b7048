#include "mornik/desktop/AudioPlayerManager.hpp"

#include <algorithm>

#include "mornik/base/Output.hpp"
#include "mornik/flow/pool/Pool.hpp"
#include "mornik/settings/AppIdentity.hpp"

namespace mornik {

std::shared_ptr<AudioPlayerManager> AudioPlayerManager::make() {
  return std::make_shared<AudioPlayerManager>(Passkey());
}

AudioPlayerManager::AudioPlayerManager(Passkey /*unused*/)
    : pool_(Flow::Pool::make(audioQueue())) {}

DispatchQueue AudioPlayerManager::audioQueue() {
  static const DispatchQueue queue("com.app.audio", QoS::userInitiated);
  return queue;
}

bool AudioPlayerManager::isPlaying() const {
  return audioQueue().sync([this] {
    const std::vector<Player> all = players_.read();
    return std::any_of(all.begin(), all.end(), [](const Player& p) { return p->isPlaying(); });
  });
}

std::shared_ptr<Flow::Future<AudioPlayerManager::Player>> AudioPlayerManager::playSound(
    const URL& url, float volume, double speed, bool repeatForever) {
  players_.access([](std::vector<Player>& all) {
    std::erase_if(all, [](const Player& p) { return !p->isPlaying(); });
  });
  SoundPlayer::Options options;
  options.volume = volume;
  options.rate = speed;
  options.loop = repeatForever;
  Result<Player> made = SoundPlayer::make(url.path(), options);
  Result<Player> result = made.flatMap([&](const Player& player) -> Result<Player> {
    players_.access([&](std::vector<Player>& all) { all.push_back(player); });
    if (auto started = player->play(); started.isFailure()) return started.error();
    return player;
  });
  // Printed here, not by a handler of the future: a caller that drops the
  // future at once would release the handler before its delivery ran.
  if (result.isFailure()) printLine(result.error().localizedDescription());
  return Flow::Future<Player>::make(std::move(result), DispatchQueue::global());
}

std::shared_ptr<Flow::Future<bool>> AudioPlayerManager::playSound(std::string_view fileName,
                                                                  std::string_view ext,
                                                                  float volume, double speed,
                                                                  bool repeatForever) {
  std::optional<std::filesystem::path> resource = AppIdentity::resource(fileName, ext);
  if (!resource) return Flow::Future<bool>::succeeded(false);
  auto player = playSound(URL::fileURL(resource->string()), volume, speed, repeatForever);
  // The player future is complete already: its result is at hand.
  Result<Player> started = player->wait();
  if (started.isFailure()) return Flow::Future<bool>::failed(started.error());
  if (repeatForever) return Flow::Future<bool>::succeeded(true);
  auto finished = Flow::Future<bool>::promise(DispatchQueue::global());
  DispatchQueue::global().asyncAfter(started.value()->duration(),
                                     [finished] { finished->complete(true); });
  return finished;
}

void AudioPlayerManager::stopPlayingAll() {
  audioQueue().async([weak = weak_from_this()] {
    const std::shared_ptr<AudioPlayerManager> self = weak.lock();
    if (!self) return;
    for (const Player& player : self->players_.read()) player->stop();
    self->players_.set({});
  });
}

}  // namespace mornik
