#include "mornik/time/Stopwatch.hpp"

#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/base/Describe.hpp"
#include "mornik/log/Debug.hpp"

namespace mornik {
namespace {

class DebugLines {
 public:
  DebugLines() {
    setDebugSink([this](std::string_view text) { lines.emplace_back(text); });
  }
  ~DebugLines() { setDebugSink(nullptr); }
  DebugLines(const DebugLines&) = delete;
  DebugLines& operator=(const DebugLines&) = delete;
  std::vector<std::string> lines;
};

TEST(Stopwatch, StatesAndElapsedTime) {
  auto watch = Stopwatch::make();
  EXPECT_EQ(watch->elapsedS(), 0.0);
  watch->stop();  // without a start
  EXPECT_EQ(watch->elapsedS(), 0.0);
  watch->reset();
  watch->start().start();
  const double firstStart = *watch->startTime();
  EXPECT_TRUE(watch->isGoing());
  const double running = watch->elapsedS();
  while (watch->elapsedS() == running) {
  }
  EXPECT_GT(watch->elapsedS(), running);
  watch->stop();
  const double frozen = watch->elapsedS();
  EXPECT_GT(frozen, 0.0);
  EXPECT_EQ(watch->elapsedS(), frozen);
  EXPECT_EQ(watch->elapsedMs(), frozen * 1000);
  watch->start();  // keeps the old start: the stopped stretch counts
  EXPECT_EQ(*watch->startTime(), firstStart);
  watch->restart();
  EXPECT_GT(*watch->startTime(), firstStart);
  watch->reset();
  EXPECT_FALSE(watch->startTime() || watch->endTime() || watch->isGoing());
  EXPECT_EQ(watch->elapsedMs(), 0.0);
}

TEST(Stopwatch, PrintsNamesAndShortestRoundTripText) {
  DebugLines debug;
  auto watch = Stopwatch::make();
  watch->printS();
  watch->printMs("idle");
  watch->start("load").stop();
  watch->printS("load");
  watch->restart();
  watch->stop();
  watch->printMs();
  ASSERT_EQ(debug.lines.size(), 5U);
  EXPECT_EQ(debug.lines[0], "0.0 sec\n");
  EXPECT_EQ(debug.lines[1], "idle: 0.0 ms\n");
  EXPECT_EQ(debug.lines[2], "load\n");
  EXPECT_TRUE(std::regex_match(debug.lines[3], std::regex("load: [0-9.e-]+ sec\n")));
  EXPECT_EQ(debug.lines[4], describeDouble(watch->elapsedMs()) + " ms\n");
  EXPECT_EQ(std::stod(debug.lines[4]), watch->elapsedMs()) << "reads back as the same double";
}

TEST(Stopwatch, RoundedToPlaces) {
  struct Case {
    double value;
    int places;
    double expected;
  };
  for (const Case c : {Case{1.005, 2, 1.0}, Case{2.5, 0, 3.0}, Case{-2.5, 0, -3.0},
                       Case{1.23456, 3, 1.235}, Case{1234.5, -2, 1200.0}}) {
    EXPECT_EQ(rounded(c.value, c.places), c.expected) << c.value << " " << c.places;
  }
}

}  // namespace
}  // namespace mornik
