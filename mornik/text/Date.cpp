#include "mornik/text/Date.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <tuple>

#include <unicode/locid.h>
#include <unicode/timezone.h>
#include <unicode/ucal.h>

#include "mornik/base/Fatal.hpp"
#include "mornik/text/Collections.hpp"
#include "mornik/text/Duration.hpp"
#include "mornik/text/detail/CalendarSettings.hpp"

namespace mornik {

namespace detail {

namespace {

std::atomic<std::uint64_t> gGeneration{1};

struct CalendarCache {
  std::unique_ptr<icu::Calendar> calendar;
  std::uint64_t generation = 0;
};
thread_local CalendarCache tCalendar;

}  // namespace

std::uint64_t calendarSettingsGeneration() { return gGeneration.load(std::memory_order_acquire); }

icu::Calendar& currentCalendar() {
  CalendarCache& cache = tCalendar;
  const std::uint64_t generation = calendarSettingsGeneration();
  if (!cache.calendar || cache.generation != generation) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Calendar> created(icu::Calendar::createInstance(status));
    if (U_FAILURE(status) || !created) {
      status = U_ZERO_ERROR;
      created.reset(icu::Calendar::createInstance(icu::Locale::getRoot(), status));
    }
    if (U_FAILURE(status) || !created) fatal("ICU cannot create a calendar");
    cache.calendar = std::move(created);
    cache.generation = generation;
  }
  cache.calendar->setLenient(true);
  return *cache.calendar;
}

}  // namespace detail

