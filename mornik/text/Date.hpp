#pragma once

#include <cassert>
#include <chrono>
#include <cmath>
#include <compare>
#include <cstdint>
#include <iosfwd>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <string_view>

#include "mornik/base/Export.hpp"

MORNIK_EXPORTS_BEGIN

// Instants in time and calendar arithmetic on them.
//
//   mornik::Date now = mornik::Date::now();
//   mornik::Date due = mornik::adding(now, mornik::CalendarComponent::month, 1);
//   mornik::year(due);                       // in the current calendar and zone
//   auto lastSecond = mornik::end(now, mornik::CalendarComponent::day);  // 23:59:59 today
//   double waited = due - now;               // seconds
//
// A Date is a double-precision number of seconds since the reference instant
// 2001-01-01 00:00:00 UTC; Unix time (seconds since 1970-01-01 00:00:00 UTC)
// is that number plus kUnixTimeOfReferenceDate (978307200). Durations are
// plain doubles in seconds (TimeInterval).
//
// The calendar operations use the *current calendar*: the calendar of the
// current locale (ICU's default locale, from LANG / LC_ALL at start-up, or
// setCurrentLocale) in the current time zone (TZ or the system zone at
// start-up, or setCurrentTimeZone / resetSystemTimeZone). Each thread keeps its
// own calendar and rebuilds it when the settings change.
//
// Thread safety: Date is a plain value. The operations on dates may be called
// from any thread. The settings functions may also be called from any thread;
// a thread that is in the middle of a calendar operation finishes it with the
// settings it started with.
// Errors: operations the calendar cannot satisfy return nothing where their
// result is optional. removingTimeStamp() ends the process with "Failed to
// strip time from Date object" when the calendar cannot rebuild the date.
//
// Dates outside the calendar: a NaN or infinite date, or one further than
// about 5.8 million years from 1970, has no calendar components. For such a
// date the component functions return 0, the tests (isInWeekend, isWorkday,
// isInSame, ...) return false, distance returns 0, the calendar moves
// (adding, setters, removingTimeStamp, rounding) return it unchanged, the
// operations with an optional result return nothing, and formatting
// (DateFormat.hpp) gives "". Plain arithmetic (+, -) still applies.
//
// Days: a day starts at its first instant and ends one second before the
// next day starts, so on a day whose midnight a daylight-saving change skips
// (the clock goes from 23:59:59 to 01:00) the day starts at 01:00, and on a
// day whose midnight happens twice it starts at the first one.

namespace mornik {

// A duration in seconds.
using TimeInterval = double;

// A std::chrono duration as a TimeInterval.
template <class Rep, class Period>
constexpr TimeInterval toTimeInterval(std::chrono::duration<Rep, Period> t) {
  return std::chrono::duration<double>(t).count();
}

// An absolute instant: seconds since 2001-01-01 00:00:00 UTC.
class Date {
 public:
  // Unix time of the reference instant.
  static constexpr double kUnixTimeOfReferenceDate = 978307200.0;

  // The reference instant.
  constexpr Date() = default;
  constexpr explicit Date(double secondsSinceReferenceDate) : seconds_(secondsSinceReferenceDate) {}

  static Date now();
  static constexpr Date fromUnixTimestamp(double unixTimestamp) {
    return Date(unixTimestamp - kUnixTimeOfReferenceDate);
  }

  constexpr double timeIntervalSinceReferenceDate() const { return seconds_; }
  constexpr double unixTimestamp() const { return seconds_ + kUnixTimeOfReferenceDate; }
  constexpr TimeInterval timeIntervalSince(Date other) const { return seconds_ - other.seconds_; }

  // The start of today plus one calendar day.
  static Date tomorrow();
  // The start of today (removingTimeStamp() of now).
  static Date todayBeginning();
  // Today (the era, year, month and day of now) at the given time of day;
  // values out of their usual range roll over (25 hours is 01:00 tomorrow).
  static Date todayAt(int hrs, int mins, int sec, std::int64_t nanoSec = 0);
  // A uniformly distributed instant in [lower, upper) (or [lower, upper] when
  // `closed`), drawn on the seconds value; lower == upper gives lower.
  static Date random(Date lower, Date upper, bool closed = false);
  template <std::uniform_random_bit_generator G>
  static Date random(Date lower, Date upper, bool closed, G& generator) {
    assert(lower <= upper && "Date::random with lower > upper");
    if (!(lower < upper)) return lower;
    const double high = closed ? std::nextafter(upper.seconds_, std::numeric_limits<double>::max())
                               : upper.seconds_;
    std::uniform_real_distribution<double> pick(lower.seconds_, high);
    double drawn = pick(generator);
    if (!closed && drawn >= upper.seconds_) drawn = lower.seconds_;
    return Date(drawn);
  }

  // ---- Text (defined with the formats, DateFormat.cpp) ----

