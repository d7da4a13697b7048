#include "mornik/log/Debug.hpp"

#include <mutex>

#include <gtest/gtest.h>

#include "mornik/process/AuxShell.hpp"

#include "tests/support/Concurrently.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik {
namespace {
struct Counted {  // counts how often it is described
  static inline std::atomic<int> described{0};
};
}  // namespace

template <>
struct Describer<Counted> {
  static std::string describe(const Counted& /*value*/) { return ++Counted::described, "c"; }
};

namespace {

TEST(Debug, SilentByDefaultThenTheSinkSeesEachText) {
  printDbg(Counted{}, 1);
  printDbgAdv(Counted{});
  EXPECT_EQ(Counted::described, 0);
  EXPECT_EQ(printDbgExcludeFuncNames.size(), 34U);
  std::vector<std::string> texts;
  setDebugSink([&](std::string_view text) { texts.emplace_back(text); });
  printDbg(Counted{}, 1, "a");
  printDbg(Counted{}, 1, "a");
  printDbgWith({.separator = "-", .terminator = "|", .displayDetails = false}, 2, "b");
  EXPECT_EQ(Aux::Shell("/bin/sh", URL::fileURL("/", true)).run3({"-c", "echo o; echo e >&2"}),
            Result<std::string>(std::string("o\n")));
  setDebugSink(nullptr);
  printDbg(1);
  EXPECT_EQ(texts, (std::vector<std::string>{"c 1 a\n", "c 1 a\n", "2-b|", "Warning: e\n \n"}));
}

TEST(Debug, SinkReplacedWhileThreadsPrint) {
  std::atomic<int> printed{0};
  const int perThread = test::scaled(2000);
  setDebugSink([&](std::string_view /*text*/) { ++printed; });
  test::runConcurrently(5, [&](int thread) {
    if (thread == 0) setDebugSink([&](std::string_view /*text*/) { ++printed; });
    for (int i = 0; thread != 0 && i < perThread; ++i) printDbg(i);
  });
  setDebugSink(nullptr);
  EXPECT_EQ(printed, 4 * perThread);
}

}  // namespace
}  // namespace mornik
