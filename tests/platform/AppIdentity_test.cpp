#include "mornik/platform/AppIdentity.hpp"

#include <cstdlib>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/TempDir.hpp"

namespace mornik {
namespace {

const auto& gHome = test::useTemporaryHome();

// Sets an environment variable (nullptr: unsets it) until the end of the scope.
struct ScopedEnv {
  ScopedEnv(const char* name, const char* value) : name(name) {
    if (const char* now = std::getenv(name)) old = now;  // NOLINT(concurrency-mt-unsafe)
    set(value);
  }
  ~ScopedEnv() { set(old ? old->c_str() : nullptr); }
  void set(const char* value) const {
    value != nullptr ? ::setenv(name, value, 1)
                     : ::unsetenv(name);  // NOLINT(concurrency-mt-unsafe)
  }
  const char* name;
  std::optional<std::string> old;
};

TEST(AppIdentity, DefaultsToTheExecutableAndTakesAValidIdentifier) {
  EXPECT_EQ(AppIdentity::executablePath().filename(), "mornik_platform_tests");
  EXPECT_EQ(AppIdentity::identifier(), "mornik_platform_tests");
  for (const char* bad : {"", ".", "..", "a/b"}) {
    const auto refused = AppIdentity::setIdentifier(bad);
    ASSERT_TRUE(refused.isFailure());
    EXPECT_EQ(refused.error().localizedDescription(),
              std::string("invalid application identifier: ") + bad);
  }
  EXPECT_EQ(AppIdentity::identifier(), "mornik_platform_tests");
  ASSERT_TRUE(AppIdentity::setIdentifier("org.example.Notes").isSuccess());
  EXPECT_EQ(AppIdentity::identifier(), "org.example.Notes");
  EXPECT_EQ(AppIdentity::configFolder(), gHome / ".config" / "org.example.Notes");
  EXPECT_EQ(AppIdentity::applicationSupportFolder(), gHome / ".local/share" / "org.example.Notes");
}

TEST(AppIdentity, XdgFoldersFallBackToTheHomeFolder) {
  ScopedEnv config("XDG_CONFIG_HOME", "");
  ScopedEnv data("XDG_DATA_HOME", "relative/path");  // not absolute: ignored
  EXPECT_EQ(AppIdentity::configHome(), gHome / ".config");
  EXPECT_EQ(AppIdentity::dataHome(), gHome / ".local" / "share");
  ScopedEnv home("HOME", "/custom/home");
  EXPECT_EQ(AppIdentity::configHome(), std::filesystem::path("/custom/home/.config"));
  ScopedEnv set("XDG_DATA_HOME", "/data");
  EXPECT_EQ(AppIdentity::dataHome(), std::filesystem::path("/data"));
}

}  // namespace
}  // namespace mornik
