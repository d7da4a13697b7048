#include "mornik/text/Date.hpp"

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>

#include <gtest/gtest.h>

namespace mornik {
namespace {

using C = CalendarComponent;

// Every test runs in Berlin (CET/CEST) with the en_US locale, whatever the
// machine's settings.
class DateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "Europe/Berlin", 1);
    resetSystemTimeZone();
    ASSERT_EQ(currentTimeZoneIdentifier(), "Europe/Berlin");
    ASSERT_TRUE(setCurrentLocale("en_US"));
  }

  static Date at(const char* zone, int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
    const auto date = dateFromComponents({{}, zone, {}, y, mo, d, h, mi, s, {}});
    EXPECT_TRUE(date.has_value());
    return date.value_or(Date());
  }
  static Date berlin(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
    return at("Europe/Berlin", y, mo, d, h, mi, s);
  }
  static Date utc(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
    return at("UTC", y, mo, d, h, mi, s);
  }
};

TEST_F(DateTest, ComponentsInTheCurrentZone) {
  const Date d = utc(2024, 5, 15, 8, 32, 40) + 0.25;  // 10:32:40.250 in Berlin (CEST)
  EXPECT_EQ(era(d), 1);
  EXPECT_EQ(year(d), 2024);
  EXPECT_EQ(month(d), 5);
  EXPECT_EQ(day(d), 15);
  EXPECT_EQ(hour(d), 10);
  EXPECT_EQ(minute(d), 32);
  EXPECT_EQ(second(d), 40);
  EXPECT_EQ(millisecond(d), 250);
  EXPECT_EQ(weekday(d), 4);  // Wednesday, Sunday being 1
  EXPECT_EQ(weekOfYear(d), 20);
  EXPECT_EQ(weekOfMonth(d), 3);
  EXPECT_EQ(quarter(berlin(2024, 3, 31, 23, 59, 59)), 1);
  EXPECT_EQ(quarter(berlin(2024, 4, 1)), 2);
  // The same instant in another zone.
  ASSERT_TRUE(setCurrentTimeZone("America/New_York"));
  EXPECT_EQ(hour(d), 4);
  ASSERT_TRUE(setCurrentTimeZone("Asia/Kolkata"));
  EXPECT_EQ(hour(d), 14);
  EXPECT_EQ(minute(d), 2);
}

// (That the zone follows TZ: every test's SetUp.)
TEST_F(DateTest, SettingsRejectUnknownZonesAndFollowTheLocalesCalendar) {
  ASSERT_TRUE(setCurrentTimeZone("America/New_York"));
  EXPECT_FALSE(setCurrentTimeZone("Nowhere/City"));
  EXPECT_EQ(currentTimeZoneIdentifier(), "America/New_York");
  const Date d = utc(2024, 5, 15, 12);
  ASSERT_TRUE(setCurrentLocale("th_TH@calendar=buddhist"));
  EXPECT_EQ(year(d), 2567);
  ASSERT_TRUE(setCurrentLocale("en_US"));
  EXPECT_EQ(year(d), 2024);
  EXPECT_EQ(currentLocaleIdentifier(), "en_US");
}

