#include "mornik/fileio/AtomicFile.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include "mornik/fileio/FileContents.hpp"

#include "tests/support/Child.hpp"
#include "tests/support/Concurrently.hpp"
#include "tests/support/Sanitizers.hpp"
#include "tests/support/TempDir.hpp"
#include "tests/support/VersionedContent.hpp"

namespace mornik {
namespace {

namespace fs = std::filesystem;

unsigned permissionsOf(const fs::path& path) { return unsigned(fs::status(path).permissions()); }

void expectFailure(const Result<void>& result, int code, const std::string& description) {
  ASSERT_TRUE(result.isFailure());
  EXPECT_TRUE(result.error().is(kPOSIXErrorDomain, code)) << result.error();
  EXPECT_EQ(result.error().localizedDescription(), description);
}

// New files take the option's mode (never an execute bit, less the umask);
// replacements keep the target's permissions. Links stay links and the file
// at the end of the chain is written (a new one with a file's mode, not the
// link's). Nothing is left beside; loops and folder problems are named in
// the error.
TEST(AtomicFile, WritesKeepPermissionsAndLinksAndNameWhatStopsThem) {
  test::TempDir dir;
  const mode_t previous = ::umask(022);
  ASSERT_TRUE(writeAtomically(dir / "secret", "k", AtomicWriteOptions{0600}).isSuccess());
  EXPECT_EQ(permissionsOf(dir / "secret"), 0600U);
  ASSERT_TRUE(writeAtomically(dir / "real.json", "first", AtomicWriteOptions{0777}).isSuccess());
  EXPECT_EQ(permissionsOf(dir / "real.json"), 0644U);
  ASSERT_EQ(::chmod((dir / "real.json").c_str(), 0750), 0);
  fs::create_symlink(dir / "real.json", dir / "link");
  fs::create_symlink("missing.json", dir / "broken");  // relative, to nothing
  fs::create_symlink("broken", dir / "chain");
  fs::create_symlink("loop-b", dir / "loop-a");
  fs::create_symlink("loop-a", dir / "loop-b");
  ASSERT_TRUE(writeAtomically(dir / "link", "second, longer").isSuccess());
  EXPECT_EQ(test::readFile(dir / "real.json"), "second, longer");
  EXPECT_EQ(permissionsOf(dir / "real.json"), 0750U);
  ASSERT_TRUE(writeAtomically(dir / "chain", "created").isSuccess());
  EXPECT_EQ(test::readFile(dir / "missing.json"), "created");
  EXPECT_EQ(permissionsOf(dir / "missing.json"), 0644U);
  ::umask(previous);
  for (const char* link : {"link", "broken", "chain", "loop-a", "loop-b"}) {
    EXPECT_TRUE(fs::is_symlink(dir / link)) << link;
  }
  EXPECT_EQ(test::entriesOf(dir.path()).size(), 8U);
  const std::string d = dir.path().string();
  expectFailure(writeAtomically(dir / "loop-a", "x"), ELOOP,
                "can't write " + d + "/loop-a: Too many levels of symbolic links");
  expectFailure(
      writeAtomically(dir / "nowhere" / "file.txt", "x"), ENOENT,
      "can't write " + d + "/nowhere/file.txt: the folder " + d + "/nowhere does not exist");
  expectFailure(
      writeAtomically(dir / "real.json" / "file.txt", "x"), ENOTDIR,
      "can't write " + d + "/real.json/file.txt: the folder " + d + "/real.json does not exist");
  fs::create_directory(dir / "folder");
  expectFailure(writeAtomically(dir / "folder", "x"), EISDIR,
                "can't write " + d + "/folder: it is a folder");
}

// Writes that fail for want of permission, file size or disk space name the
// cause and keep the old target with nothing beside it. Each runs in a
// child: as another user (root ignores permission bits), under RLIMIT_FSIZE
// with SIGXFSZ at its default (which ends the process) and then through a
// FileHandle, and on a 64 KiB tmpfs (the child reports what it holds).
TEST(AtomicFile, FailedWritesNameTheCauseAndKeepTheTarget) {
  test::TempDir dir;
  for (const char* folder : {"locked", "big", "disk"}) fs::create_directory(dir / folder);
  const auto locked = dir / "locked" / "file.txt";
  const auto big = dir / "big" / "big.bin";
  const auto disk = dir / "disk";
  for (const auto& target : {locked, big}) ASSERT_TRUE(writeAtomically(target, "old").isSuccess());
  fs::permissions(dir.path(),
                  fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  fs::permissions(dir / "locked", fs::perms::owner_read | fs::perms::owner_exec |
                                      fs::perms::group_exec | fs::perms::others_exec);
  const auto code = [](int error) { return "code=" + std::to_string(error) + "\n"; };
  const struct {
    std::vector<std::string> args;
    std::string output;
    fs::path target;
    std::set<std::string> entries;
  } cases[] = {
      {{"as-user", "65534", locked.string()},
       code(EACCES) + "can't write " + locked.string() + ": no permission to write in the folder " +
           (dir / "locked").string() + "\n",
       locked,
       {"file.txt"}},
      {{"fsize-limit", big.string(), "4096", "65536"},
       code(EFBIG) + "can't write " + big.string() + ": the file would exceed the size limit\n" +
           code(EFBIG) + "write: File too large\n",
       big,
       {"big.bin", "big.bin.handle"}},
      {{"tiny-disk", disk.string(), "old", "262144"},
       code(ENOSPC) + "can't write " + (disk / "target").string() +
           ": the disk is full\nold\nentries=1\n",
       {},
       {}},
  };
  std::string unsupported;
  for (const auto& c : cases) {
    const auto run = test::runChild(c.args);
    if (run.exitCode == test::kChildUnsupported) {
      unsupported += " " + c.args[0];
      continue;
    }
    EXPECT_EQ(run.exitCode, 0) << c.args[0];
    EXPECT_EQ(run.output, c.output);
    if (c.target.empty()) continue;
    EXPECT_EQ(test::readFile(c.target), "old");
    EXPECT_EQ(test::entriesOf(c.target.parent_path()), c.entries);
  }
  if (!unsupported.empty()) GTEST_SKIP() << "not allowed on this machine:" << unsupported;
}

TEST(AtomicFile, ConcurrentWritersAndReadersSeeOnlyWholeContents) {
  test::TempDir dir;
  const auto target = dir / "shared.txt";
  ASSERT_TRUE(writeAtomically(target, test::versionedContent(0)).isSuccess());
  std::atomic<int> failedOrTorn{0};
  test::runConcurrently(4, [&](int thread) {
    for (int i = 0; i < test::scaled(40); ++i) {
      const bool ok =
          thread < 2
              ? writeAtomically(target, test::versionedContent(thread * 1000 + i + 1)).isSuccess()
              : test::completeVersion(readFileContents(target).valueOr("")).has_value();
      if (!ok) ++failedOrTorn;
    }
  });
  EXPECT_EQ(failedOrTorn.load(), 0);
  EXPECT_EQ(test::entriesOf(dir.path()), std::set<std::string>{"shared.txt"});
}

// A writer killed at random moments while it rewrites a file in a loop: the
// file must always hold one complete version, never older than the one seen
// before. A temporary file left by a kill between naming and renaming must
// be complete too.
TEST(AtomicFile, KilledWriterNeverLeavesAHalfWrittenTarget) {
  test::TempDir dir;
  const auto target = dir / "target.txt";
  ASSERT_TRUE(writeAtomically(target, test::versionedContent(0)).isSuccess());
  std::mt19937 random(12345);
  std::uniform_int_distribution<int> delayMicroseconds(0, 4000);
  long seen = 0;
  int advanced = 0;
  // Enough rounds for some kills to land while the child writes (checked
  // below), also with the slower children of a sanitizer build.
  const int rounds = test::kUnderThreadSanitizer ? 30 : 60;
  for (int round = 0; round < rounds; ++round) {
    auto child = test::startChild({"rewrite-loop", target.string(), std::to_string(seen + 1)});
    ASSERT_EQ(test::readLine(child.output), "ready\n");
    // Not ordering anything: a random pause picks where in the write loop the kill lands.
    std::this_thread::sleep_for(std::chrono::microseconds(delayMicroseconds(random)));
    ::kill(child.pid, SIGKILL);
    ASSERT_EQ(test::waitChild(child.pid), -SIGKILL);
    ::close(child.output);

    const auto version = test::completeVersion(test::readFile(target));
    ASSERT_GE(version.value_or(-1), seen + 1) << "torn, or the ready write lost: round " << round;
    advanced += *version > seen + 1 ? 1 : 0;
    seen = *version;
    for (const auto& name : test::entriesOf(dir.path())) {
      if (name == "target.txt") continue;
      ASSERT_TRUE(test::completeVersion(test::readFile(dir / name)).has_value()) << name;
      fs::remove(dir / name);
    }
  }
  // The kills did land while the child was writing, not only before it.
  EXPECT_GT(advanced, 0);
}

}  // namespace
}  // namespace mornik
