#include "mornik/time/Stopwatch.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/base/Describe.hpp"
#include "mornik/log/Debug.hpp"

namespace mornik {
namespace {

TEST(Stopwatch, StatesElapsedTimeAndPrintedText) {
  std::vector<std::string> lines;
  setDebugSink([&](std::string_view text) { lines.emplace_back(text); });
  auto watch = Stopwatch::make();
  watch->stop();  // without a start
  watch->printS();
  watch->printMs("idle");
  watch->start("load").start();
  const double firstStart = *watch->startTime();
  const double running = watch->elapsedS();
  while (watch->elapsedS() == running) {
  }
  watch->stop();
  const double frozen = watch->elapsedS();
  EXPECT_GT(frozen, running);
  EXPECT_EQ(watch->elapsedS(), frozen);
  watch->printMs();
  watch->start();  // keeps the old start: the stopped stretch counts
  EXPECT_EQ(*watch->startTime(), firstStart);
  watch->restart();
  EXPECT_GT(*watch->startTime(), firstStart);
  watch->reset();
  EXPECT_EQ(watch->elapsedS(), 0.0);
  setDebugSink(nullptr);
  const std::vector<std::string> expected{"0.0 sec\n", "idle: 0.0 ms\n", "load\n",
                                          describeDouble(frozen * 1000) + " ms\n"};
  EXPECT_EQ(lines, expected);
}

TEST(Stopwatch, RoundedToPlacesHalfAwayFromZero) {
  EXPECT_EQ(rounded(1.005, 2), 1.0);  // 100.49999... in double precision
  EXPECT_EQ(rounded(2.5, 0), 3.0);
  EXPECT_EQ(rounded(-2.5, 0), -3.0);
  EXPECT_EQ(rounded(1234.5, -2), 1200.0);
}

}  // namespace
}  // namespace mornik
