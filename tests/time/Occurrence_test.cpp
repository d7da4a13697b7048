#include "mornik/time/detail/Occurrence.hpp"

#include <ctime>
#include <limits>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

namespace mornik {
namespace {

Date utc(int year, int month, int day, int hour, int minute) {
  std::tm parts{0, minute, hour, day, month - 1, year - 1900, 0, 0, 0, 0, nullptr};
  return Date::fromUnixTimestamp(static_cast<double>(timegm(&parts)));
}

constexpr const char* kBerlin = "Europe/Berlin";
constexpr const char* kNewYork = "America/New_York";

// The 2024 changes: Berlin 31 March 02:00 CET -> 03:00 CEST and 27 October
// 03:00 CEST -> 02:00 CET; New York 10 March 02:00 EST -> 03:00 EDT and
// 3 November 02:00 EDT -> 01:00 EST.
TEST(Occurrence, NextOccurrenceAcrossDaylightSavingChanges) {
  const std::tuple<const char*, Date, int, int, Date> cases[] = {
      // A skipped time runs an hour after the jump; so does the hour after it.
      {kBerlin, utc(2024, 3, 30, 23, 30), 2, 30, utc(2024, 3, 31, 1, 30)},
      {kBerlin, utc(2024, 3, 30, 23, 30), 3, 30, utc(2024, 3, 31, 1, 30)},
      // Once that instant has passed: tomorrow at 02:30 CEST.
      {kBerlin, utc(2024, 3, 31, 1, 30), 2, 30, utc(2024, 4, 1, 0, 30)},
      // A calendar day on: noon the day before the jump is 23 hours away.
      {kBerlin, utc(2024, 3, 30, 12, 0), 12, 0, utc(2024, 3, 31, 10, 0)},
      // Hour 25 is 01:00 tomorrow.
      {kBerlin, utc(2024, 3, 30, 12, 0), 25, 0, utc(2024, 3, 31, 0, 0)},
      // A repeated time runs at its first pass, and never at its second.
      {kBerlin, utc(2024, 10, 26, 22, 30), 2, 30, utc(2024, 10, 27, 0, 30)},
      {kBerlin, utc(2024, 10, 27, 1, 15), 2, 30, utc(2024, 10, 28, 1, 30)},
      {kNewYork, utc(2024, 3, 10, 6, 0), 2, 30, utc(2024, 3, 10, 7, 30)},
      {kNewYork, utc(2024, 11, 3, 6, 15), 1, 30, utc(2024, 11, 4, 6, 30)},
      // Noon the day before the fall-back is 25 hours away.
      {kNewYork, utc(2024, 11, 2, 16, 0), 12, 0, utc(2024, 11, 3, 17, 0)},
      // -1 hour is 23:00 the day before, so 23:00 today.
      {kNewYork, utc(2024, 11, 2, 16, 0), -1, 0, utc(2024, 11, 3, 3, 0)},
  };
  const std::string old = currentTimeZoneIdentifier();
  for (const auto& [zone, now, hrs, mins, expected] : cases) {
    SCOPED_TRACE(now.unixTimestamp());
    ASSERT_TRUE(setCurrentTimeZone(zone));
    const auto next = detail::nextOccurrence(now, hrs, mins, 0);
    ASSERT_TRUE(next.has_value());
    EXPECT_EQ(next->unixTimestamp(), expected.unixTimestamp());
    // Planned again from that very instant: the next day's.
    EXPECT_GT(*detail::nextOccurrence(*next, hrs, mins, 0), *next + 82000);
  }
  setCurrentTimeZone(kBerlin);
  EXPECT_EQ(detail::startOfTomorrow(utc(2024, 3, 30, 12, 0)), utc(2024, 3, 30, 23, 0));
  // Times that cannot be placed.
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  EXPECT_FALSE(detail::nextOccurrence(utc(2024, 1, 1, 0, 0), kMax, 0, 0).has_value());
  EXPECT_FALSE(detail::nextOccurrence(utc(2024, 1, 1, 0, 0), 0, 0, kMax).has_value());
  EXPECT_FALSE(detail::nextOccurrence(utc(2024, 1, 1, 0, 0), 24 * 200'000, 0, 0).has_value());
  setCurrentTimeZone(old);
}

}  // namespace
}  // namespace mornik
