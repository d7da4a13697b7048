#include "mornik/time/detail/Occurrence.hpp"

#include <array>
#include <cstdlib>

namespace mornik::detail {

namespace {

constexpr std::int64_t kDay = 86400;
constexpr std::int64_t kMostDays = 100'000;

// Seconds of the local clock since midnight (no day part).
std::int64_t wallSeconds(Date d) {
  return std::int64_t{hour(d)} * 3600 + std::int64_t{minute(d)} * 60 + second(d);
}

// The instant of the local day starting at `dayStart` whose clock shows
// `wall` seconds, or, for a skipped time, that many seconds after the start
// at the day's first offset.
Date wallTimeOn(Date dayStart, std::int64_t wall) {
  // At the day's first offset; then at the offset found there, which is the
  // right one when a change lies between the start and the time.
  const Date first = dayStart + static_cast<double>(wall - wallSeconds(dayStart));
  const Date second = first + static_cast<double>(wall - wallSeconds(first));
  const std::array<Date, 2> guesses{first, second};
  for (const Date guess : guesses) {
    if (wallSeconds(guess) == wall && isInSame(guess, dayStart, CalendarComponent::day)) {
      return guess;
    }
  }
  return first;  // the clock skips that time
}

}  // namespace

std::optional<Date> todayAt(Date now, std::int64_t hrs, std::int64_t mins, std::int64_t sec) {
  std::int64_t total = 0;
  std::int64_t part = 0;
  if (__builtin_mul_overflow(hrs, std::int64_t{3600}, &total) ||
      __builtin_mul_overflow(mins, std::int64_t{60}, &part) ||
      __builtin_add_overflow(total, part, &total) || __builtin_add_overflow(total, sec, &total)) {
    return std::nullopt;
  }
  std::int64_t days = total / kDay;
  std::int64_t wall = total % kDay;
  if (wall < 0) {
    wall += kDay;
    --days;
  }
  if (std::llabs(days) > kMostDays) return std::nullopt;
  const Date today = removingTimeStamp(now);
  const Date dayStart = days == 0 ? today : removingTimeStamp(plusDays(today, days));
  if (days != 0 && dayStart == today) return std::nullopt;  // beyond the calendar
  return wallTimeOn(dayStart, wall);
}

std::optional<Date> nextOccurrence(Date now, std::int64_t hrs, std::int64_t mins,
                                   std::int64_t sec) {
  // Today's, else a day later (a negative time of day lies before today:
  // two days later at most).
  for (std::int64_t days = 0; days <= 2; ++days) {
    std::int64_t later = 0;
    if (__builtin_add_overflow(hrs, days * 24, &later)) return std::nullopt;
    const std::optional<Date> at = todayAt(now, later, mins, sec);
    if (!at) return std::nullopt;
    if (*at > now) return at;
  }
  return std::nullopt;
}

Date startOfTomorrow(Date now) { return removingTimeStamp(plusDays(removingTimeStamp(now), 1)); }

}  // namespace mornik::detail
