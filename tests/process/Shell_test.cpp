#include "mornik/process/Shell.hpp"

#include <atomic>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueueID.hpp"
#include "mornik/reactor/FdWatcher.hpp"

#include "tests/process/ProcessTesting.hpp"
#include "tests/support/Concurrently.hpp"
#include "tests/support/RunLoopWait.hpp"

namespace mornik::Flow {
namespace {

// A silent child ends both streams with a notification each; one that
// cannot start fails both end-of-file futures.
TEST(Shell, EndOfBothStreamsIsNotifiedOrFailsWhenTheChildCannotStart) {
  auto shell = Shell::make("/bin/true", asURLdir("/"));
  std::atomic<int> notes{0};
  auto subscription = shell->objectWillChange().subscribe([&] { ++notes; });
  ASSERT_TRUE(test::waitFor([&] { return notes == 1; }));  // the first, empty tail
  shell->run();
  ASSERT_TRUE(test::waitFor([&] { return notes == 3; }));
  EXPECT_TRUE(shell->stdEOF()->maybeSuccess() && shell->errEOF()->maybeSuccess());
  EXPECT_TRUE(shell->tail.get().empty());
  auto missing = Shell::make("/no/such/tool", asURLdir("/"));
  missing->run({"ignored"});
  const Result<void> expected = Error::fromErrno(ENOENT, "cannot start /no/such/tool");
  EXPECT_EQ(missing->stdEOF()->wait(), expected);
  EXPECT_EQ(missing->errEOF()->wait(), expected);
}

TEST(Shell, KeepsTheLastTwoValidChunksOfBothStreamsAndPrintsStandardOutputOnes) {
  test::PrintedLines printed;
  auto shell = Shell::make(test::kProcessChild, asURLdir("/"));
  // p\xC3 ends inside é, \xA9q starts inside it: both are dropped, c is not.
  // One stream: the two streams' chunks are handled concurrently, in no
  // fixed order between them.
  shell->run({"chunks", "o:z", "o:a", "o:p\xC3", "o:\xA9q", "o:c"});
  const Shell::Chunks expected{ShellOutput::out("a"), ShellOutput::out("c")};
  ASSERT_TRUE(test::waitFor([&] { return shell->tail.get() == expected; }));
  ASSERT_TRUE(test::waitFor([&] { return printed.lines().size() == 3; }));  // printed after
  // Printed with the name of the global queue's work.
  const std::string name = DispatchQueue::global().sync([] { return Thread::dbgName(); });
  EXPECT_EQ(printed.lines(), (std::vector<std::string>{name + " z", name + " a", name + " c"}));
  // Standard error's chunks are kept too, and not printed (its end of file
  // is handled after its last chunk).
  auto errors = Shell::make(test::kProcessChild, asURLdir("/"));
  errors->run({"chunks", "e:b"});
  ASSERT_TRUE(errors->errEOF()->wait().isSuccess());
  EXPECT_TRUE(
      test::waitFor([&] { return errors->tail.get() == Shell::Chunks{ShellOutput::err("b")}; }));
  EXPECT_EQ(printed.lines().size(), 3U);
}

// Releasing the shell ends every process of the child's group and reaps the
// child, one that ignores TERM or one that exited leaving a writer. The
// child prints its pid (its group's id) first.
TEST(Shell, ReleaseEndsTheChildsGroupAndReapsTheChild) {
  for (const char* script : {"trap '' TERM; sleep 1000 & echo $$; wait", "sleep 1000 & echo $$"}) {
    test::PrintedLines printed;
    auto shell = Shell::make("/bin/sh", asURLdir("/"));
    shell->run({"-c", script});
    ASSERT_TRUE(test::waitFor([&] { return !printed.lines().empty(); }));
    const std::string line = printed.lines().front();
    const pid_t group = std::stoi(line.substr(line.rfind(' ') + 1));
    ASSERT_TRUE(test::waitFor([&] { return test::liveMembers(group) >= 1; }));
    shell.reset();
    EXPECT_TRUE(test::waitFor([&] { return test::liveMembers(group) == 0; })) << script;
    EXPECT_TRUE(test::waitFor([&] { return !test::exists(group); })) << "zombie: " << script;
  }
}

TEST(Shell, TwoHundredChildrenStartedAndReleasedConcurrently) {
  test::PrintedLines swallowed;
  const std::size_t before = FdWatcher::activeWatchCount();
  test::runConcurrently(4, [](int) {
    for (int i = 0; i < 50; ++i) {
      const bool chatty = i % 2 == 1;
      auto shell = Shell::make(chatty ? "/usr/bin/yes" : "/bin/sleep", asURLdir("/"));
      shell->run(chatty ? std::vector<std::string>{} : std::vector<std::string>{"1000"});
    }
  });
  // Every pidfd and pipe watch ends: all children reaped, all pipes closed.
  EXPECT_TRUE(test::waitFor([&] { return FdWatcher::activeWatchCount() == before; }, 60));
}

}  // namespace
}  // namespace mornik::Flow