namespace {

using detail::currentCalendar;
using detail::fromMillis;
using detail::toMillis;

UCalendarDateFields fieldOf(CalendarComponent c) {
  switch (c) {
    case CalendarComponent::era:
      return UCAL_ERA;
    case CalendarComponent::year:
      return UCAL_YEAR;
    case CalendarComponent::month:
      return UCAL_MONTH;
    case CalendarComponent::day:
    case CalendarComponent::weekday:
      return UCAL_DATE;
    case CalendarComponent::hour:
      return UCAL_HOUR_OF_DAY;
    case CalendarComponent::minute:
      return UCAL_MINUTE;
    case CalendarComponent::second:
      return UCAL_SECOND;
    case CalendarComponent::nanosecond:
      return UCAL_MILLISECOND;
    case CalendarComponent::weekOfMonth:
    case CalendarComponent::weekOfYear:
      return UCAL_WEEK_OF_YEAR;
    case CalendarComponent::yearForWeekOfYear:
      return UCAL_YEAR_WOY;
  }
  return UCAL_DATE;
}

// The calendar set to d, or null when the calendar cannot hold d; `fraction`
// receives the sub-millisecond part.
icu::Calendar* calendarAt(Date d, double* fraction = nullptr) {
  icu::Calendar& calendar = currentCalendar();
  const auto ms = toMillis(d);
  if (!detail::setCalendarTime(calendar, ms.whole)) return nullptr;
  if (fraction != nullptr) *fraction = ms.fraction;
  return &calendar;
}

int get(icu::Calendar& calendar, UCalendarDateFields field) {
  UErrorCode status = U_ZERO_ERROR;
  const int value = calendar.get(field, status);
  return U_SUCCESS(status) ? value : 0;
}

// The field of d, or 0 when the calendar cannot hold d.
int fieldAt(Date d, UCalendarDateFields field) {
  icu::Calendar* calendar = calendarAt(d);
  return calendar == nullptr ? 0 : get(*calendar, field);
}

std::int64_t nanosecondOf(Date d) {
  double fraction = 0;
  icu::Calendar* calendar = calendarAt(d, &fraction);
  if (calendar == nullptr) return 0;
  const auto ns = static_cast<std::int64_t>(get(*calendar, UCAL_MILLISECOND)) * 1'000'000 +
                  std::llround(fraction * 1'000'000.0);
  return std::min<std::int64_t>(ns, 999'999'999);
}

std::optional<Date> timeOf(icu::Calendar& calendar, double fraction = 0) {
  UErrorCode status = U_ZERO_ERROR;
  const UDate ms = calendar.getTime(status);
  if (U_FAILURE(status)) return std::nullopt;
  return fromMillis(ms, fraction);
}

int clampToInt(std::int64_t value) {
  return static_cast<int>(std::clamp<std::int64_t>(value, std::numeric_limits<int>::min(),
                                                   std::numeric_limits<int>::max()));
}

Date calendarAdd(Date d, UCalendarDateFields field, std::int64_t value) {
  double fraction = 0;
  icu::Calendar* calendar = calendarAt(d, &fraction);
  if (calendar == nullptr) return d;
  UErrorCode status = U_ZERO_ERROR;
  calendar->add(field, clampToInt(value), status);
  if (U_FAILURE(status)) return d;
  return timeOf(*calendar, fraction).value_or(d);
}

// The fields that decide whether two dates share the period of c.
std::vector<UCalendarDateFields> periodFields(CalendarComponent c) {
  switch (c) {
    case CalendarComponent::era:
      return {UCAL_ERA};
    case CalendarComponent::year:
      return {UCAL_ERA, UCAL_YEAR};
    case CalendarComponent::month:
      return {UCAL_ERA, UCAL_YEAR, UCAL_MONTH};
    case CalendarComponent::day:
    case CalendarComponent::weekday:
      return {UCAL_ERA, UCAL_YEAR, UCAL_MONTH, UCAL_DATE};
    case CalendarComponent::hour:
      return {UCAL_ERA, UCAL_YEAR, UCAL_MONTH, UCAL_DATE, UCAL_HOUR_OF_DAY};
    case CalendarComponent::minute:
      return {UCAL_ERA, UCAL_YEAR, UCAL_MONTH, UCAL_DATE, UCAL_HOUR_OF_DAY, UCAL_MINUTE};
    case CalendarComponent::second:
    case CalendarComponent::nanosecond:
      return {UCAL_ERA,         UCAL_YEAR,   UCAL_MONTH, UCAL_DATE,
              UCAL_HOUR_OF_DAY, UCAL_MINUTE, UCAL_SECOND};
    case CalendarComponent::weekOfMonth:
      return {UCAL_ERA, UCAL_YEAR, UCAL_MONTH, UCAL_WEEK_OF_MONTH};
    case CalendarComponent::weekOfYear:
      return {UCAL_YEAR_WOY, UCAL_WEEK_OF_YEAR};
    case CalendarComponent::yearForWeekOfYear:
      return {UCAL_YEAR_WOY};
  }
  return {};
}

// The values of the fields of d; nothing when the calendar cannot hold d.
std::optional<std::vector<int>> fieldValues(Date d,
                                            const std::vector<UCalendarDateFields>& fields) {
  icu::Calendar* calendar = calendarAt(d);
  if (calendar == nullptr) return std::nullopt;
  std::vector<int> values;
  values.reserve(fields.size());
  for (const auto field : fields) values.push_back(get(*calendar, field));
  return values;
}

// Sets how the calendar resolves a wall time that a daylight-saving change
// skips or repeats, for the lifetime of the scope; the thread's calendar
// goes back to ICU's defaults afterwards.
class WallTimeOptions {
 public:
  WallTimeOptions(icu::Calendar& calendar, UCalendarWallTimeOption repeated,
                  UCalendarWallTimeOption skipped)
      : calendar_(calendar) {
    calendar_.setRepeatedWallTimeOption(repeated);
    calendar_.setSkippedWallTimeOption(skipped);
  }
  ~WallTimeOptions() {
    calendar_.setRepeatedWallTimeOption(UCAL_WALLTIME_LAST);
    calendar_.setSkippedWallTimeOption(UCAL_WALLTIME_LAST);
  }
  WallTimeOptions(const WallTimeOptions&) = delete;
  WallTimeOptions& operator=(const WallTimeOptions&) = delete;

