#include "mornik/platform/UserDefaults.hpp"

#include <atomic>
#include <filesystem>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "mornik/fs/AtomicFile.hpp"
#include "mornik/fs/FileContents.hpp"
#include "mornik/platform/AppIdentity.hpp"

#include "tests/support/Child.hpp"
#include "tests/support/Concurrently.hpp"
#include "tests/support/Sanitizers.hpp"
#include "tests/support/TempDir.hpp"

namespace mornik {
namespace {

namespace fs = std::filesystem;

const auto& gHome = test::useTemporaryHome();

std::set<std::string> entriesOf(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename());
  return names;
}

TEST(UserDefaults, StandardStoreLivesInTheConfigFolderOfTheApplication) {
  ASSERT_TRUE(AppIdentity::setIdentifier("org.example.Defaults").isSuccess());
  const auto defaults = UserDefaults::standard();
  EXPECT_EQ(defaults, UserDefaults::standard());
  const auto file = gHome / ".config" / "org.example.Defaults" / "defaults.json";
  EXPECT_EQ(defaults->filePath(), file);
  EXPECT_EQ(defaults->string("theme"), std::nullopt);
  ASSERT_TRUE(defaults->set("dark", "theme").isSuccess());
  EXPECT_EQ(defaults->string("theme"), "dark");
  EXPECT_EQ(readFileContents(file).value(), "{\n  \"theme\": \"dark\"\n}");
  // Private to the user, whatever the umask.
  for (const auto& path : {file.parent_path(), file}) {
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
  EXPECT_EQ(theirs->string("gone"), "a \"quoted\" / text");
  ASSERT_TRUE(theirs->removeObject("gone").isSuccess());
  ASSERT_TRUE(theirs->removeObject("never").isSuccess());
  EXPECT_EQ(theirs->string("mine"), "1");  // read: the file changed, so it is re-read
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
}

TEST(UserDefaults, CorruptFileIsReportedAndKeptAsideByTheFirstWrite) {
  const std::string tooDeep =
      R"({"theme": "dark", "deep": )" + std::string(10'000, '[') + std::string(10'000, ']') + "}";
  const struct {
    std::string contents;
    std::string reason;
  } cases[] = {
      {"{\"theme\": \"dark\",",
       "it is not valid JSON ([json.exception.parse_error.101] parse error at line 1, column 18: "
       "syntax error while parsing object key - unexpected end of input; expected string "
       "literal)"},
      {"[1, 2]", "it holds a JSON array, not an object"},
      {"{\"theme\": \"\xFF\"}", "it is not UTF-8 text"},
      {tooDeep, "can't decode JSON nested deeper than 512 levels"},
  };
  for (const auto& c : cases) {
    test::TempDir dir;
    const auto file = dir / "defaults.json";
    ASSERT_TRUE(writeAtomically(file, c.contents).isSuccess());
    auto defaults = UserDefaults::atPath(file);
    EXPECT_EQ(defaults->string("theme"), std::nullopt);
    ASSERT_TRUE(defaults->loadError().has_value()) << c.reason;
    EXPECT_EQ(defaults->loadError()->localizedDescription(),
              "can't read " + file.string() + ": " + c.reason +
                  "; the next write keeps it as defaults.json.corrupt-<UTC time>");

    ASSERT_TRUE(defaults->set("light", "theme").isSuccess()) << c.reason;
    ASSERT_TRUE(defaults->removeObject("theme").isSuccess());
    EXPECT_EQ(defaults->loadError(), std::nullopt);
    EXPECT_EQ(readFileContents(file).value(), "{}");
    const auto names = entriesOf(dir.path());
    ASSERT_EQ(names.size(), 3U);  // the file, its lock and the one backup
    const auto backup = *std::next(names.begin());
    EXPECT_EQ(backup.rfind("defaults.json.corrupt-", 0), 0U) << backup;
    EXPECT_EQ(readFileContents(dir / backup).value(), c.contents);
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
  EXPECT_EQ(entriesOf(dir.path()), (std::set<std::string>{"defaults.json", "defaults.json.lock"}));
}

TEST(UserDefaults, WriteFailuresLeaveTheFileAndTheValuesAlone) {
  test::TempDir dir;
  const auto file = dir / "defaults.json";
  auto defaults = UserDefaults::atPath(file);
  ASSERT_TRUE(defaults->set("kept", "k").isSuccess());
  // The folder where the store would write is a file now.
  auto blocked = UserDefaults::atPath(dir / "defaults.json" / "inner.json");
  const auto failed = blocked->set("v", "k");
  ASSERT_TRUE(failed.isFailure());
  EXPECT_EQ(failed.error().code(), ENOTDIR);
  EXPECT_EQ(blocked->string("k"), std::nullopt);
  EXPECT_EQ(defaults->string("k"), "kept");
}

TEST(UserDefaults, ThreadsWritingOneStoreLoseNothing) {
  test::TempDir dir;
  auto first = UserDefaults::atPath(dir / "defaults.json");
  auto second = UserDefaults::atPath(dir / "defaults.json");
  const int perThread = test::scaled(20);
  std::atomic<int> failures{0};
  test::runConcurrently(4, [&](int thread) {
    auto& store = thread % 2 == 0 ? *first : *second;
    for (int i = 0; i < perThread; ++i) {
      const std::string key = "t" + std::to_string(thread) + "-" + std::to_string(i);
      if (store.set(key, key).isFailure()) ++failures;
      if (store.string(key) != key) ++failures;
    }
  });
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(UserDefaults::atPath(dir / "defaults.json")->dictionaryRepresentation().size(),
            static_cast<std::size_t>(4 * perThread));
}

TEST(UserDefaults, ProcessesWritingAtOnceLoseNothing) {
  test::TempDir dir;
  const auto file = (dir / "defaults.json").string();
  const int perProcess = test::scaled(60);
  auto a = test::startChild({"defaults-set", file, "a", std::to_string(perProcess)});
  auto b = test::startChild({"defaults-set", file, "b", std::to_string(perProcess)});
  auto mine = UserDefaults::atPath(file);
  for (int i = 0; i < perProcess; ++i) {
    ASSERT_TRUE(mine->set("mine", "m" + std::to_string(i)).isSuccess());
  }
  for (const auto& child : {a, b}) {
    EXPECT_EQ(test::readAll(child.output), "");
    EXPECT_EQ(test::waitChild(child.pid), 0);
    ::close(child.output);
  }
  // Every key of every writer (they are all distinct).
  EXPECT_EQ(UserDefaults::atPath(file)->dictionaryRepresentation().size(),
            static_cast<std::size_t>(3 * perProcess));
  EXPECT_EQ(mine->string("a0"), "value of a0");
}

}  // namespace
}  // namespace mornik
