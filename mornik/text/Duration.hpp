#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "mornik/base/Export.hpp"
#include "mornik/text/Date.hpp"

MORNIK_EXPORTS_BEGIN

// Durations (TimeInterval, seconds as a double) in whole days, hours, minutes
// and seconds, and as clock text.
//
//   mornik::TimeInterval t = mornik::timeInterval(0, 1, 2, 5);  // 3725 s
//   mornik::durationAsStr(t);                                   // " 1:02:05"
//   mornik::secVal(125.7);                                      // 5
//
// `Int(t)` below is t truncated toward zero. The conversions are meant for
// finite values within the 64-bit range; outside it they saturate (NaN counts
// as 0) instead of being undefined.
//
// Thread safety: pure functions.

namespace mornik {

// sec + mins * 60 + hrs * 3600 + days * 86400, computed exactly in integers
// and clamped to the 64-bit range.
TimeInterval timeInterval(std::int64_t days, std::int64_t hrs, std::int64_t mins, std::int64_t sec);

// Int(t).
std::int64_t secTotal(TimeInterval t);
// Int(t) / 60, / 3600, / 86400 (truncating).
std::int64_t minsTotal(TimeInterval t);
std::int64_t hoursTotal(TimeInterval t);
std::int64_t daysTotal(TimeInterval t);
// minsTotal and secTotal made non-negative.
std::int64_t minsTotalAbs(TimeInterval t);
std::int64_t secTotalAbs(TimeInterval t);
// Int(t) % 60: the seconds of a clock display (negative for negative t).
std::int64_t secVal(TimeInterval t);
// (Int(t) / 60) % 60.
std::int64_t minsVal(TimeInterval t);
// The fractional part of t times 1000.
double msVal(TimeInterval t);

// Clock text of s = Int(t) seconds: "%2d:%0.2d:%0.2d" (hours, minutes of the
// hour, seconds) when |s| >= 3600; otherwise "%2d:%0.2d" (minutes, seconds)
// when s < 600, else "%0.2d:%0.2d". So 125 gives " 2:05", 725 "12:05" and
// 3725 " 1:02:05". (Named apart from asStr(), which describes a double as a
// number.)
std::string durationAsStr(TimeInterval t);

// The same for std::chrono durations, converted to seconds as a double
// (toTimeInterval).
template <class Rep, class Period>
std::int64_t secTotal(std::chrono::duration<Rep, Period> t) {
  return secTotal(toTimeInterval(t));
}
template <class Rep, class Period>
std::int64_t minsTotal(std::chrono::duration<Rep, Period> t) {
  return minsTotal(toTimeInterval(t));
}
template <class Rep, class Period>
std::int64_t hoursTotal(std::chrono::duration<Rep, Period> t) {
  return hoursTotal(toTimeInterval(t));
}
template <class Rep, class Period>
std::int64_t daysTotal(std::chrono::duration<Rep, Period> t) {
  return daysTotal(toTimeInterval(t));
}
template <class Rep, class Period>
std::int64_t minsTotalAbs(std::chrono::duration<Rep, Period> t) {
  return minsTotalAbs(toTimeInterval(t));
}
template <class Rep, class Period>
std::int64_t secTotalAbs(std::chrono::duration<Rep, Period> t) {
  return secTotalAbs(toTimeInterval(t));
}
template <class Rep, class Period>
std::int64_t secVal(std::chrono::duration<Rep, Period> t) {
  return secVal(toTimeInterval(t));
}
template <class Rep, class Period>
std::int64_t minsVal(std::chrono::duration<Rep, Period> t) {
  return minsVal(toTimeInterval(t));
}
template <class Rep, class Period>
double msVal(std::chrono::duration<Rep, Period> t) {
  return msVal(toTimeInterval(t));
}
template <class Rep, class Period>
std::string durationAsStr(std::chrono::duration<Rep, Period> t) {
  return durationAsStr(toTimeInterval(t));
}

}  // namespace mornik

MORNIK_EXPORTS_END
