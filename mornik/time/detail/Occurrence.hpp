#pragma once

// When a wall-clock time of day next happens, as a pure function of "now".
// Internal to time/ (the scheduler's first runs and its tests).

#include <cstdint>
#include <optional>

#include "mornik/base/Export.hpp"
#include "mornik/text/Date.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::detail {

// The instant of the local day of `now` at hrs:mins:sec, in the current
// calendar and time zone. Out-of-range values roll over (hour 25 is 01:00 the
// next day, -1 hour is 23:00 the day before). A time the clock skips (02:30
// on a day it jumps from 02:00 to 03:00) is taken as that far after the day's
// start at the offset before the jump (03:30); a time the clock shows twice
// is its first pass. Nothing when the total lies further than a hundred
// thousand days away or the calendar cannot hold the day.
std::optional<Date> todayAt(Date now, std::int64_t hrs, std::int64_t mins, std::int64_t sec);

// The first instant strictly after `now` at that time of day: today's, or
// else the one of the next calendar day (or the one after, for a negative
// time of day).
std::optional<Date> nextOccurrence(Date now, std::int64_t hrs, std::int64_t mins, std::int64_t sec);

// The start of the day after the one of `now`.
Date startOfTomorrow(Date now);

}  // namespace mornik::detail

MORNIK_EXPORTS_END