  // Parses "yyyy-MM-dd'T'HH:mm:ss.SSSZ" (a zone designator is required),
  // locale en_US_POSIX, current time zone; nothing unless the whole text
  // matches.
  static std::optional<Date> fromISO8601String(std::string_view text);
  // The decimal digits of an integer read with the pattern "yyyyMMdd"
  // (20240315 is 15 March 2024, 00:00 in the current time zone); nothing
  // when they are not a date.
  static std::optional<Date> fromIntegerLiteral(std::int64_t yyyymmdd);
  // Parses the whole text with an ICU date pattern, in the given locale
  // (default: the current one) and time zone (default: the current one);
  // nothing on mismatch.
  static std::optional<Date> fromString(std::string_view text, std::string_view pattern,
                                        std::optional<std::string_view> locale = std::nullopt,
                                        std::optional<std::string_view> timeZone = std::nullopt);

  friend constexpr auto operator<=>(Date, Date) = default;  // NOLINT(modernize-use-nullptr)
  friend constexpr bool operator==(Date, Date) = default;
  // The interval between two dates in seconds (a minus b).
  friend constexpr TimeInterval operator-(Date a, Date b) { return a.seconds_ - b.seconds_; }
  friend constexpr Date operator+(Date a, TimeInterval t) { return Date(a.seconds_ + t); }
  friend constexpr Date operator-(Date a, TimeInterval t) { return Date(a.seconds_ - t); }
  constexpr Date& operator+=(TimeInterval t) {
    seconds_ += t;
    return *this;
  }
  constexpr Date& operator-=(TimeInterval t) {
    seconds_ -= t;
    return *this;
  }
  // The same with std::chrono durations (converted to seconds as a double).
  template <class Rep, class Period>
  friend constexpr Date operator+(Date a, std::chrono::duration<Rep, Period> t) {
    return a + toTimeInterval(t);
  }
  template <class Rep, class Period>
  friend constexpr Date operator+(std::chrono::duration<Rep, Period> t, Date a) {
    return a + toTimeInterval(t);
  }
  template <class Rep, class Period>
  friend constexpr Date operator-(Date a, std::chrono::duration<Rep, Period> t) {
    return a - toTimeInterval(t);
  }
  template <class Rep, class Period>
  constexpr Date& operator+=(std::chrono::duration<Rep, Period> t) {
    return *this += toTimeInterval(t);
  }
  template <class Rep, class Period>
  constexpr Date& operator-=(std::chrono::duration<Rep, Period> t) {
    return *this -= toTimeInterval(t);
  }

  // The instant of a point on the system clock (which counts Unix time).
  template <class Duration>
  static constexpr Date fromTimePoint(
      std::chrono::time_point<std::chrono::system_clock, Duration> t) {
    return fromUnixTimestamp(toTimeInterval(t.time_since_epoch()));
  }

