#include "mornik/text/Duration.hpp"

#include <cmath>
#include <cstdio>
#include <limits>

namespace mornik {

namespace {

// Int(t), saturating.
std::int64_t truncated(TimeInterval t) {
  if (std::isnan(t)) return 0;
  constexpr double kLimit = 9223372036854775807.0;  // 2^63, not representable as int64
  if (t >= kLimit) return std::numeric_limits<std::int64_t>::max();
  if (t <= -kLimit) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(t);
}

std::int64_t absolute(std::int64_t v) {
  if (v == std::numeric_limits<std::int64_t>::min())
    return std::numeric_limits<std::int64_t>::max();
  return v < 0 ? -v : v;
}

}  // namespace

TimeInterval timeInterval(std::int64_t days, std::int64_t hrs, std::int64_t mins,
                          std::int64_t sec) {
  // Exact in 128 bits (each term is below 2^80), then clamped once.
  __extension__ using Wide = __int128;
  const Wide exact = Wide{sec} + Wide{mins} * 60 + Wide{hrs} * 3600 + Wide{days} * 86400;
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
  const auto clamped = static_cast<std::int64_t>(exact > kMax ? kMax : exact < kMin ? kMin : exact);
  return static_cast<TimeInterval>(clamped);
}

std::int64_t secTotal(TimeInterval t) { return truncated(t); }
std::int64_t minsTotal(TimeInterval t) { return truncated(t) / 60; }
std::int64_t hoursTotal(TimeInterval t) { return truncated(t) / 3600; }
std::int64_t daysTotal(TimeInterval t) { return truncated(t) / 86400; }
std::int64_t minsTotalAbs(TimeInterval t) { return absolute(minsTotal(t)); }
std::int64_t secTotalAbs(TimeInterval t) { return absolute(secTotal(t)); }
std::int64_t secVal(TimeInterval t) { return truncated(t) % 60; }
std::int64_t minsVal(TimeInterval t) { return (truncated(t) / 60) % 60; }

double msVal(TimeInterval t) {
  double whole = 0;
  return std::modf(t, &whole) * 1000.0;
}

std::string durationAsStr(TimeInterval t) {
  const long long s = truncated(t);
  // "%.2d" is "%0.2d" without the zero flag, which printf ignores when a
  // precision is given.
  char buffer[96];
  if (s >= 3600 || s <= -3600) {
    std::snprintf(buffer, sizeof buffer, "%2lld:%.2lld:%.2lld", s / 3600, (s / 60) % 60, s % 60);
  } else if (s < 600) {
    std::snprintf(buffer, sizeof buffer, "%2lld:%.2lld", s / 60, s % 60);
  } else {
    std::snprintf(buffer, sizeof buffer, "%.2lld:%.2lld", s / 60, s % 60);
  }
  return buffer;
}

}  // namespace mornik
