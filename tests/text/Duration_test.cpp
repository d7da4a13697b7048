#include "mornik/text/Duration.hpp"

#include <chrono>
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace mornik {
namespace {

TEST(Duration, WholeUnitsTruncateTowardZero) {
  EXPECT_EQ(timeInterval(1, 2, 3, 4), 93784.0);
  EXPECT_EQ(secTotal(125.7), 125);
  EXPECT_EQ(secVal(125.7), 5);
  EXPECT_EQ(minsVal(125.7), 2);
  EXPECT_NEAR(msVal(125.7), 700.0, 1e-9);
  EXPECT_EQ(minsTotal(3725.0), 62);
  EXPECT_EQ(daysTotal(172799.0), 1);
  EXPECT_EQ(minsTotalAbs(-125.0), 2);
  EXPECT_EQ(secVal(-125.0), -5);
  EXPECT_NEAR(msVal(-1.25), -250.0, 1e-9);
}

TEST(Duration, ValuesOutsideTheRangeSaturateAndPartsClamp) {
  EXPECT_EQ(secTotal(std::nan("")), 0);
  EXPECT_EQ(secTotal(1e300), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(secTotal(-1e300), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(secTotalAbs(-1e300), std::numeric_limits<std::int64_t>::max());

  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  EXPECT_EQ(timeInterval(kMax / 86400 + 1, 0, 0, 0), static_cast<double>(kMax));
  EXPECT_EQ(timeInterval(-(kMax / 86400) - 1, 0, 0, 0), -static_cast<double>(kMax));
  // Terms that cancel are summed exactly before clamping.
  constexpr std::int64_t kDays = kMax / 86400 + 1;
  EXPECT_EQ(timeInterval(kDays, 0, -kDays * 1440, 7), 7.0);
  EXPECT_EQ(adding(Date(0), kMax, kMax, kMax, kMax), Date(static_cast<double>(kMax)));
}

TEST(Duration, ClockTextsAndChronoForms) {
  using namespace std::chrono_literals;
  EXPECT_EQ(secTotal(2min + 5s), 125);
  EXPECT_EQ(minsVal(-125s), -2);
  EXPECT_NEAR(msVal(std::chrono::duration<double>(125.7)), 700.0, 1e-9);

  EXPECT_EQ(durationAsStr(125), " 2:05");
  EXPECT_EQ(durationAsStr(3725), " 1:02:05");
  EXPECT_EQ(durationAsStr(5.9), " 0:05");
  EXPECT_EQ(durationAsStr(599), " 9:59");
  EXPECT_EQ(durationAsStr(600), "10:00");
  EXPECT_EQ(durationAsStr(3600), " 1:00:00");
  EXPECT_EQ(durationAsStr(360000), "100:00:00");
  EXPECT_EQ(durationAsStr(-65), "-1:-05");
  EXPECT_EQ(durationAsStr(-3725), "-1:-02:-05");
}

}  // namespace
}  // namespace mornik
