#include "mornik/platform/AppIdentity.hpp"

#include <cstdlib>

#include <gtest/gtest.h>

#include "tests/support/TempDir.hpp"

namespace mornik {
namespace {

const auto& gHome = test::useTemporaryHome();

// Sets an environment variable for one test and puts the old value back.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;  // NOLINT(concurrency-mt-unsafe)
    if (value != nullptr) {
      ::setenv(name, value, 1);  // NOLINT(concurrency-mt-unsafe)
    } else {
      ::unsetenv(name);  // NOLINT(concurrency-mt-unsafe)
    }
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
    } else {
      ::unsetenv(name_);  // NOLINT(concurrency-mt-unsafe)
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
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
