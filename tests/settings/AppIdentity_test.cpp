#include "mornik/settings/AppIdentity.hpp"

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/TempDir.hpp"

namespace mornik {
namespace {

const auto& gHome = test::useTemporaryHome();

TEST(AppIdentity, DefaultsToTheExecutableAndTakesAValidIdentifier) {
  EXPECT_EQ(AppIdentity::executablePath().filename(), "mornik_settings_tests");
  EXPECT_EQ(AppIdentity::identifier(), "mornik_settings_tests");
  for (const char* bad : {"", ".", "..", "a/b"}) {
    EXPECT_EQ(AppIdentity::setIdentifier(bad).error().localizedDescription(),
              std::string("invalid application identifier: ") + bad);
  }
  EXPECT_EQ(AppIdentity::identifier(), "mornik_settings_tests");
  ASSERT_TRUE(AppIdentity::setIdentifier("org.example.Notes").isSuccess());
  EXPECT_EQ(AppIdentity::identifier(), "org.example.Notes");
}

TEST(AppIdentity, XdgFoldersFallBackToTheHomeFolder) {
  const auto env = [](const char* name, const std::string& value) {
    ::setenv(name, value.c_str(), 1);  // NOLINT(concurrency-mt-unsafe): no other thread
  };
  env("XDG_CONFIG_HOME", "");
  env("XDG_DATA_HOME", "relative/path");  // not absolute: ignored
  EXPECT_EQ(AppIdentity::configHome(), gHome / ".config");
  EXPECT_EQ(AppIdentity::dataHome(), gHome / ".local" / "share");
  env("HOME", "/custom/home");
  EXPECT_EQ(AppIdentity::configHome(), std::filesystem::path("/custom/home/.config"));
  env("XDG_DATA_HOME", "/data");
  EXPECT_EQ(AppIdentity::dataHome(), std::filesystem::path("/data"));
  // Back to the temporary home for the tests after this one.
  env("HOME", gHome);
  env("XDG_CONFIG_HOME", gHome / ".config");
  env("XDG_DATA_HOME", gHome / ".local/share");
}

TEST(AppIdentity, ATranslatorRunsOutsideTheLockAndMayReplaceItself) {
  // Called under the lock, replacing itself from inside would deadlock.
  AppIdentity::setTranslator([](std::string_view text) {
    AppIdentity::setTranslator(nullptr);
    return "[" + std::string(text) + "]";
  });
  EXPECT_EQ(AppIdentity::localizedString("Open"), "[Open]");
  EXPECT_EQ(AppIdentity::localizedString("Open"), "Open");  // gettext, no catalogue
  EXPECT_EQ(AppIdentity::localizedString(""), "");
}

}  // namespace
}  // namespace mornik
