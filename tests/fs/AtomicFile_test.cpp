#include "mornik/fs/AtomicFile.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "mornik/fs/FileContents.hpp"

#include "tests/support/Child.hpp"
#include "tests/support/Concurrently.hpp"
#include "tests/support/Sanitizers.hpp"
#include "tests/support/TempDir.hpp"
#include "tests/support/VersionedContent.hpp"

namespace mornik {
namespace {

namespace fs = std::filesystem;

std::string contentsOf(const fs::path& path) { return readFileContents(path).value(); }

std::set<std::string> entriesOf(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename());
  return names;
}

unsigned permissionsOf(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0);
  return info.st_mode & 07777;
}

TEST(AtomicFile, CreatesAndReplacesWithoutLeavingAnythingBeside) {
  test::TempDir dir;
  const auto target = dir / "notes.txt";
  ASSERT_TRUE(writeAtomically(target, "first").isSuccess());
  EXPECT_EQ(contentsOf(target), "first");
  ASSERT_TRUE(writeAtomically(target, "second, longer").isSuccess());
  EXPECT_EQ(contentsOf(target), "second, longer");
  ASSERT_TRUE(writeAtomically(target, "").isSuccess());
  EXPECT_EQ(contentsOf(target), "");
  EXPECT_EQ(entriesOf(dir.path()), std::set<std::string>{"notes.txt"});
}

TEST(AtomicFile, NewFilesTakeTheOptionAndReplacementsKeepTheTargetsPermissions) {
  test::TempDir dir;
  const mode_t previous = ::umask(022);
  const auto secret = dir / "secret";
  ASSERT_TRUE(writeAtomically(secret, "k", AtomicWriteOptions{0600}).isSuccess());
  EXPECT_EQ(permissionsOf(secret), 0600U);
  const auto shared = dir / "shared";
  ASSERT_TRUE(writeAtomically(shared, "a", AtomicWriteOptions{0777}).isSuccess());
  EXPECT_EQ(permissionsOf(shared), 0644U);  // never an execute bit; less the umask
  ASSERT_EQ(::chmod(shared.c_str(), 0750), 0);
  ASSERT_TRUE(writeAtomically(shared, "b").isSuccess());
  EXPECT_EQ(permissionsOf(shared), 0750U);
  ::umask(previous);
}

void expectFailure(const Result<void>& result, int code, const std::string& description) {
  ASSERT_TRUE(result.isFailure());
  EXPECT_EQ(result.error().domain(), "POSIX");
  EXPECT_EQ(result.error().code(), code);
  EXPECT_EQ(result.error().localizedDescription(), description);
}

TEST(AtomicFile, LinksStayAndTheFileAtTheEndOfTheChainIsWritten) {
  test::TempDir dir;
  const mode_t previous = ::umask(022);
  ASSERT_TRUE(writeAtomically(dir / "real.json", "old").isSuccess());
  fs::create_symlink(dir / "real.json", dir / "link");
  fs::create_symlink("missing.json", dir / "broken");  // relative, to nothing
  fs::create_symlink("broken", dir / "chain");
  fs::create_symlink("loop-b", dir / "loop-a");
  fs::create_symlink("loop-a", dir / "loop-b");
  ASSERT_TRUE(writeAtomically(dir / "link", "new").isSuccess());
  EXPECT_EQ(contentsOf(dir / "real.json"), "new");
  ASSERT_TRUE(writeAtomically(dir / "chain", "created").isSuccess());
  EXPECT_EQ(contentsOf(dir / "missing.json"), "created");
  EXPECT_EQ(permissionsOf(dir / "missing.json"), 0644U);  // a new file, not the link's 0777
  expectFailure(writeAtomically(dir / "loop-a", "x"), ELOOP,
                "can't write " + (dir / "loop-a").string() + ": Too many levels of symbolic links");
  for (const char* link : {"link", "broken", "chain", "loop-a", "loop-b"}) {
    EXPECT_TRUE(fs::is_symlink(dir / link)) << link;
  }
  ::umask(previous);
}

TEST(AtomicFile, FolderProblemsAreNamedInTheError) {
  test::TempDir dir;
  const auto missing = dir / "nowhere" / "file.txt";
  expectFailure(writeAtomically(missing, "x"), ENOENT,
                "can't write " + missing.string() + ": the folder " + (dir / "nowhere").string() +
                    " does not exist");
  ASSERT_TRUE(writeAtomically(dir / "plain", "x").isSuccess());
  const auto underFile = dir / "plain" / "file.txt";
  expectFailure(writeAtomically(underFile, "x"), ENOTDIR,
                "can't write " + underFile.string() + ": the folder " + (dir / "plain").string() +
                    " does not exist");
  fs::create_directory(dir / "folder");
  expectFailure(writeAtomically(dir / "folder", "x"), EISDIR,
                "can't write " + (dir / "folder").string() + ": it is a folder");
  EXPECT_TRUE(fs::is_directory(dir / "folder"));
}