 private:
  double seconds_ = 0;
};

// Prints the instant as "2024-03-15T09:30:00.123Z" (UTC).
std::ostream& operator<<(std::ostream& out, Date d);

// Calendar components.
enum class CalendarComponent {
  era,
  year,
  month,  // 1-based
  day,    // day of the month
  hour,
  minute,
  second,
  nanosecond,
  weekday,  // 1 = Sunday ... 7 = Saturday
  weekOfMonth,
  weekOfYear,
  yearForWeekOfYear,
};

// The components for Date::fromComponents; absent ones take the calendar's
// defaults (1970-01-01 00:00:00).
struct DateComponents {
  std::optional<std::string> calendar;  // an ICU calendar type ("gregorian", "buddhist", ...)
  std::optional<std::string> timeZone;  // a zone identifier ("Europe/Berlin", "UTC", ...)
  std::optional<int> era;
  std::optional<int> year;
  std::optional<int> month;
  std::optional<int> day;
  std::optional<int> hour;
  std::optional<int> minute;
  std::optional<int> second;
  std::optional<std::int64_t> nanosecond;
};

// A date from components in a calendar and time zone (default: the current
// ones); nothing when a component is out of its range (30 February), the
// calendar or the zone is unknown.
std::optional<Date> dateFromComponents(const DateComponents& components);

// ---- Settings of the current calendar ----

// Re-reads the system time zone (the TZ variable, else /etc/localtime) and
// makes it the current one.
void resetSystemTimeZone();
// Makes a zone current by identifier; false (and nothing changed) for an
// unknown one.
bool setCurrentTimeZone(std::string_view identifier);
std::string currentTimeZoneIdentifier();
// Makes a locale current ("en_US", "de_DE", "th_TH@calendar=buddhist"); false
// for an identifier that is not well-formed.
bool setCurrentLocale(std::string_view identifier);
std::string currentLocaleIdentifier();

// ---- Components (current calendar) ----

int component(Date d, CalendarComponent c);
int era(Date d);
int year(Date d);
int month(Date d);
int day(Date d);
int hour(Date d);
int minute(Date d);
int second(Date d);
std::int64_t nanosecond(Date d);
int weekday(Date d);
int weekOfYear(Date d);
int weekOfMonth(Date d);
// The nanosecond component / 1,000,000.
int millisecond(Date d);
// ceil(month / (number of months / 4)): 1 to 4 in a twelve-month calendar.
int quarter(Date d);
std::optional<int> weekDay(Date d);
int monthDay(Date d);

// Move the date by the difference between the new and the old value of the
// component (calendar addition of the difference).
void setYear(Date& d, int value);
void setMonth(Date& d, int value);
void setDay(Date& d, int value);
void setHour(Date& d, int value);
void setMinute(Date& d, int value);
void setSecond(Date& d, int value);
void setNanosecond(Date& d, std::int64_t value);
void setMillisecond(Date& d, int value);

// ---- Tests ----

bool isInFuture(Date d);
bool isInPast(Date d);
bool isInToday(Date d);
bool isInYesterday(Date d);
bool isInTomorrow(Date d);
// The locale's weekend (Saturday and Sunday in most locales).
bool isInWeekend(Date d);
bool isWorkday(Date d);
bool isInCurrentWeek(Date d);
bool isInCurrentMonth(Date d);
bool isInCurrentYear(Date d);
// Whether d and now share the period of the component.
bool isInCurrent(Date d, CalendarComponent c);
// Whether two dates share the period of the component.
bool isInSame(Date a, Date b, CalendarComponent c);
// Strictly between a and b, in either order; bounds count when includeBounds.
bool isBetween(Date d, Date a, Date b, bool includeBounds = false);
// At most n whole units of the component apart.
bool isWithin(Date d, std::int64_t n, CalendarComponent c, Date other);
// Whole units of the component from d to `to` (negative when `to` is earlier
// unless abs).
std::int64_t distance(Date d, Date to, CalendarComponent c, bool abs = false);
// The interval from `since` to d in seconds, minutes, hours or days.
double secondsSince(Date d, Date since);
double minutesSince(Date d, Date since);
double hoursSince(Date d, Date since);
double daysSince(Date d, Date since);
// The number of days of d's month.
int numberOfDaysInMonth(Date d);

// ---- Moving and truncating ----

// Calendar addition without wrapping (adding a month to 31 January gives the
// end of February).
Date adding(Date d, CalendarComponent c, std::int64_t value);
void add(Date& d, CalendarComponent c, std::int64_t value);
Date plusSeconds(Date d, std::int64_t n);
Date plusMins(Date d, std::int64_t n);
Date plusHours(Date d, std::int64_t n);
Date plusDays(Date d, std::int64_t n);
Date addingMonth(Date d, std::int64_t n);
// Adds sec + mins * 60 + hrs * 3600 + days * 86400 seconds as a plain
// interval (not by calendar).
Date adding(Date d, std::int64_t days, std::int64_t hrs, std::int64_t mins, std::int64_t sec);
// The date with one component set (other components kept where the
// calendar can); nothing when the value is out of the component's range.
std::optional<Date> changing(Date d, CalendarComponent c, std::int64_t value);
// One calendar day before (after).
Date yesterday(Date d);
Date tomorrow(Date d);
// The start of d's day (see Days above), rebuilt from its era, year, month
// and day.
Date removingTimeStamp(Date d);
// The same rebuilt from year, month and day only.
std::optional<Date> dateWithoutTime(Date d);
// The start of the period of the component that holds d: for day the start
// of the day; for a week the start of the week's first day (as the locale
// counts weeks); for second, minute and hour the instant that many seconds
// into the local minute and hour before d; otherwise the date rebuilt from
// the components not finer than c, at the start of its first day.
std::optional<Date> beginning(Date d, CalendarComponent c);
// The last second of the period: the start of the next period minus one
// second (weeks last seven days from their first day). Supported for second,
// minute, hour, day, weekOfYear, weekOfMonth, month and year; nothing for
// the others.
std::optional<Date> end(Date d, CalendarComponent c);

// Rounding to clock steps in the current time zone: the minute of the hour
// rounded to a multiple of 5, 10, 15 or 30 (up from 3, 5, 8 and 15 past a
// multiple), seconds dropped; nearestHour rounds up from minute 30. The date
// is rebuilt from its era, year, month, day, hour and rounded minute, a
// minute of 60 rolling into the next hour: so 01:58 in the first pass of a
// repeated hour (New York, 3 November 2024) rounds to 02:00 local time, one
// hour and two minutes later. A wall time that a daylight-saving change
// repeats resolves to the pass nearer to the date, one that a change skips to
// the first valid time after it.
Date nearestFiveMinutes(Date d);
Date nearestTenMinutes(Date d);
Date nearestQuarterHour(Date d);
Date nearestHalfHour(Date d);
Date nearestHour(Date d);

}  // namespace mornik

MORNIK_EXPORTS_END
