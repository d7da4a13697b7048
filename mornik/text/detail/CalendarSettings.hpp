#pragma once

// The current calendar's settings as the date operations see them: a change
// counter bumped by every settings call, this thread's calendar (rebuilt when
// the counter moved), and conversions between Date and ICU's milliseconds.
// Private to the library.

#include <algorithm>
#include <cmath>
#include <cstdint>

#include <unicode/calendar.h>

#include "mornik/text/Date.hpp"

namespace mornik::detail {

// Bumped whenever the current time zone or locale changes.
std::uint64_t calendarSettingsGeneration();

// This thread's calendar of the current locale in the current time zone,
// lenient, with no time set in particular. Valid until the next call on this
// thread.
icu::Calendar& currentCalendar();

// ICU counts milliseconds since 1970; a Date's sub-millisecond part is kept
// aside so calendar round trips do not lose it.
struct Millis {
  double whole;     // whole milliseconds since 1970 (floor)
  double fraction;  // [0, 1) milliseconds
};
inline constexpr double kReferenceMillis = Date::kUnixTimeOfReferenceDate * 1000.0;
inline Millis toMillis(Date d) {
  // Scaled from the reference instant, so the large Unix offset (an integer)
  // is added exactly afterwards instead of rounding the sum first.
  const double ms = d.timeIntervalSinceReferenceDate() * 1000.0;
  double whole = std::floor(ms);
  double fraction = ms - whole;
  // A value a few rounding errors below a whole millisecond (0.999 stored as
  // 0.99899999...) counts as that millisecond.
  if (fraction > 1.0 - std::max(1e-6, std::abs(ms) * 0x1p-50)) {
    whole += 1.0;
    fraction = 0.0;
  }
  return {whole + kReferenceMillis, fraction};
}
inline Date fromMillis(double ms, double fraction = 0) {
  return Date((ms - kReferenceMillis + fraction) / 1000.0);
}

// Sets a calendar to a whole number of milliseconds since 1970; false when
// the calendar cannot hold it (not finite, or outside the calendar's range of
// about 5.8 million years either side of 1970), and the calendar's time is
// then meaningless.
bool setCalendarTime(icu::Calendar& calendar, double wholeMillis);

}  // namespace mornik::detail
