#include "mornik/settings/UserDefaults.hpp"

#include <atomic>
#include <filesystem>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "mornik/fileio/AtomicFile.hpp"
#include "mornik/fileio/FileContents.hpp"
#include "mornik/settings/AppIdentity.hpp"

#include "tests/support/Child.hpp"
#include "tests/support/Concurrently.hpp"
#include "tests/support/Sanitizers.hpp"
#include "tests/support/TempDir.hpp"

namespace mornik {
namespace {

const auto& gHome = test::useTemporaryHome();

TEST(UserDefaults, StandardStoreIsPrivateToTheUserInTheApplicationsConfigFolder) {
  ASSERT_TRUE(AppIdentity::setIdentifier("org.example.Defaults").isSuccess());
  const auto defaults = UserDefaults::standard();
  const auto file = gHome / ".config" / "org.example.Defaults" / "defaults.json";
  EXPECT_EQ(defaults->filePath(), file);
  ASSERT_TRUE(defaults->set("dark", "theme").isSuccess());
  EXPECT_EQ(readFileContents(file).value(), "{\n  \"theme\": \"dark\"\n}");
  for (const auto& path : {file.parent_path(), file}) {  // whatever the umask
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, S_ISDIR(info.st_mode) ? 0700U : 0600U) << path;
  }
}

TEST(UserDefaults, OtherWritersChangesAreReadAndNeverLost) {
  test::TempDir dir;
  const auto file = dir / "nested" / "defaults.json";
  auto mine = UserDefaults::atPath(file);
  auto theirs = UserDefaults::atPath(file);  // another process, as far as the file knows
  ASSERT_TRUE(mine->set("a \"quoted\" / text", "gone").isSuccess());
  ASSERT_TRUE(mine->set("1", "mine").isSuccess());
  EXPECT_EQ(theirs->string("gone"), "a \"quoted\" / text");  // re-read: the file changed
  ASSERT_TRUE(theirs->removeObject("gone").isSuccess());
  ASSERT_TRUE(theirs->removeObject("never").isSuccess());
  ASSERT_TRUE(theirs->set("2", "theirs").isSuccess());
  ASSERT_TRUE(mine->set("3", "mine again").isSuccess());  // re-read before the write
  EXPECT_EQ(
      UserDefaults::atPath(file)->dictionaryRepresentation(),
      (std::map<std::string, std::string>{{"mine", "1"}, {"mine again", "3"}, {"theirs", "2"}}));
  // A hand edit: numbers and booleans read as text, other values as nothing,
  // and a write keeps them all.
  ASSERT_TRUE(writeAtomically(file, R"({"n": 12, "b": true, "list": [1], "s": "x"})").isSuccess());
  EXPECT_EQ(mine->string("n"), "12");
  EXPECT_EQ(mine->string("b"), "true");
  EXPECT_EQ(mine->string("list"), std::nullopt);
  ASSERT_TRUE(mine->set("y", "s").isSuccess());
  EXPECT_EQ(readFileContents(file).value(),
            "{\n  \"b\": true,\n  \"list\": [\n    1\n  ],\n  \"n\": 12,\n  \"s\": \"y\"\n}");
  // Where the store's folder would be there is a file: the write fails and
  // the store's values stay as they were.
  auto blocked = UserDefaults::atPath(file / "inner.json");
  EXPECT_EQ(blocked->set("v", "k").error().code(), ENOTDIR);
  EXPECT_EQ(blocked->string("k"), std::nullopt);
}

TEST(UserDefaults, CorruptFileIsReportedAndKeptAsideByTheFirstWrite) {
  const std::string deep = std::string(10'000, '[') + std::string(10'000, ']');
  const std::pair<std::string, std::string> cases[] = {
      {"{\"theme\": \"dark\",",
       "it is not valid JSON ([json.exception.parse_error.101] parse error at line 1, column 18: "
       "syntax error while parsing object key - unexpected end of input; expected string "
       "literal)"},
      {"[1, 2]", "it holds a JSON array, not an object"},
      {"{\"theme\": \"\xFF\"}", "it is not UTF-8 text"},
      {R"({"theme": "dark", "deep": )" + deep + "}",
       "can't decode JSON nested deeper than 512 levels"},
  };
  for (const auto& [contents, reason] : cases) {
    test::TempDir dir;
    const auto file = dir / "defaults.json";
    ASSERT_TRUE(writeAtomically(file, contents).isSuccess());
    auto defaults = UserDefaults::atPath(file);
    EXPECT_EQ(defaults->string("theme"), std::nullopt);
    ASSERT_TRUE(defaults->loadError().has_value()) << reason;
    EXPECT_EQ(defaults->loadError()->localizedDescription(),
              "can't read " + file.string() + ": " + reason +
                  "; the next write keeps it as defaults.json.corrupt-<UTC time>");

    ASSERT_TRUE(defaults->set("light", "theme").isSuccess()) << reason;
    ASSERT_TRUE(defaults->removeObject("theme").isSuccess());
    EXPECT_EQ(defaults->loadError(), std::nullopt);
    EXPECT_EQ(readFileContents(file).value(), "{}");
    const auto names = test::entriesOf(dir.path());  // the file, its lock and the one backup
    ASSERT_EQ(names.size(), 3U);
    const auto backup = *std::next(names.begin());
    EXPECT_EQ(backup.rfind("defaults.json.corrupt-", 0), 0U) << backup;
    EXPECT_EQ(readFileContents(dir / backup).value(), contents);
  }
}

// The child writes under RLIMIT_FSIZE: the corrupt file must still be
// there afterwards, with nothing beside it.
TEST(UserDefaults, FailedWriteLeavesACorruptFileInPlace) {
  test::TempDir dir;
  const auto file = dir / "defaults.json";
  ASSERT_TRUE(writeAtomically(file, "{corrupt").isSuccess());
  const auto run = test::runChild({"defaults-fsize", file.string(), "4096", "65536"});
  if (run.exitCode == test::kChildUnsupported) GTEST_SKIP() << "setrlimit refused";
  EXPECT_EQ(run.output, "code=" + std::to_string(EFBIG) + "\ncan't write " + file.string() +
                            ": the file would exceed the size limit\n");
  EXPECT_EQ(readFileContents(file).value(), "{corrupt");
  EXPECT_EQ(test::entriesOf(dir.path()),
            (std::set<std::string>{"defaults.json", "defaults.json.lock"}));
}

// Two stores on one file in this process (only the file lock keeps them
// apart) and two other processes, all writing distinct keys at once.
TEST(UserDefaults, ThreadsAndProcessesWritingAtOnceLoseNothing) {
  test::TempDir dir;
  const auto file = (dir / "defaults.json").string();
  const int count = test::scaled(40);
  auto a = test::startChild({"defaults-set", file, "a", std::to_string(count)});
  auto b = test::startChild({"defaults-set", file, "b", std::to_string(count)});
  auto first = UserDefaults::atPath(file);
  auto second = UserDefaults::atPath(file);
  std::atomic<int> failures{0};
  test::runConcurrently(4, [&](int thread) {
    auto& store = thread % 2 == 0 ? *first : *second;
    for (int i = 0; i < count; ++i) {
      const std::string key = "t" + std::to_string(thread) + "-" + std::to_string(i);
      if (store.set(key, key).isFailure() || store.string(key) != key) ++failures;
    }
  });
  EXPECT_EQ(failures.load(), 0);
  for (const auto& child : {a, b}) {
    EXPECT_EQ(test::readAll(child.output), "");
    EXPECT_EQ(test::waitChild(child.pid), 0);
    ::close(child.output);
  }
  EXPECT_EQ(UserDefaults::atPath(file)->dictionaryRepresentation().size(),
            static_cast<std::size_t>(6 * count));
  EXPECT_EQ(first->string("a0"), "value of a0");
}

}  // namespace
}  // namespace mornik