TEST_F(DateTest, SettersMoveByTheDifference) {
  Date d = berlin(2024, 1, 31, 10);
  setMonth(d, 2);
  EXPECT_EQ(d, berlin(2024, 2, 29, 10));  // no overflow into March
  setYear(d, 2025);
  EXPECT_EQ(d, berlin(2025, 2, 28, 10));
  setDay(d, 1);
  setHour(d, 23);
  setMinute(d, 5);
  setSecond(d, 9);
  EXPECT_EQ(d, berlin(2025, 2, 1, 23, 5, 9));
  setMillisecond(d, 999);
  EXPECT_EQ(nanosecond(d), 999'000'000);
  // A double holds about a tenth of a microsecond at this distance from 2001.
  setNanosecond(d, 5'000);
  EXPECT_NEAR(static_cast<double>(nanosecond(d)), 5'000.0, 250.0);
  EXPECT_EQ(second(d), 9);
}

TEST_F(DateTest, RoundingToClockSteps) {
  // Each step just below and at the minute it rounds up from; seconds dropped.
  EXPECT_EQ(nearestFiveMinutes(berlin(2024, 5, 15, 10, 32, 40)), berlin(2024, 5, 15, 10, 30));
  EXPECT_EQ(nearestFiveMinutes(berlin(2024, 5, 15, 10, 33)), berlin(2024, 5, 15, 10, 35));
  EXPECT_EQ(nearestTenMinutes(berlin(2024, 5, 15, 10, 34, 59)), berlin(2024, 5, 15, 10, 30));
  EXPECT_EQ(nearestTenMinutes(berlin(2024, 5, 15, 10, 35)), berlin(2024, 5, 15, 10, 40));
  EXPECT_EQ(nearestQuarterHour(berlin(2024, 5, 15, 10, 7)), berlin(2024, 5, 15, 10, 0));
  EXPECT_EQ(nearestQuarterHour(berlin(2024, 5, 15, 10, 8)), berlin(2024, 5, 15, 10, 15));
  EXPECT_EQ(nearestHalfHour(berlin(2024, 5, 15, 10, 14)), berlin(2024, 5, 15, 10, 0));
  EXPECT_EQ(nearestHalfHour(berlin(2024, 5, 15, 10, 15)), berlin(2024, 5, 15, 10, 30));
  EXPECT_EQ(nearestHour(berlin(2024, 5, 15, 10, 29)), berlin(2024, 5, 15, 10, 0));
  EXPECT_EQ(nearestHour(berlin(2024, 5, 15, 10, 30)), berlin(2024, 5, 15, 11, 0));
  // Rolling over into the next year.
  EXPECT_EQ(nearestFiveMinutes(berlin(2024, 12, 31, 23, 58)), berlin(2025, 1, 1));
}

TEST_F(DateTest, RoundingAcrossDaylightSavingChangesRebuildsFromComponents) {
  // 31 March 2024: 02:00 CET becomes 03:00 CEST.
  const Date beforeSpring = utc(2024, 3, 31, 0, 58);  // 01:58 CET
  const Date rounded = nearestFiveMinutes(beforeSpring);
  EXPECT_EQ(rounded, utc(2024, 3, 31, 1, 0));
  EXPECT_EQ(hour(rounded), 3);
  // 27 October 2024: 02:00-03:00 happens twice; each stays on its side.
  EXPECT_EQ(nearestFiveMinutes(utc(2024, 10, 27, 0, 32)), utc(2024, 10, 27, 0, 30));  // CEST
  EXPECT_EQ(nearestFiveMinutes(utc(2024, 10, 27, 1, 32)), utc(2024, 10, 27, 1, 30));  // CET
  EXPECT_EQ(nearestHour(utc(2024, 10, 27, 1, 40)), utc(2024, 10, 27, 2, 0));          // 03:00 CET

  // 3 November 2024 in New York: 01:58 EDT (05:58 UTC) comes before the
  // repeated hour; 01:60 rolls over into 02:00 EST, not 02:00 EDT (= 01:00 EST).
  ASSERT_TRUE(setCurrentTimeZone("America/New_York"));
  EXPECT_EQ(nearestFiveMinutes(utc(2024, 11, 3, 5, 58)), utc(2024, 11, 3, 7));
  EXPECT_EQ(nearestHour(utc(2024, 11, 3, 5, 58)), utc(2024, 11, 3, 7));
  EXPECT_EQ(nearestTenMinutes(utc(2024, 11, 3, 6, 56)), utc(2024, 11, 3, 7));  // 01:56 EST
}

TEST_F(DateTest, CalendarAdditionVersusPlainIntervals) {
  const Date noon = berlin(2024, 3, 30, 12);
  EXPECT_EQ(plusDays(noon, 1), berlin(2024, 3, 31, 12));
  EXPECT_EQ(plusDays(noon, 1) - noon, 23 * 3600.0);  // the short day
  EXPECT_EQ(adding(noon, 1, 0, 0, 0), berlin(2024, 3, 31, 13));
  EXPECT_EQ(adding(noon, 0, 1, 2, 3), noon + 3723.0);
  EXPECT_EQ(addingMonth(berlin(2024, 1, 31), 1), berlin(2024, 2, 29));
  EXPECT_EQ(adding(berlin(2024, 12, 31, 22), C::hour, 3), berlin(2025, 1, 1, 1));
  EXPECT_EQ(plusMins(noon, 90), berlin(2024, 3, 30, 13, 30));
  EXPECT_EQ(plusSeconds(noon, -1), berlin(2024, 3, 30, 11, 59, 59));
  EXPECT_EQ(plusHours(noon, 24), noon + 86400.0);  // a plain interval: 13:00 on the short day
  EXPECT_EQ(adding(noon, C::weekOfYear, 1), berlin(2024, 4, 6, 12));
  EXPECT_EQ(yesterday(berlin(2024, 1, 1, 5)), berlin(2023, 12, 31, 5));
  EXPECT_EQ(tomorrow(berlin(2024, 2, 28, 5)), berlin(2024, 2, 29, 5));
  // Sub-millisecond parts survive calendar arithmetic.
  EXPECT_NEAR(plusDays(noon + 0.0001234, 1) - plusDays(noon, 1), 0.0001234, 1e-6);
}

TEST_F(DateTest, ChangingOneComponent) {
  const Date d = berlin(2024, 1, 31, 10, 20);
  EXPECT_EQ(changing(d, C::day, 15), berlin(2024, 1, 15, 10, 20));
  EXPECT_EQ(changing(d, C::month, 3), berlin(2024, 3, 31, 10, 20));
  EXPECT_EQ(changing(d, C::month, 2), std::nullopt);  // 31 February
  EXPECT_EQ(changing(d, C::hour, 25), std::nullopt);
  EXPECT_EQ(changing(berlin(2024, 2, 29), C::year, 2023), std::nullopt);
  EXPECT_EQ(changing(d, C::nanosecond, 5), d + 5e-9);
  // 02:30 does not exist on 31 March 2024 in Berlin.
  EXPECT_EQ(changing(berlin(2024, 3, 31, 12, 30), C::hour, 2), std::nullopt);
  EXPECT_EQ(changing(berlin(2024, 3, 31, 12, 30), C::hour, 3), berlin(2024, 3, 31, 3, 30));
}

TEST_F(DateTest, StartsAndEndsOfPeriods) {
  const Date d = berlin(2024, 5, 15, 10, 32, 40) + 0.5;
  EXPECT_EQ(beginning(d, C::day), berlin(2024, 5, 15));
  EXPECT_EQ(beginning(d, C::hour), berlin(2024, 5, 15, 10));
  EXPECT_EQ(beginning(d, C::month), berlin(2024, 5, 1));
  EXPECT_EQ(beginning(d, C::year), berlin(2024, 1, 1));
  EXPECT_EQ(beginning(d, C::weekOfYear), berlin(2024, 5, 12));  // en_US weeks start on Sunday
  EXPECT_EQ(end(d, C::day), berlin(2024, 5, 15, 23, 59, 59));
  EXPECT_EQ(end(d, C::hour), berlin(2024, 5, 15, 10, 59, 59));
  EXPECT_EQ(end(d, C::month), berlin(2024, 5, 31, 23, 59, 59));
  EXPECT_EQ(end(berlin(2024, 2, 10), C::month), berlin(2024, 2, 29, 23, 59, 59));
  EXPECT_EQ(end(d, C::year), berlin(2024, 12, 31, 23, 59, 59));
  EXPECT_EQ(end(d, C::weekOfYear), berlin(2024, 5, 18, 23, 59, 59));
  EXPECT_EQ(end(d, C::nanosecond), std::nullopt);
}

TEST_F(DateTest, PeriodsOnDaylightSavingDaysAndYearEnds) {
  const Date fallBack = berlin(2024, 10, 27, 12);
  EXPECT_EQ(beginning(fallBack, C::day), utc(2024, 10, 26, 22));    // 00:00 CEST
  EXPECT_EQ(end(fallBack, C::day), utc(2024, 10, 27, 22, 59, 59));  // 23:59:59 CET
  EXPECT_EQ(removingTimeStamp(berlin(2024, 3, 31, 12)), utc(2024, 3, 30, 23));
  EXPECT_EQ(end(berlin(2024, 12, 31, 23, 59, 59) + 0.9, C::year), berlin(2024, 12, 31, 23, 59, 59));
  // ISO weeks: 30 December 2024 (a Monday) is in week 1 of 2025.
  ASSERT_TRUE(setCurrentLocale("de_DE"));
  const Date monday = berlin(2024, 12, 30, 9);
  EXPECT_EQ(weekOfYear(monday), 1);
  EXPECT_EQ(component(monday, C::yearForWeekOfYear), 2025);
  EXPECT_EQ(beginning(berlin(2025, 1, 1, 9), C::weekOfYear), berlin(2024, 12, 30));
  EXPECT_EQ(end(berlin(2025, 1, 1, 9), C::weekOfYear), berlin(2025, 1, 5, 23, 59, 59));
  EXPECT_EQ(beginning(berlin(2025, 1, 1, 9), C::yearForWeekOfYear), berlin(2024, 12, 30));
}

// Days whose midnight a daylight-saving change skips (the day starts at
// 01:00) or repeats (the day starts at the first 00:00).
TEST_F(DateTest, DaysStartAtTheirFirstInstantAndEndBeforeTheNextDayStarts) {
  struct Case {
    const char* zone;
    Date instant;
    Date start;
    Date end;
  };
  const Case cases[] = {
      // Sao Paulo, 4 November 2018: 00:00 -03 became 01:00 -02.
      {"America/Sao_Paulo", utc(2018, 11, 4, 12), utc(2018, 11, 4, 3), utc(2018, 11, 5, 1, 59, 59)},
      {"America/Sao_Paulo", utc(2018, 11, 4, 2, 30), utc(2018, 11, 3, 3),
       utc(2018, 11, 4, 2, 59, 59)},
      // Havana, 10 March 2024: 00:00 CST became 01:00 CDT.
      {"America/Havana", utc(2024, 3, 10, 5, 30), utc(2024, 3, 10, 5), utc(2024, 3, 11, 3, 59, 59)},
      {"America/Havana", utc(2024, 3, 9, 17), utc(2024, 3, 9, 5), utc(2024, 3, 10, 4, 59, 59)},
      // Havana, 3 November 2024: 01:00 CDT became 00:00 CST; the first midnight
      // is 04:00 UTC, the second 05:00 UTC.
      {"America/Havana", utc(2024, 11, 3, 4, 30), utc(2024, 11, 3, 4), utc(2024, 11, 4, 4, 59, 59)},
      {"America/Havana", utc(2024, 11, 3, 5, 30), utc(2024, 11, 3, 4), utc(2024, 11, 4, 4, 59, 59)},
      {"America/Havana", utc(2024, 11, 3, 3, 30), utc(2024, 11, 2, 4), utc(2024, 11, 3, 3, 59, 59)},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(setCurrentTimeZone(c.zone));
    EXPECT_EQ(beginning(c.instant, C::day), c.start) << c.zone << " " << c.instant;
    EXPECT_EQ(removingTimeStamp(c.instant), c.start) << c.zone << " " << c.instant;
    EXPECT_EQ(dateWithoutTime(c.instant), c.start) << c.zone << " " << c.instant;
    EXPECT_EQ(end(c.instant, C::day), c.end) << c.zone << " " << c.instant;
  }
}

// NaN, the infinities and instants beyond the calendar's range have no
// calendar components.
TEST_F(DateTest, DatesOutsideTheCalendarHaveDefinedResults) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  for (const double seconds : {nan, inf, -inf, 1e300, -1e16}) {
    const Date d(seconds);
    SCOPED_TRACE(seconds);
    (void)year(berlin(2024, 5, 15));  // a valid date set on this thread's calendar first
    EXPECT_EQ(year(d), 0);
    EXPECT_EQ(hour(d), 0);
    EXPECT_EQ(quarter(d), 0);
    EXPECT_FALSE(isInWeekend(d) || isWorkday(d) || isInSame(d, d, C::year));
    EXPECT_EQ(distance(berlin(2024, 5, 15), d, C::day), 0);
    EXPECT_EQ(beginning(d, C::day), std::nullopt);
    EXPECT_EQ(end(d, C::month), std::nullopt);
    EXPECT_EQ(changing(d, C::hour, 3), std::nullopt);
    EXPECT_EQ(dateWithoutTime(d), std::nullopt);
    const auto same = [&](Date moved) {
      return std::isnan(seconds) ? std::isnan(moved.timeIntervalSinceReferenceDate()) : moved == d;
    };
    EXPECT_TRUE(same(removingTimeStamp(d)));
    EXPECT_TRUE(same(plusDays(d, 1)));
    EXPECT_TRUE(same(nearestHour(d)));
  }
}

TEST_F(DateTest, ChronoFormsComparisonsAndDistances) {
  using namespace std::chrono_literals;
  const Date d = berlin(2024, 5, 15, 10);
  EXPECT_EQ(d + 90s, d + 90.0);
  EXPECT_EQ(d - 2min, d - 120.0);
  Date moved = d;
  moved += 1h;
  moved -= 30min;
  EXPECT_EQ(moved, d + 1800.0);
  EXPECT_EQ(Date::fromTimePoint(std::chrono::system_clock::from_time_t(978307200)), Date(0));
  EXPECT_EQ(toTimeInterval(std::chrono::microseconds(-250)), -0.00025);

  const Date a = berlin(2024, 1, 1);
  const Date b = berlin(2024, 3, 15, 12);
  const Date mid = berlin(2024, 2, 1);
  EXPECT_TRUE(isBetween(mid, a, b));
  EXPECT_FALSE(isBetween(a, a, b));
  EXPECT_TRUE(isBetween(a, a, b, true));
  EXPECT_EQ(distance(a, b, C::month), 2);
  EXPECT_EQ(distance(a, b, C::day), 74);
  EXPECT_EQ(distance(b, a, C::day, true), 74);
  EXPECT_EQ(distance(a, b, C::weekOfYear), 10);
  EXPECT_EQ(distance(a, a + 1.5, C::nanosecond), 1'500'000'000);
  // The short spring day is still one calendar day.
  EXPECT_EQ(distance(berlin(2024, 3, 30, 12), berlin(2024, 3, 31, 12), C::day), 1);
  EXPECT_TRUE(isWithin(a, 2, C::month, b));
  EXPECT_FALSE(isWithin(a, 1, C::month, b));
  EXPECT_DOUBLE_EQ(secondsSince(b, a), b - a);
  EXPECT_DOUBLE_EQ(daysSince(a - 43200.0, a), -0.5);
  EXPECT_EQ(numberOfDaysInMonth(berlin(2024, 2, 10)), 29);
  EXPECT_TRUE(isInSame(berlin(2024, 5, 15, 0), berlin(2024, 5, 15, 23, 59), C::day));
  EXPECT_FALSE(isInSame(berlin(2024, 5, 15, 23, 59), berlin(2024, 5, 16), C::day));
}

TEST_F(DateTest, RelativeToNow) {
  const Date now = Date::now();
  EXPECT_NEAR(now.unixTimestamp(), static_cast<double>(std::time(nullptr)), 2.0);
  EXPECT_TRUE(isInFuture(now + 60.0));
  EXPECT_TRUE(isInToday(now));
  EXPECT_TRUE(isInYesterday(yesterday(now)));
  EXPECT_TRUE(isInTomorrow(tomorrow(now)));
  EXPECT_FALSE(isInCurrentYear(now - 400 * 86400.0));
  EXPECT_TRUE(isInCurrent(now, C::hour) || isInCurrent(now + 1.0, C::hour));
  EXPECT_EQ(Date::todayBeginning(), removingTimeStamp(Date::now()));
  EXPECT_EQ(Date::tomorrow(), plusDays(Date::todayBeginning(), 1));
  const Date tenThirty = Date::todayAt(10, 30, 5, 250'000'000);
  EXPECT_TRUE(isInToday(tenThirty));
  EXPECT_EQ(hour(tenThirty), 10);
  EXPECT_EQ(millisecond(tenThirty), 250);
}

TEST_F(DateTest, WeekendsFollowTheLocale) {
  EXPECT_TRUE(isInWeekend(berlin(2024, 5, 18, 12)));  // Saturday
  EXPECT_TRUE(isInWeekend(berlin(2024, 5, 19, 12)));  // Sunday
  EXPECT_TRUE(isWorkday(berlin(2024, 5, 17, 12)));    // Friday
  ASSERT_TRUE(setCurrentLocale("ar_SA"));             // Friday and Saturday
  EXPECT_TRUE(isInWeekend(berlin(2024, 5, 17, 12)));
  EXPECT_FALSE(isInWeekend(berlin(2024, 5, 19, 12)));
}

TEST_F(DateTest, BuildingFromComponents) {
  // Calendar, zone, era, year, month, day, hour, minute, second, nanosecond.
  const DateComponents tokyo{{}, "Asia/Tokyo", {}, 2024, 1, 1, 9, {}, {}, 500'000'000};
  EXPECT_EQ(dateFromComponents(tokyo), utc(2024, 1, 1) + 0.5);
  DateComponents wrong = tokyo;
  wrong.month = 2;
  wrong.day = 30;
  EXPECT_EQ(dateFromComponents(wrong), std::nullopt);
  wrong = tokyo;
  wrong.timeZone = "Mars/Olympus";
  EXPECT_EQ(dateFromComponents(wrong), std::nullopt);
  DateComponents buddhist{"buddhist", "UTC", {}, 2567, 1, 1, {}, {}, {}, {}};
  EXPECT_EQ(dateFromComponents(buddhist), utc(2024, 1, 1));
  buddhist.calendar = "klingon";
  EXPECT_EQ(dateFromComponents(buddhist), std::nullopt);
  DateComponents hourOnly;
  hourOnly.hour = 10;
  EXPECT_EQ(dateFromComponents(hourOnly), berlin(1970, 1, 1, 10));
}

TEST_F(DateTest, RandomDatesStayInTheirRange) {
  std::mt19937_64 generator(99);
  const Date lower = berlin(2024, 1, 1);
  const Date upper = berlin(2024, 1, 2);
  bool sawFirstHalf = false;
  bool sawSecondHalf = false;
  for (int i = 0; i < 1000; ++i) {
    const Date d = Date::random(lower, upper, false, generator);
    ASSERT_GE(d, lower);
    ASSERT_LT(d, upper);
    (d - lower < 43200.0 ? sawFirstHalf : sawSecondHalf) = true;
    const Date closed = Date::random(lower, upper, true, generator);
    ASSERT_GE(closed, lower);
    ASSERT_LE(closed, upper);
  }
  EXPECT_TRUE(sawFirstHalf && sawSecondHalf);
  EXPECT_EQ(Date::random(lower, lower), lower);
}

}  // namespace
}  // namespace mornik
