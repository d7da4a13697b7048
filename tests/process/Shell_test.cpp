#include "mornik/process/Shell.hpp"

#include <atomic>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueueID.hpp"
#include "mornik/concurrency/DispatchSemaphore.hpp"
#include "mornik/platform/FdWatcher.hpp"

#include "tests/process/ProcessTesting.hpp"
#include "tests/support/Concurrently.hpp"
#include "tests/support/RunLoopWait.hpp"

namespace mornik::Flow {
namespace {

TEST(Shell, SilentChildEndsBothStreamsWithANotificationEach) {
  auto shell = Shell::make("/bin/true", asURLdir("/"));
  std::atomic<int> notes{0};
  auto subscription = shell->objectWillChange().subscribe([&] { ++notes; });
  ASSERT_TRUE(test::waitFor([&] { return notes == 1; }));  // the first, empty tail
  shell->run();
  ASSERT_TRUE(test::waitFor([&] { return notes == 3; }));
  EXPECT_TRUE(shell->stdEOF()->maybeSuccess());
  EXPECT_TRUE(shell->errEOF()->maybeSuccess());
  EXPECT_TRUE(shell->tail.get().empty());
}

TEST(Shell, KeepsTheLastTwoValidChunksOfBothStreamsAndPrintsStandardOutputOnes) {
  test::PrintedLines printed;
  auto shell = Shell::make(test::kProcessChild, asURLdir("/"));
  // p\xC3 ends inside é, \xA9q starts inside it: both are dropped, c is not.
  shell->run({"chunks", "o:a", "e:b", "o:p\xC3", "o:\xA9q", "o:c"});
  const Shell::Chunks expected{ShellOutput::err("b"), ShellOutput::out("c")};
  ASSERT_TRUE(test::waitFor([&] { return shell->tail.get() == expected; }));
  std::string name;
  DispatchSemaphore named;
  DispatchQueue::global().async([&] {
    name = Thread::dbgName();
    named.signal();
  });
  named.wait();
  EXPECT_EQ(printed.lines(), (std::vector<std::string>{name + " a", name + " c"}));
}

TEST(Shell, ChildThatCannotStartFailsBothEndOfFileFutures) {
  auto shell = Shell::make("/no/such/tool", asURLdir("/"));
  shell->run({"ignored"});
  const Error expected = Error::fromErrno(ENOENT, "cannot start /no/such/tool");
  EXPECT_EQ(shell->stdEOF()->wait(), Result<void>(expected));
  EXPECT_EQ(shell->errEOF()->wait(), Result<void>(expected));
}

// The child prints its pid (its group's id) first.
class ShellRelease : public testing::TestWithParam<const char*> {};

TEST_P(ShellRelease, EndsEveryProcessOfTheChildsGroupAndReapsTheChild) {
  test::PrintedLines printed;
  auto shell = Shell::make("/bin/sh", asURLdir("/"));
  shell->run({"-c", GetParam()});
  ASSERT_TRUE(test::waitFor([&] { return !printed.lines().empty(); }));
  const std::string line = printed.lines().front();
  const pid_t group = std::stoi(line.substr(line.rfind(' ') + 1));
  ASSERT_TRUE(test::waitFor([&] { return test::liveMembers(group) >= 1; }));
  shell.reset();
  EXPECT_TRUE(test::waitFor([&] { return test::liveMembers(group) == 0; }));
  EXPECT_TRUE(test::waitFor([&] { return !test::exists(group); }));  // reaped, not a zombie
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, ShellRelease,
    testing::Values("trap '' TERM; sleep 1000 & echo $$; wait",  // ignores TERM
                    "sleep 1000 & echo $$"));                    // exits, leaving a writer

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