 private:
  icu::Calendar& calendar_;
};

// The first instant of the period the calendar's fields (already set)
// describe at 00:00: a midnight that a change skips resolves to the first
// valid time after it, a midnight that happens twice to the first of the two.
std::optional<Date> firstInstant(icu::Calendar& calendar) {
  const WallTimeOptions options(calendar, UCAL_WALLTIME_FIRST, UCAL_WALLTIME_NEXT_VALID);
  return timeOf(calendar);
}

// The first instant of the period of d given by `fields` (a day, week, month
// or year: the calendar cleared and set from d's values of them).
std::optional<Date> rebuilt(Date d, const std::vector<UCalendarDateFields>& fields,
                            bool firstDayOfWeek = false) {
  icu::Calendar* calendar = calendarAt(d);
  if (calendar == nullptr) return std::nullopt;
  std::vector<int> values;
  values.reserve(fields.size());
  for (const auto field : fields) values.push_back(get(*calendar, field));
  calendar->clear();
  for (std::size_t i = 0; i < fields.size(); ++i) calendar->set(fields[i], values[i]);
  if (firstDayOfWeek) calendar->set(UCAL_DAY_OF_WEEK, calendar->getFirstDayOfWeek());
  return firstInstant(*calendar);
}

// The first instant of the day `amount` days, months or years (`field`)
// after the day of `start`; the calendar is lenient, so 32 January is
// 1 February.
std::optional<Date> dayStartAfter(Date start, UCalendarDateFields field, int amount) {
  icu::Calendar* calendar = calendarAt(start);
  if (calendar == nullptr) return std::nullopt;
  const std::array<UCalendarDateFields, 4> fields{UCAL_ERA, UCAL_YEAR, UCAL_MONTH, UCAL_DATE};
  std::array<int, 4> values{};
  for (std::size_t i = 0; i < fields.size(); ++i) {
    values[i] = get(*calendar, fields[i]) + (fields[i] == field ? amount : 0);
  }
  calendar->clear();
  for (std::size_t i = 0; i < fields.size(); ++i) calendar->set(fields[i], values[i]);
  return firstInstant(*calendar);
}

// The start of d's second, minute or hour (`unit` seconds): arithmetic on the
// instant from the local minute and second, so an hour that a daylight-saving
// change repeats starts in the pass d is in.
std::optional<Date> startOfClockUnit(Date d, int unit) {
  icu::Calendar* calendar = calendarAt(d);
  if (calendar == nullptr) return std::nullopt;
  const auto ms = toMillis(d);
  std::int64_t into = get(*calendar, UCAL_MILLISECOND);
  if (unit >= 60) into += std::int64_t{1000} * get(*calendar, UCAL_SECOND);
  if (unit >= 3600) into += std::int64_t{60'000} * get(*calendar, UCAL_MINUTE);
  return fromMillis(ms.whole - static_cast<double>(into));
}

// Rounds the minute of the hour to a multiple of `step`, up when the
// remainder reaches `upFrom`, and rebuilds the date from its era, year,
// month, day, hour and new minute with seconds at zero; a minute of 60 rolls
// into the next hour. A wall time that a daylight-saving change repeats
// resolves to the pass nearer to d, one that a change skips to the first
// valid time after it.
Date roundToMinutes(Date d, int step, int upFrom) {
  icu::Calendar* calendar = calendarAt(d);
  if (calendar == nullptr) return d;
  const int minute = get(*calendar, UCAL_MINUTE);
  const int remainder = minute % step;
  const int rounded = remainder >= upFrom ? minute - remainder + step : minute - remainder;
  std::array<int, 5> values{};
  const std::array<UCalendarDateFields, 5> fields{UCAL_ERA, UCAL_YEAR, UCAL_MONTH, UCAL_DATE,
                                                  UCAL_HOUR_OF_DAY};
  for (std::size_t i = 0; i < fields.size(); ++i) values[i] = get(*calendar, fields[i]);
  auto build = [&](UCalendarWallTimeOption repeated) {
    calendar->clear();
    for (std::size_t i = 0; i < fields.size(); ++i) calendar->set(fields[i], values[i]);
    calendar->set(UCAL_MINUTE, rounded);
    const WallTimeOptions options(*calendar, repeated, UCAL_WALLTIME_NEXT_VALID);
    return timeOf(*calendar).value_or(d);
  };
  const Date first = build(UCAL_WALLTIME_FIRST);
  const Date last = build(UCAL_WALLTIME_LAST);
  return std::abs(first - d) <= std::abs(last - d) ? first : last;
}

void moveBy(Date& d, UCalendarDateFields field, int newValue, int offset = 0) {
  icu::Calendar* calendar = calendarAt(d);
  if (calendar == nullptr) return;
  const int old = get(*calendar, field) + offset;
  d = calendarAdd(d, field, static_cast<std::int64_t>(newValue) - old);
}

}  // namespace

bool detail::setCalendarTime(icu::Calendar& calendar, double wholeMillis) {
  if (!std::isfinite(wholeMillis)) return false;
  UErrorCode status = U_ZERO_ERROR;
  calendar.setTime(wholeMillis, status);
  if (U_FAILURE(status)) return false;
  // A lenient calendar pins a time outside its range to the nearest end.
  const UDate set = calendar.getTime(status);
  return U_SUCCESS(status) && set == wholeMillis;
}

// ---- Date ----

Date Date::now() {
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  return fromUnixTimestamp(std::chrono::duration<double>(since).count());
}

Date Date::tomorrow() { return plusDays(todayBeginning(), 1); }

Date Date::todayBeginning() { return removingTimeStamp(now()); }

Date Date::todayAt(int hrs, int mins, int sec, std::int64_t nanoSec) {
  icu::Calendar& calendar = *calendarAt(now());
  const int eraValue = get(calendar, UCAL_ERA);
  const int yearValue = get(calendar, UCAL_YEAR);
  const int monthValue = get(calendar, UCAL_MONTH);
  const int dayValue = get(calendar, UCAL_DATE);
  calendar.clear();
  calendar.set(UCAL_ERA, eraValue);
  calendar.set(UCAL_YEAR, yearValue);
  calendar.set(UCAL_MONTH, monthValue);
  calendar.set(UCAL_DATE, dayValue);
  calendar.set(UCAL_HOUR_OF_DAY, hrs);
  calendar.set(UCAL_MINUTE, mins);
  calendar.set(UCAL_SECOND, sec);
  const Date start = timeOf(calendar).value_or(now());
  return start + static_cast<double>(nanoSec) / 1e9;
}

Date Date::random(Date lower, Date upper, bool closed) {
  return random(lower, upper, closed, detail::threadRandomGenerator());
}

std::optional<Date> dateFromComponents(const DateComponents& c) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::TimeZone> zone;
  if (c.timeZone) {
    zone.reset(icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(*c.timeZone)));
    if (!zone || *zone == icu::TimeZone::getUnknown()) return std::nullopt;
  } else {
    zone.reset(icu::TimeZone::createDefault());
  }
  icu::Locale locale = icu::Locale::getDefault();
  if (c.calendar) {
    locale.setKeywordValue("calendar", c.calendar->c_str(), status);
    if (U_FAILURE(status)) return std::nullopt;
  }
  std::unique_ptr<icu::Calendar> calendar(
      icu::Calendar::createInstance(zone.release(), locale, status));
  if (U_FAILURE(status) || !calendar) return std::nullopt;
  if (c.calendar && std::string_view(calendar->getType()) != *c.calendar) return std::nullopt;
  calendar->clear();
  calendar->setLenient(false);
  if (c.era) calendar->set(UCAL_ERA, *c.era);
  if (c.year) calendar->set(UCAL_YEAR, *c.year);
  if (c.month) calendar->set(UCAL_MONTH, *c.month - 1);
  if (c.day) calendar->set(UCAL_DATE, *c.day);
  if (c.hour) calendar->set(UCAL_HOUR_OF_DAY, *c.hour);
  if (c.minute) calendar->set(UCAL_MINUTE, *c.minute);
  if (c.second) calendar->set(UCAL_SECOND, *c.second);
  if (c.nanosecond && (*c.nanosecond < 0 || *c.nanosecond > 999'999'999)) return std::nullopt;
  const UDate ms = calendar->getTime(status);
  if (U_FAILURE(status)) return std::nullopt;
  return fromMillis(ms) + static_cast<double>(c.nanosecond.value_or(0)) / 1e9;
}

