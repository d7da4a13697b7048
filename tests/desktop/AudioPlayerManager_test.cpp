#include "mornik/desktop/AudioPlayerManager.hpp"

#include <chrono>
#include <fstream>

#include <gtest/gtest.h>

#include "mornik/base/Output.hpp"
#include "mornik/concurrency/LockedVar.hpp"
#include "mornik/flow/pool/Pool.hpp"
#include "mornik/settings/AppIdentity.hpp"

#include "tests/desktop/support/Desktop.hpp"

namespace mornik {
namespace {

TEST(AudioPlayerManager, PlaysResourcesLoopsStopsAndSaysWhyAFileIsNotSound) {
  MORNIK_NEED_PROGRAM("sox");
  SoundOutput::setShared(SoundOutput::makeGStreamer("fakesink sync=true").value());
  AppIdentity::setResourceFolder(test::desktopRoot());
  test::tone("ding.wav", 0.6);
  auto sounds = AudioPlayerManager::make();
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
  EXPECT_EQ(sounds->playSound("ding", "wav", 0.5f, 1.0, true)->wait().maybeSuccess(), true);
  // Not an ordering sleep: the sound must still play after two of its ends.
  RunLoop::main().runFor(1.5);
  EXPECT_TRUE(sounds->isPlaying());
  EXPECT_EQ(sounds->players().size(), 1u);  // the finished one was pruned
  sounds->stopPlayingAll();
  EXPECT_TRUE(test::waitFor([&] { return !sounds->isPlaying(); }));
  EXPECT_TRUE(sounds->players().empty());

  // A file that is not sound: the failure, also printed as a line (the
  // future dropped at once).
  std::ofstream(test::desktopRoot() / "notes.txt") << "words, not sound\n";
  LockedVar<std::vector<std::string>> printed{{}};
  setOutputSink([&](std::string_view line) {
    printed.access([&](std::vector<std::string>& lines) { lines.emplace_back(line); });
  });
  const std::string path = (test::desktopRoot() / "notes.txt").string();
  const std::string why = sounds->playSound(URL::fileURL(path), 1.0f, 1.0, false)
                              ->wait()
                              .error()
                              .localizedDescription();
  EXPECT_EQ(why.rfind("cannot play " + path + ": ", 0), 0u) << why;
  EXPECT_TRUE(test::waitFor([&] { return printed.read() == std::vector<std::string>{why}; }));
  EXPECT_TRUE(sounds->playSound("notes", "txt", 1.0f, 1.0, false)->wait().isFailure());
  setOutputSink(nullptr);
  EXPECT_EQ(SoundPlayer::make(path + ".missing", {}).error().localizedDescription(),
            "cannot play " + path + ".missing: no such file");
}

}  // namespace
}  // namespace mornik