TEST(AtomicFile, UnwritableFolderFailsAndKeepsTheTarget) {
  test::TempDir dir;
  const auto folder = dir / "locked";
  fs::create_directory(folder);
  const auto target = folder / "file.txt";
  ASSERT_TRUE(writeAtomically(target, "old content").isSuccess());
  fs::permissions(dir.path(),
                  fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_exec |
                              fs::perms::others_exec);
  // root ignores permission bits, so the write is tried by an ordinary user.
  const auto run = test::runChild({"as-user", "65534", target.string()});
  if (run.exitCode == test::kChildUnsupported) GTEST_SKIP() << "cannot switch to user 65534";
  ASSERT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.output, "code=" + std::to_string(EACCES) + "\ncan't write " + target.string() +
                            ": no permission to write in the folder " + folder.string() + "\n");
  EXPECT_EQ(contentsOf(target), "old content");
  EXPECT_EQ(entriesOf(folder), std::set<std::string>{"file.txt"});
}

// The child leaves SIGXFSZ at its default action, which ends the process.
TEST(AtomicFile, FileSizeLimitFailsAndKeepsTheTarget) {
  test::TempDir dir;
  const auto target = dir / "big.bin";
  ASSERT_TRUE(writeAtomically(target, "small").isSuccess());
  const auto run = test::runChild({"fsize-limit", target.string(), "4096", "65536"});
  if (run.exitCode == test::kChildUnsupported) GTEST_SKIP() << "setrlimit refused";
  ASSERT_EQ(run.exitCode, 0);
  const std::string efbig = "code=" + std::to_string(EFBIG) + "\n";
  EXPECT_EQ(run.output, efbig + "can't write " + target.string() +
                            ": the file would exceed the size limit\n" + efbig +
                            "write: File too large\n");  // FileHandle's write
  EXPECT_EQ(contentsOf(target), "small");
  EXPECT_EQ(entriesOf(dir.path()), (std::set<std::string>{"big.bin", "big.bin.handle"}));
}

TEST(AtomicFile, FullDiskFailsAndKeepsTheTarget) {
  test::TempDir dir;
  fs::create_directory(dir / "disk");
  const auto run = test::runChild({"tiny-disk", (dir / "disk").string(), "old bytes", "262144"});
  if (run.exitCode == test::kChildUnsupported) {
    GTEST_SKIP() << "no private mount namespace here (needs root)";
  }
  ASSERT_EQ(run.exitCode, 0);
  const auto target = (dir / "disk" / "target").string();
  EXPECT_EQ(run.output, "code=" + std::to_string(ENOSPC) + "\ncan't write " + target +
                            ": the disk is full\nold bytes\nentries=1\n");
}

TEST(AtomicFile, ConcurrentWritersAndReadersSeeOnlyWholeContents) {
  test::TempDir dir;
  const auto target = dir / "shared.txt";
  ASSERT_TRUE(writeAtomically(target, test::versionedContent(0)).isSuccess());
  const int rounds = test::scaled(40);
  std::atomic<int> torn{0};
  std::atomic<int> failed{0};
  test::runConcurrently(4, [&](int thread) {
    for (int i = 0; i < rounds; ++i) {
      if (thread < 2) {
        if (writeAtomically(target, test::versionedContent(thread * 1000 + i + 1)).isFailure()) {
          ++failed;
        }
      } else {
        auto read = readFileContents(target);
        if (read.isFailure() || !test::completeVersion(read.value())) ++torn;
      }
    }
  });
  EXPECT_EQ(failed.load(), 0);
  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(entriesOf(dir.path()), std::set<std::string>{"shared.txt"});
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

    const auto version = test::completeVersion(contentsOf(target));
    ASSERT_TRUE(version.has_value()) << "torn target after round " << round;
    ASSERT_GE(*version, seen + 1) << "the ready write was lost";
    advanced += *version > seen + 1 ? 1 : 0;
    seen = *version;
    for (const auto& name : entriesOf(dir.path())) {
      if (name == "target.txt") continue;
      ASSERT_TRUE(test::completeVersion(contentsOf(dir / name)).has_value()) << name;
      fs::remove(dir / name);
    }
  }
  // The kills did land while the child was writing, not only before it.
  EXPECT_GT(advanced, 0);
}

}  // namespace
}  // namespace mornik