// ---- Settings ----

namespace {
void settingsChanged() { detail::gGeneration.fetch_add(1, std::memory_order_acq_rel); }
}  // namespace

void resetSystemTimeZone() {
  icu::TimeZone::adoptDefault(icu::TimeZone::detectHostTimeZone());
  settingsChanged();
}

bool setCurrentTimeZone(std::string_view identifier) {
  std::unique_ptr<icu::TimeZone> zone(icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(
      icu::StringPiece(identifier.data(), static_cast<std::int32_t>(identifier.size())))));
  if (!zone || *zone == icu::TimeZone::getUnknown()) return false;
  icu::TimeZone::adoptDefault(zone.release());
  settingsChanged();
  return true;
}

std::string currentTimeZoneIdentifier() {
  std::unique_ptr<icu::TimeZone> zone(icu::TimeZone::createDefault());
  icu::UnicodeString id;
  zone->getID(id);
  std::string out;
  id.toUTF8String(out);
  return out;
}

bool setCurrentLocale(std::string_view identifier) {
  const icu::Locale locale(std::string(identifier).c_str());
  if (locale.isBogus()) return false;
  UErrorCode status = U_ZERO_ERROR;
  icu::Locale::setDefault(locale, status);
  if (U_FAILURE(status)) return false;
  settingsChanged();
  return true;
}

