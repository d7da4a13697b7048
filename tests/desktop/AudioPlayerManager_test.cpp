#include "mornik/desktop/AudioPlayerManager.hpp"

#include <chrono>
#include <fstream>

#include <gtest/gtest.h>

#include "mornik/base/Output.hpp"
#include "mornik/flow/pool/Pool.hpp"
#include "mornik/settings/AppIdentity.hpp"

#include "tests/desktop/support/Desktop.hpp"

namespace mornik {
namespace {

namespace fs = std::filesystem;

TEST(AudioPlayerManager, PlaysResourcesLoopsStopsAndSaysWhyAFileIsNotSound) {
  MORNIK_NEED_PROGRAM("sox");
  SoundOutput::setShared(SoundOutput::makeGStreamer("fakesink sync=true").value());
  const fs::path resources = test::desktopRoot() / "resources";
  AppIdentity::setResourceFolder(resources);
  fs::create_directories(resources);
  test::run({"sox", "-n", "-r", "22050", "-c", "1", (resources / "ding.wav").string(), "synth",
             "0.6", "sine", "880"});
  auto sounds = AudioPlayerManager::make();
  EXPECT_EQ(AudioPlayerManager::audioQueue().label(), "com.app.audio");
  EXPECT_EQ(sounds->pool()->queue(), AudioPlayerManager::audioQueue());
  EXPECT_EQ(sounds->playSound("nothing", "wav", 1.0f, 1.0, false)->wait().maybeSuccess(), false);

  const auto started = std::chrono::steady_clock::now();
  auto once = sounds->playSound("ding", "wav", 0.5f, 1.0, false);
  EXPECT_TRUE(sounds->isPlaying());
  EXPECT_EQ(once->wait().maybeSuccess(), true);
  EXPECT_GE(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(),
            0.55);
  // The future is timed by the clock; the player ends by itself a moment
  // later on a loaded machine.
  ASSERT_TRUE(test::waitFor([&] { return !sounds->isPlaying(); }));
  auto looping = sounds->playSound("ding", "wav", 0.5f, 1.0, true);
  EXPECT_EQ(looping->wait().maybeSuccess(), true);
  // Not an ordering sleep: the sound must still play after two of its ends.
  RunLoop::main().runFor(1.5);
  EXPECT_TRUE(sounds->isPlaying());
  EXPECT_EQ(sounds->players().size(), 1u);  // the finished one was pruned
  sounds->stopPlayingAll();
  EXPECT_TRUE(test::waitFor([&] { return !sounds->isPlaying(); }));
  EXPECT_TRUE(sounds->players().empty());

  // A file that is not sound: the failure, also printed as a line.
  std::ofstream(resources / "notes.txt") << "words, not sound\n";
  std::vector<std::string> printed;
  std::mutex printedLock;
  setOutputSink([&](std::string_view line) {
    std::lock_guard<std::mutex> guard(printedLock);
    printed.emplace_back(line);
  });
  const std::string path = (resources / "notes.txt").string();
  auto failed = sounds->playSound(URL::fileURL(path), 1.0f, 1.0, false);
  const std::string why = failed->wait().error().localizedDescription();
  EXPECT_EQ(why.rfind("cannot play " + path + ": ", 0), 0u) << why;
  EXPECT_TRUE(test::waitFor([&] {
    std::lock_guard<std::mutex> guard(printedLock);
    return printed == std::vector<std::string>{why};
  }));
  EXPECT_TRUE(sounds->playSound("notes", "txt", 1.0f, 1.0, false)->wait().isFailure());
  setOutputSink(nullptr);
  EXPECT_EQ(SoundPlayer::make(path + ".missing", {}).error().localizedDescription(),
            "cannot play " + path + ".missing: no such file");
}

}  // namespace
}  // namespace mornik
