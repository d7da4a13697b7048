#include "mornik/base/Output.hpp"

#include <atomic>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/base/Result.hpp"

#include "tests/support/Concurrently.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik {
namespace {

TEST(Output, LinesGoToTheInstalledSinkAndAnEmptySinkRestoresStandardOutput) {
  std::vector<std::string> lines;
  setOutputSink([&](std::string_view line) { lines.emplace_back(line); });
  (void)Result<int>(3).dump();
  (void)Result<void>(WTF("gone", 1)).dump();
  (void)Result<void>().dump();
  (void)Result<std::vector<std::string>>(std::vector<std::string>{"a"}).dump();
  setOutputSink(nullptr);
  EXPECT_EQ(lines, (std::vector<std::string>{"content: 3", "ERROR: gone", "content: ()",
                                             "content: [\"a\"]"}));

  testing::internal::CaptureStdout();
  printLine("plain");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "plain\n");
  EXPECT_EQ(lines.size(), 4U);
}

// Printing threads race a thread that keeps replacing the sink: every line
// reaches exactly one of the sinks, and ThreadSanitizer sees no race.
TEST(Output, ReplacingTheSinkWhileOthersPrintLosesNoLine) {
  const int kLines = test::scaled(20'000);
  constexpr int kPrinters = 2;
  std::atomic<int> first{0};
  std::atomic<int> second{0};
  std::atomic<int> printersDone{0};
  setOutputSink([&](std::string_view) { first.fetch_add(1); });
  test::runConcurrently(kPrinters + 1, [&](int thread) {
    if (thread == kPrinters) {
      for (int round = 0; printersDone.load() < kPrinters; ++round) {
        if (round % 2 == 0) {
          setOutputSink([&](std::string_view) { second.fetch_add(1); });
        } else {
          setOutputSink([&](std::string_view) { first.fetch_add(1); });
        }
      }
      return;
    }
    for (int i = 0; i < kLines; ++i) printLine("x");
    printersDone.fetch_add(1);
  });
  setOutputSink(nullptr);
  EXPECT_EQ(first.load() + second.load(), kPrinters * kLines);
}

}  // namespace
}  // namespace mornik
