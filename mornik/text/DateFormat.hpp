#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "mornik/base/Export.hpp"
#include "mornik/text/Date.hpp"

MORNIK_EXPORTS_BEGIN

// Dates as text: fixed formats for exchange with other programs, patterns,
// localized styles and names.
//
//   mornik::iso8601String(d);                  // "2024-03-15T09:30:00.000" (GMT)
//   mornik::stringWithFormat(d, "EEEE d MMM"); // "Friday 15 Mar" (current locale, zone)
//   mornik::dateString(d, mornik::DateStyle::medium);
//   mornik::dayName(d, mornik::DayNameStyle::full);
//   auto parsed = mornik::Date::fromString("15.03.2024", "dd.MM.yyyy");
//
// Patterns are ICU date patterns (yyyy, MM, dd, HH, mm, ss, SSS, EEE, Z, ...,
// with literal text in single quotes). Locales are ICU identifiers
// ("en_US", "de_DE"); "current" means the current locale and time zone of
// Date.hpp.
//
// A date that the calendar cannot hold (NaN, infinite, or further than about
// 5.8 million years from 1970; see Date.hpp) formats as "" with every
// function here.
//
// Thread safety: every function may be called from any thread. Formatters
// are expensive to build, so each thread keeps the ones it used, keyed by
// pattern, locale and zone, and drops them when the current locale or zone
// changes. A DateFormatter object serialises its own calls.

namespace mornik {

// "yyyy-MM-dd'T'HH:mm:ss.SSS" in locale en_US_POSIX and zone GMT, with no zone
// designator (so Date::fromISO8601String does not read it back). The instant
// is rounded to the nearest millisecond, as the JSON date encoding does, so
// Date(0.999) (stored as 0.99899...) writes ".999".
std::string iso8601String(Date d);
// Formats with an ICU pattern in the current locale and zone.
std::string stringWithFormat(Date d, std::string_view pattern);
// The shared "y-M-dd" format in the current locale and zone ("2024-3-05").
std::string asString(Date d);
// stringWithFormat(d, pattern).
std::string asString(Date d, std::string_view pattern);

// Localized styles.
enum class DateStyle { none, shortStyle, medium, longStyle, full };
// The date part only, the time part only, or both in the same style.
std::string dateString(Date d, DateStyle style);
std::string timeString(Date d, DateStyle style);
std::string dateTimeString(Date d, DateStyle style);

enum class DayNameStyle { threeLetters, oneLetter, full };
enum class MonthNameStyle { threeLetters, oneLetter, full };
// The localized best pattern for "EEE" / "EEEEE" / "EEEE" ("Fri", "F", "Friday").
std::string dayName(Date d, DayNameStyle style);
// The localized best pattern for "MMM" / "MMMMM" / "MMMM" ("Mar", "M", "March").
std::string monthName(Date d, MonthNameStyle style);

// A formatter with its own pattern, locale and zone (by default the current
// ones when it is made). Parsing is strict: the whole text must match.
//
// Thread safety: copies share one formatter; every call takes its lock.
class DateFormatter {
 public:
  // A new formatter whose pattern is `pattern`.
  static DateFormatter with(std::string_view pattern);

  const std::string& pattern() const;
  // False (and nothing changed) for an unknown locale or zone.
  bool setLocale(std::string_view identifier);
  bool setTimeZone(std::string_view identifier);

  std::string string(Date d) const;
  std::optional<Date> date(std::string_view text) const;

  struct Impl;

 private:
  explicit DateFormatter(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}
  std::shared_ptr<Impl> impl_;
};

}  // namespace mornik

MORNIK_EXPORTS_END
