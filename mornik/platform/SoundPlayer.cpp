#include "mornik/platform/SoundPlayer.hpp"

#include <atomic>
#include <cstdlib>
#include <utility>
#include <vector>

#include "mornik/concurrency/LockingProtocol.hpp"
#include "mornik/platform/detail/AdapterSlot.hpp"
#include "mornik/platform/detail/DesktopFactories.hpp"

namespace mornik {

namespace {

// Without a sound output: every load fails with the reason.
class UnavailableOutput final : public SoundOutput {
 public:
  // NOLINTNEXTLINE(bugprone-throw-keyword-missing): kept to be returned, not thrown
  explicit UnavailableOutput(Error why) : why_(std::move(why)) {}
  Result<std::shared_ptr<SoundPlayer>> load(const std::filesystem::path& /*file*/,
                                            const SoundPlayer::Options& /*options*/) override {
    return why_;
  }

 private:
  const Error why_;
};

detail::AdapterSlot<SoundOutput>& slot() {
  static detail::AdapterSlot<SoundOutput> output(
      "the desktop's sound output", [](const Error& why) -> std::shared_ptr<SoundOutput> {
        return std::make_shared<UnavailableOutput>(why);
      });
  return output;
}

}  // namespace

void detail::setDesktopFactory(Result<std::shared_ptr<SoundOutput>> (*factory)()) {
  slot().setFactory(factory);
}

Result<std::shared_ptr<SoundPlayer>> SoundPlayer::make(const std::filesystem::path& file,
                                                       const Options& options) {
  return SoundOutput::shared()->load(file, options);
}

Result<std::shared_ptr<SoundOutput>> SoundOutput::forDesktop() { return slot().forDesktop(); }
std::shared_ptr<SoundOutput> SoundOutput::shared() { return slot().get(); }
void SoundOutput::setShared(std::shared_ptr<SoundOutput> output) { slot().set(std::move(output)); }

// ---- MemorySoundOutput ----

class MemorySoundOutput::Player final : public SoundPlayer {
 public:
  Player(std::weak_ptr<MemorySoundOutput> output, double duration)
      : output_(std::move(output)), duration_(duration) {}

  Result<void> play() override {
    playing_.store(true);
    if (auto output = output_.lock()) output->countPlay();
    return {};
  }
  void stop() override { playing_.store(false); }
  bool isPlaying() const override { return playing_.load(); }
  double duration() const override { return duration_; }
  void setVolume(float /*volume*/) override {}
  void setRate(double /*rate*/) override {}
  void setLoops(bool /*loop*/) override {}

 private:
  const std::weak_ptr<MemorySoundOutput> output_;
  const double duration_;
  std::atomic<bool> playing_{false};
};

Result<std::shared_ptr<SoundPlayer>> MemorySoundOutput::load(
    const std::filesystem::path& file, const SoundPlayer::Options& /*options*/) {
  std::error_code missing;
  if (!std::filesystem::is_regular_file(file, missing)) {
    return WTF("cannot play " + file.string() + ": no such file", 0);
  }
  {
    detail::ScopedLock<UnfairLock> guard(lock_);
    loaded_.push_back(file);
  }
  return std::shared_ptr<SoundPlayer>(std::make_shared<Player>(weak_from_this(), duration_));
}

std::vector<std::filesystem::path> MemorySoundOutput::loaded() const {
  detail::ScopedLock<UnfairLock> guard(lock_);
  return loaded_;
}

int MemorySoundOutput::playCount() const {
  detail::ScopedLock<UnfairLock> guard(lock_);
  return plays_;
}

void MemorySoundOutput::countPlay() {
  detail::ScopedLock<UnfairLock> guard(lock_);
  ++plays_;
}

std::optional<std::filesystem::path> systemSoundPath(std::string_view name) {
  if (name.empty() || name.find('/') != std::string_view::npos) return std::nullopt;
  std::vector<std::filesystem::path> folders;
  const auto fromEnvironment = [](const char* variable) -> std::string {
    const char* value = std::getenv(variable);  // NOLINT(concurrency-mt-unsafe): read only
    return value != nullptr ? value : "";
  };
  std::string dataHome = fromEnvironment("XDG_DATA_HOME");
  if (dataHome.empty() && !fromEnvironment("HOME").empty()) {
    dataHome = fromEnvironment("HOME") + "/.local/share";
  }
  if (!dataHome.empty()) folders.emplace_back(dataHome);
  std::string dirs = fromEnvironment("XDG_DATA_DIRS");
  if (dirs.empty()) dirs = "/usr/local/share:/usr/share";
  std::string_view rest = dirs;
  while (!rest.empty()) {
    const std::size_t colon = rest.find(':');
    if (colon != 0) folders.emplace_back(rest.substr(0, colon));
    rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
  }
  for (const auto& folder : folders) {
    for (const char* extension : {".oga", ".ogg", ".wav"}) {
      auto candidate = folder / "sounds/freedesktop/stereo" / (std::string(name) + extension);
      std::error_code error;
      if (std::filesystem::is_regular_file(candidate, error)) return candidate;
    }
  }
  return std::nullopt;
}

}  // namespace mornik