std::string currentLocaleIdentifier() { return icu::Locale::getDefault().getName(); }

// ---- Components ----

int component(Date d, CalendarComponent c) {
  switch (c) {
    case CalendarComponent::nanosecond:
      return static_cast<int>(nanosecondOf(d));
    case CalendarComponent::month: {
      icu::Calendar* calendar = calendarAt(d);
      return calendar == nullptr ? 0 : get(*calendar, UCAL_MONTH) + 1;
    }
    case CalendarComponent::weekday:
      return fieldAt(d, UCAL_DAY_OF_WEEK);
    case CalendarComponent::weekOfMonth:
      return fieldAt(d, UCAL_WEEK_OF_MONTH);
    default:
      return fieldAt(d, fieldOf(c));
  }
}

int era(Date d) { return component(d, CalendarComponent::era); }
int year(Date d) { return component(d, CalendarComponent::year); }
int month(Date d) { return component(d, CalendarComponent::month); }
int day(Date d) { return component(d, CalendarComponent::day); }
int hour(Date d) { return component(d, CalendarComponent::hour); }
int minute(Date d) { return component(d, CalendarComponent::minute); }
int second(Date d) { return component(d, CalendarComponent::second); }
std::int64_t nanosecond(Date d) { return nanosecondOf(d); }
int weekday(Date d) { return component(d, CalendarComponent::weekday); }
int weekOfYear(Date d) { return component(d, CalendarComponent::weekOfYear); }
int weekOfMonth(Date d) { return component(d, CalendarComponent::weekOfMonth); }
int millisecond(Date d) { return static_cast<int>(nanosecondOf(d) / 1'000'000); }

int quarter(Date d) {
  icu::Calendar* calendar = calendarAt(d);
  if (calendar == nullptr) return 0;
  const int months = calendar->getMaximum(UCAL_MONTH) + 1;
  const int monthValue = get(*calendar, UCAL_MONTH) + 1;
  const int perQuarter = std::max(1, months / 4);
  return (monthValue + perQuarter - 1) / perQuarter;
}

