#include "mornik/desktop/AudioPlayerManager.hpp"

#include <chrono>
#include <fstream>

#include <gtest/gtest.h>

#include "mornik/base/Output.hpp"
#include "mornik/flow/pool/Pool.hpp"
#include "mornik/platform/AppIdentity.hpp"

#include "tests/desktop/support/Desktop.hpp"

namespace mornik {
namespace {

namespace fs = std::filesystem;

class AudioPlayerManagerTest : public testing::Test {
 protected:
  void SetUp() override {
    MORNIK_NEED_PROGRAM("sox");
    SoundPlayer::setDefaultSink("fakesink sync=true");
    AppIdentity::setResourceFolder(test::desktopRoot() / "resources");
    fs::create_directories(test::desktopRoot() / "resources");
    test::run({"sox", "-n", "-r", "22050", "-c", "1",
               (test::desktopRoot() / "resources/ding.wav").string(), "synth", "0.6", "sine",
               "880"});
  }
  std::shared_ptr<AudioPlayerManager> sounds_ = AudioPlayerManager::make();
};

TEST_F(AudioPlayerManagerTest, FinishesAfterTheSoundOrAtOnceWhenLooping) {
  EXPECT_EQ(AudioPlayerManager::audioQueue().label(), "com.app.audio");
  EXPECT_EQ(sounds_->pool()->queue(), AudioPlayerManager::audioQueue());
  auto missing = sounds_->playSound("nothing", "wav", 1.0f, 1.0, false);
  EXPECT_EQ(missing->wait().maybeSuccess(), false);
  EXPECT_FALSE(sounds_->isPlaying());

  const auto started = std::chrono::steady_clock::now();
  auto once = sounds_->playSound("ding", "wav", 0.5f, 1.0, false);
  EXPECT_TRUE(sounds_->isPlaying());
  EXPECT_EQ(once->wait().maybeSuccess(), true);
  EXPECT_GE(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(),
            0.55);

  // The future is timed by the clock; the player ends by itself a moment
  // later on a loaded machine.
  ASSERT_TRUE(test::waitFor([&] { return !sounds_->isPlaying(); }));
  auto looping = sounds_->playSound("ding", "wav", 0.5f, 1.0, true);
  EXPECT_EQ(looping->wait().maybeSuccess(), true);
  // Not an ordering sleep: the sound must still play after two of its ends.
  RunLoop::main().runFor(1.5);
  EXPECT_TRUE(sounds_->isPlaying());
  // The finished sound was pruned when the looping one started.
  EXPECT_EQ(sounds_->players().size(), 1u);
  sounds_->stopPlayingAll();
  EXPECT_TRUE(test::waitFor([&] { return !sounds_->isPlaying(); }));
  EXPECT_TRUE(sounds_->players().empty());
}

TEST_F(AudioPlayerManagerTest, AFileThatIsNotSoundFailsAndSaysWhy) {
  const fs::path text = test::desktopRoot() / "resources/notes.txt";
  std::ofstream(text) << "words, not sound\n";
  std::vector<std::string> printed;
  std::mutex printedLock;
  setOutputSink([&](std::string_view line) {
    std::lock_guard<std::mutex> guard(printedLock);
    printed.emplace_back(line);
  });
  auto player = sounds_->playSound(URL::fileURL(text.string()), 1.0f, 1.0, false);
  ASSERT_TRUE(player->wait().isFailure());
  const std::string why = player->wait().error().localizedDescription();
  EXPECT_EQ(why.rfind("cannot play " + text.string() + ": ", 0), 0u) << why;
  EXPECT_TRUE(test::waitFor([&] {
    std::lock_guard<std::mutex> guard(printedLock);
    return printed == std::vector<std::string>{why};
  }));
  EXPECT_TRUE(sounds_->playSound("notes", "txt", 1.0f, 1.0, false)->wait().isFailure());
  EXPECT_EQ(SoundPlayer::make(text.string() + ".missing", {}).error().localizedDescription(),
            "cannot play " + text.string() + ".missing: no such file");
  setOutputSink(nullptr);
}

}  // namespace
}  // namespace mornik
