#include "mornik/platform/SoundPlayer.hpp"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>

#include <gtest/gtest.h>

#include "mornik/platform/Workspace.hpp"

#include "tests/desktop/support/Desktop.hpp"

namespace mornik {
namespace {

namespace fs = std::filesystem;

// Plays `file` into a WAV file and returns the recording's RMS level (with
// sox decoding it) and its length in samples.
std::pair<double, std::size_t> recordAt(const fs::path& file, float volume) {
  const fs::path out = test::desktopRoot() / "out.wav";
  SoundPlayer::Options recording;
  recording.volume = volume;
  recording.sink = "audioconvert ! wavenc ! filesink location=" + out.string();
  auto player = SoundPlayer::make(file, recording);
  EXPECT_TRUE(player.isSuccess());
  if (player.isFailure()) return {0, 0};
  EXPECT_TRUE(player.value()->play().isSuccess());
  EXPECT_TRUE(test::waitFor([&] { return !player.value()->isPlaying(); }));
  player.value().reset();  // the pipeline ends
  const std::string raw =
      test::run({"sox", out.string(), "-t", "raw", "-e", "signed", "-b", "16", "-c", "1", "-"})
          .output;
  double sum = 0;
  const std::size_t count = raw.size() / 2;
  for (std::size_t i = 0; i < count; ++i) {
    std::int16_t sample = 0;
    std::memcpy(&sample, raw.data() + 2 * i, 2);
    sum += static_cast<double>(sample) * sample;
  }
  return {count == 0 ? 0 : std::sqrt(sum / static_cast<double>(count)), count};
}

class SoundPlayerTest : public testing::Test {
 protected:
  void SetUp() override {
    MORNIK_NEED_PROGRAM("sox");
    SoundOutput::setShared(SoundOutput::makeGStreamer("fakesink sync=true").value());
  }
};

TEST_F(SoundPlayerTest, VolumeScalesWhatIsPlayedAndRateShortensItOnTheOneGLibThread) {
  const fs::path file = test::tone("tone.wav", 0.5);
  const auto [full, fullLength] = recordAt(file, 1.0f);
  const auto [quarter, quarterLength] = recordAt(file, 0.25f);
  ASSERT_GT(full, 1000.0);
  EXPECT_NEAR(quarter / full, 0.25, 0.02);
  EXPECT_NEAR(static_cast<double>(fullLength), 0.5 * 22050, 0.05 * 22050);

  SoundPlayer::Options fast;
  fast.rate = 4.0;
  auto player = SoundPlayer::make(test::tone("long.wav", 2.0), fast);
  ASSERT_TRUE(player.isSuccess()) << player.error().localizedDescription();
  EXPECT_NEAR(player.value()->duration(), 2.0, 0.05);
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(player.value()->play().isSuccess());
  ASSERT_TRUE(test::waitFor([&] { return !player.value()->isPlaying(); }));
  // At rate 4 the 2 s tone ends in about 0.5 s, well before 2 s.
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(), 1.6);
  // GIO's work (the workspace's) and GStreamer's (the players' bus watches)
  // share the library's one GLib thread.
  EXPECT_FALSE(Workspace::makeDesktop({})->applicationsFor("application/x-mornik").empty());
  EXPECT_EQ(test::threadsNamed("mornik.glib"), 1);
  EXPECT_EQ(test::threadsNamed("mornik.gio") + test::threadsNamed("mornik.gst"), 0);
}

// Looping, stopping, and a file that is not sound: AudioPlayerManager_test.cpp.

TEST(SystemSound, FindsTheFreedesktopTheme) {
  if (!fs::exists("/usr/share/sounds/freedesktop/stereo/bell.oga")) {
    GTEST_SKIP() << "sound-theme-freedesktop is not installed";
  }
  EXPECT_EQ(systemSoundPath("bell"),
            test::desktopRoot() / "share/sounds/freedesktop/stereo/bell.oga");
  EXPECT_EQ(systemSoundPath("no-such-sound"), std::nullopt);
  EXPECT_EQ(systemSoundPath("../bell"), std::nullopt);
}

}  // namespace
}  // namespace mornik