std::optional<int> weekDay(Date d) { return weekday(d); }
int monthDay(Date d) { return day(d); }

void setYear(Date& d, int value) { moveBy(d, UCAL_YEAR, value); }
void setMonth(Date& d, int value) { moveBy(d, UCAL_MONTH, value, 1); }
void setDay(Date& d, int value) { moveBy(d, UCAL_DATE, value); }
void setHour(Date& d, int value) { moveBy(d, UCAL_HOUR_OF_DAY, value); }
void setMinute(Date& d, int value) { moveBy(d, UCAL_MINUTE, value); }
void setSecond(Date& d, int value) { moveBy(d, UCAL_SECOND, value); }
void setNanosecond(Date& d, std::int64_t value) {
  d += (static_cast<double>(value) - static_cast<double>(nanosecondOf(d))) / 1e9;
}
void setMillisecond(Date& d, int value) {
  setNanosecond(d, static_cast<std::int64_t>(value) * 1'000'000);
}

// ---- Tests ----

bool isInFuture(Date d) { return d > Date::now(); }
bool isInPast(Date d) { return d < Date::now(); }

bool isInSame(Date a, Date b, CalendarComponent c) {
  if (c == CalendarComponent::nanosecond) return a == b;
  const auto fields = periodFields(c);
  const auto first = fieldValues(a, fields);
  return first && first == fieldValues(b, fields);
}

bool isInToday(Date d) { return isInSame(d, Date::now(), CalendarComponent::day); }
bool isInYesterday(Date d) { return isInSame(d, yesterday(Date::now()), CalendarComponent::day); }
bool isInTomorrow(Date d) { return isInSame(d, tomorrow(Date::now()), CalendarComponent::day); }

bool isInWeekend(Date d) {
  icu::Calendar* calendar = calendarAt(d);
  if (calendar == nullptr) return false;
  UErrorCode status = U_ZERO_ERROR;
  const UBool weekend = calendar->isWeekend(toMillis(d).whole, status);
  return U_SUCCESS(status) && weekend != 0;
}
bool isWorkday(Date d) { return calendarAt(d) != nullptr && !isInWeekend(d); }

bool isInCurrentWeek(Date d) { return isInCurrent(d, CalendarComponent::weekOfYear); }
bool isInCurrentMonth(Date d) { return isInCurrent(d, CalendarComponent::month); }
bool isInCurrentYear(Date d) { return isInCurrent(d, CalendarComponent::year); }
bool isInCurrent(Date d, CalendarComponent c) { return isInSame(d, Date::now(), c); }

bool isBetween(Date d, Date a, Date b, bool includeBounds) {
  auto order = [](Date x, Date y) { return x < y ? -1 : (x > y ? 1 : 0); };
  const int product = order(a, d) * order(d, b);
  return includeBounds ? product >= 0 : product > 0;
}

bool isWithin(Date d, std::int64_t n, CalendarComponent c, Date other) {
  return distance(d, other, c, true) <= n;
}

std::int64_t distance(Date d, Date to, CalendarComponent c, bool abs) {
  std::int64_t units = 0;
  if (c == CalendarComponent::nanosecond) {
    units = secTotal((to - d) * 1e9);  // truncating and saturating, as for seconds
  } else {
    if (calendarAt(to) == nullptr) return 0;
    icu::Calendar* calendar = calendarAt(d);
    if (calendar == nullptr) return 0;
    UErrorCode status = U_ZERO_ERROR;
    units = calendar->fieldDifference(toMillis(to).whole, fieldOf(c), status);
    if (U_FAILURE(status)) units = 0;
  }
  if (!abs || units >= 0) return units;
  return units == std::numeric_limits<std::int64_t>::min()
             ? std::numeric_limits<std::int64_t>::max()
             : -units;
}

