#include "mornik/log/Debug.hpp"

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/process/AuxShell.hpp"

#include "tests/support/Concurrently.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik {
namespace {

// Counts how often it is described: a silent printer describes nothing.
struct Counted {
  static inline std::atomic<int> described{0};
};

}  // namespace

template <>
struct Describer<Counted> {
  static std::string describe(const Counted& /*value*/) {
    ++Counted::described;
    return "counted";
  }
};

namespace {

class DebugTest : public ::testing::Test {
 protected:
  void TearDown() override { setDebugSink(nullptr); }
  void record() {
    setDebugSink([this](std::string_view text) {
      const std::lock_guard lock(mutex_);
      texts_.emplace_back(text);
    });
  }
  std::mutex mutex_;
  std::vector<std::string> texts_;
};

TEST_F(DebugTest, SilentByDefaultAndDescribesNothing) {
  Counted::described = 0;
  printDbg(Counted{}, 1);
  printDbgAdv(Counted{});
  printDbgWith({}, Counted{});
  EXPECT_EQ(Counted::described, 0);
  EXPECT_EQ(printDbgExcludeFuncNames.size(), 34U);
}

TEST_F(DebugTest, TheSinkSeesTheTextTwiceInARow) {
  record();
  printDbg(Counted{}, 1, "a");
  printDbg(Counted{}, 1, "a");
  printDbgWith({.separator = "-", .terminator = "|", .displayDetails = false}, 2, "b");
  EXPECT_EQ(texts_, (std::vector<std::string>{"counted 1 a\n", "counted 1 a\n", "2-b|"}));
}

TEST_F(DebugTest, BlockingRunnerWarningsGoToTheSink) {
  record();
  const Aux::Shell shell("/bin/sh", URL::fileURL("/", true));
  EXPECT_EQ(shell.run3({"-c", "echo out; echo oops >&2"}).value(), "out\n");
  ASSERT_EQ(texts_.size(), 1U);
  EXPECT_EQ(texts_[0], "Warning: oops\n \n");
}

TEST_F(DebugTest, SinkReplacedWhileThreadsPrint) {
  std::atomic<int> first{0};
  std::atomic<int> second{0};
  const int perThread = test::scaled(2000);
  setDebugSink([&](std::string_view /*text*/) { ++first; });
  test::runConcurrently(5, [&](int thread) {
    if (thread == 0) {
      setDebugSink([&](std::string_view /*text*/) { ++second; });
      return;
    }
    for (int i = 0; i < perThread; ++i) printDbg(i);
  });
  EXPECT_EQ(first + second, 4 * perThread);
}

}  // namespace
}  // namespace mornik
