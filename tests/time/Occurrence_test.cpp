#include "mornik/time/detail/Occurrence.hpp"

#include <ctime>
#include <limits>
#include <string>

#include <gtest/gtest.h>

namespace mornik {
namespace {

// An instant given in UTC.
Date utc(int year, int month, int day, int hour, int minute) {
  std::tm parts{};
  parts.tm_year = year - 1900;
  parts.tm_mon = month - 1;
  parts.tm_mday = day;
  parts.tm_hour = hour;
  parts.tm_min = minute;
  return Date::fromUnixTimestamp(static_cast<double>(timegm(&parts)));
}

class InZone {
 public:
  explicit InZone(const char* zone) : old_(currentTimeZoneIdentifier()) {
    EXPECT_TRUE(setCurrentTimeZone(zone));
  }
  ~InZone() { setCurrentTimeZone(old_); }
  InZone(const InZone&) = delete;
  InZone& operator=(const InZone&) = delete;

 private:
  std::string old_;
};

struct OccurrenceCase {
  const char* name;
  const char* zone;
  Date now;
  int hrs, mins;
  Date expected;
};

// The 2024 changes: Berlin 31 March 02:00 CET -> 03:00 CEST and 27 October
// 03:00 CEST -> 02:00 CET; New York 10 March 02:00 EST -> 03:00 EDT and
// 3 November 02:00 EDT -> 01:00 EST.
TEST(Occurrence, NextOccurrenceAcrossDaylightSavingChanges) {
  const OccurrenceCase cases[] = {
      {"skipped time runs an hour after the jump", "Europe/Berlin", utc(2024, 3, 30, 23, 30), 2, 30,
       utc(2024, 3, 31, 1, 30)},
      {"time after the jump", "Europe/Berlin", utc(2024, 3, 30, 23, 30), 3, 30,
       utc(2024, 3, 31, 1, 30)},
      {"skipped time already past runs tomorrow", "Europe/Berlin", utc(2024, 3, 31, 1, 30), 2, 30,
       utc(2024, 4, 1, 0, 30)},
      {"noon the day before the jump is 23 hours on", "Europe/Berlin", utc(2024, 3, 30, 12, 0), 12,
       0, utc(2024, 3, 31, 10, 0)},
      {"hour 25 rolls into the next day", "Europe/Berlin", utc(2024, 3, 30, 12, 0), 25, 0,
       utc(2024, 3, 31, 0, 0)},
      {"repeated time runs at its first pass", "Europe/Berlin", utc(2024, 10, 26, 22, 30), 2, 30,
       utc(2024, 10, 27, 0, 30)},
      {"during the first pass, after the time", "Europe/Berlin", utc(2024, 10, 27, 0, 45), 2, 30,
       utc(2024, 10, 28, 1, 30)},
      {"during the second pass, before the time: not again", "Europe/Berlin",
       utc(2024, 10, 27, 1, 15), 2, 30, utc(2024, 10, 28, 1, 30)},
      {"time after the repeated hour", "Europe/Berlin", utc(2024, 10, 26, 22, 30), 4, 0,
       utc(2024, 10, 27, 3, 0)},
      {"skipped time in New York", "America/New_York", utc(2024, 3, 10, 6, 0), 2, 30,
       utc(2024, 3, 10, 7, 30)},
      {"first pass in New York", "America/New_York", utc(2024, 11, 3, 5, 15), 1, 30,
       utc(2024, 11, 3, 5, 30)},
      {"second pass in New York: not again", "America/New_York", utc(2024, 11, 3, 6, 15), 1, 30,
       utc(2024, 11, 4, 6, 30)},
      {"noon the day before the fall-back is 25 hours on", "America/New_York",
       utc(2024, 11, 2, 16, 0), 12, 0, utc(2024, 11, 3, 17, 0)},
      {"negative hours count back from midnight", "America/New_York", utc(2024, 11, 2, 16, 0), -1,
       0, utc(2024, 11, 3, 3, 0)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const InZone zone(c.zone);
    const auto next = detail::nextOccurrence(c.now, c.hrs, c.mins, 0);
    ASSERT_TRUE(next.has_value());
    EXPECT_EQ(next->unixTimestamp(), c.expected.unixTimestamp());
    // Planning again from that very instant moves on to the next day.
    EXPECT_GT(*detail::nextOccurrence(*next, c.hrs, c.mins, 0), *next + 82000);
  }
}

TEST(Occurrence, StartOfTomorrowAndTimesThatCannotBePlaced) {
  const InZone zone("Europe/Berlin");
  EXPECT_EQ(detail::startOfTomorrow(utc(2024, 3, 30, 12, 0)), utc(2024, 3, 30, 23, 0));
  EXPECT_EQ(detail::startOfTomorrow(utc(2024, 10, 27, 12, 0)), utc(2024, 10, 27, 23, 0));
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  EXPECT_FALSE(detail::nextOccurrence(utc(2024, 1, 1, 0, 0), kMax, 0, 0).has_value());
  EXPECT_FALSE(detail::nextOccurrence(utc(2024, 1, 1, 0, 0), 0, 0, kMax).has_value());
  EXPECT_FALSE(detail::nextOccurrence(utc(2024, 1, 1, 0, 0), 24 * 200'000, 0, 0).has_value());
}

}  // namespace
}  // namespace mornik