double secondsSince(Date d, Date since) { return d - since; }
double minutesSince(Date d, Date since) { return (d - since) / 60.0; }
double hoursSince(Date d, Date since) { return (d - since) / 3600.0; }
double daysSince(Date d, Date since) { return (d - since) / 86400.0; }

int numberOfDaysInMonth(Date d) {
  icu::Calendar* calendar = calendarAt(d);
  if (calendar == nullptr) return 0;
  UErrorCode status = U_ZERO_ERROR;
  const int days = calendar->getActualMaximum(UCAL_DATE, status);
  return U_SUCCESS(status) ? days : 0;
}

// ---- Moving and truncating ----

Date adding(Date d, CalendarComponent c, std::int64_t value) {
  switch (c) {
    case CalendarComponent::nanosecond:
      return d + static_cast<double>(value) / 1e9;
    case CalendarComponent::weekOfMonth:
    case CalendarComponent::weekOfYear:
      return calendarAdd(d, UCAL_WEEK_OF_YEAR, value);
    default:
      return calendarAdd(d, fieldOf(c), value);
  }
}

void add(Date& d, CalendarComponent c, std::int64_t value) { d = adding(d, c, value); }
Date plusSeconds(Date d, std::int64_t n) { return adding(d, CalendarComponent::second, n); }
Date plusMins(Date d, std::int64_t n) { return adding(d, CalendarComponent::minute, n); }
Date plusHours(Date d, std::int64_t n) { return adding(d, CalendarComponent::hour, n); }
Date plusDays(Date d, std::int64_t n) { return adding(d, CalendarComponent::day, n); }
Date addingMonth(Date d, std::int64_t n) { return adding(d, CalendarComponent::month, n); }

Date adding(Date d, std::int64_t days, std::int64_t hrs, std::int64_t mins, std::int64_t sec) {
  return d + timeInterval(days, hrs, mins, sec);
}

std::optional<Date> changing(Date d, CalendarComponent c, std::int64_t value) {
  if (c == CalendarComponent::nanosecond) {
    if (value < 0 || value > 999'999'999) return std::nullopt;
    Date changed = d;
    setNanosecond(changed, value);
    return changed;
  }
  if (value < std::numeric_limits<int>::min() + 1 || value > std::numeric_limits<int>::max()) {
    return std::nullopt;
  }
  UCalendarDateFields field = fieldOf(c);
  int icuValue = static_cast<int>(value);
  if (c == CalendarComponent::month) icuValue -= 1;
  if (c == CalendarComponent::weekday) field = UCAL_DAY_OF_WEEK;
  if (c == CalendarComponent::weekOfMonth) field = UCAL_WEEK_OF_MONTH;
  // The fields that must come out as they were; a calendar that has to move
  // them (31 February, a wall time skipped by a daylight-saving change) cannot
  // build the date.
  std::vector<UCalendarDateFields> kept{UCAL_HOUR_OF_DAY, UCAL_MINUTE, UCAL_SECOND};
  if (c == CalendarComponent::era || c == CalendarComponent::year ||
      c == CalendarComponent::month || c == CalendarComponent::day ||
      c == CalendarComponent::hour || c == CalendarComponent::minute ||
      c == CalendarComponent::second) {
    kept = {UCAL_ERA, UCAL_YEAR, UCAL_MONTH, UCAL_DATE, UCAL_HOUR_OF_DAY, UCAL_MINUTE, UCAL_SECOND};
  }
  std::erase(kept, field);
  double fraction = 0;
  icu::Calendar* calendar = calendarAt(d, &fraction);
  if (calendar == nullptr) return std::nullopt;
  std::vector<int> before;
  before.reserve(kept.size());
  for (const auto f : kept) before.push_back(get(*calendar, f));
  calendar->set(field, icuValue);
  const auto changed = timeOf(*calendar, fraction);
  if (!changed) return std::nullopt;
  icu::Calendar* check = calendarAt(*changed);
  if (check == nullptr || get(*check, field) != icuValue) return std::nullopt;
  for (std::size_t i = 0; i < kept.size(); ++i) {
    if (get(*check, kept[i]) != before[i]) return std::nullopt;
  }
  return changed;
}

