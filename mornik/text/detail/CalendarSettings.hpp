#pragma once

// The current calendar's settings as the date operations see them: a change
// counter bumped by every settings call, this thread's calendar (rebuilt when
// the counter moved), and conversions between Date and ICU's milliseconds.
// Private to the library.

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
inline Millis toMillis(Date d) {
  const double ms = d.unixTimestamp() * 1000.0;
  double whole = std::floor(ms);
  double fraction = ms - whole;
  // A value a rounding error below a whole millisecond (t + 0.123 stored as
  // ...0.12299999) counts as that millisecond.
  if (fraction > 1.0 - 1e-6) {
    whole += 1.0;
    fraction = 0.0;
  }
  return {whole, fraction};
}
inline Date fromMillis(double ms, double fraction = 0) {
  return Date::fromUnixTimestamp((ms + fraction) / 1000.0);
}

}  // namespace mornik::detail