Date yesterday(Date d) { return plusDays(d, -1); }
Date tomorrow(Date d) { return plusDays(d, 1); }

Date removingTimeStamp(Date d) {
  if (calendarAt(d) == nullptr) return d;
  auto start = rebuilt(d, {UCAL_ERA, UCAL_YEAR, UCAL_MONTH, UCAL_DATE});
  if (!start) detail::fatal("Failed to strip time from Date object");
  return *start;
}

std::optional<Date> dateWithoutTime(Date d) {
  return rebuilt(d, {UCAL_YEAR, UCAL_MONTH, UCAL_DATE});
}

std::optional<Date> beginning(Date d, CalendarComponent c) {
  switch (c) {
    case CalendarComponent::nanosecond:
      return d;
    case CalendarComponent::second:
      return startOfClockUnit(d, 1);
    case CalendarComponent::minute:
      return startOfClockUnit(d, 60);
    case CalendarComponent::hour:
      return startOfClockUnit(d, 3600);
    case CalendarComponent::weekOfYear:
      return rebuilt(d, {UCAL_YEAR_WOY, UCAL_WEEK_OF_YEAR}, true);
    case CalendarComponent::weekOfMonth:
      return rebuilt(d, {UCAL_ERA, UCAL_YEAR, UCAL_MONTH, UCAL_WEEK_OF_MONTH}, true);
    case CalendarComponent::yearForWeekOfYear: {
      // The first day of week 1 of d's week-numbering year.
      icu::Calendar* calendar = calendarAt(d);
      if (calendar == nullptr) return std::nullopt;
      const int weekYear = get(*calendar, UCAL_YEAR_WOY);
      calendar->clear();
      calendar->set(UCAL_YEAR_WOY, weekYear);
      calendar->set(UCAL_WEEK_OF_YEAR, 1);
      calendar->set(UCAL_DAY_OF_WEEK, calendar->getFirstDayOfWeek());
      return firstInstant(*calendar);
    }
    default:
      return rebuilt(d, periodFields(c));
  }
}

std::optional<Date> end(Date d, CalendarComponent c) {
  // The start of the next period, from the calendar's own day boundaries
  // (a day may start after 00:00 or last 23 or 25 hours).
  std::optional<Date> next;
  switch (c) {
    case CalendarComponent::second:
    case CalendarComponent::minute:
    case CalendarComponent::hour: {
      const double length = c == CalendarComponent::second   ? 1
                            : c == CalendarComponent::minute ? 60
                                                             : 3600;
      if (const auto start = beginning(d, c)) next = *start + length;
      break;
    }
    case CalendarComponent::day:
      next = dayStartAfter(d, UCAL_DATE, 1);
      break;
    case CalendarComponent::weekOfYear:
    case CalendarComponent::weekOfMonth:
      if (const auto start = beginning(d, CalendarComponent::weekOfYear)) {
        next = dayStartAfter(*start, UCAL_DATE, 7);
      }
      break;
    case CalendarComponent::month:
      if (const auto start = beginning(d, c)) next = dayStartAfter(*start, UCAL_MONTH, 1);
      break;
    case CalendarComponent::year:
      if (const auto start = beginning(d, c)) next = dayStartAfter(*start, UCAL_YEAR, 1);
      break;
    default:
      return std::nullopt;
  }
  if (!next) return std::nullopt;
  return *next - 1.0;
}

Date nearestFiveMinutes(Date d) { return roundToMinutes(d, 5, 3); }
Date nearestTenMinutes(Date d) { return roundToMinutes(d, 10, 5); }
Date nearestQuarterHour(Date d) { return roundToMinutes(d, 15, 8); }
Date nearestHalfHour(Date d) { return roundToMinutes(d, 30, 15); }
Date nearestHour(Date d) { return roundToMinutes(d, 60, 30); }

}  // namespace mornik
