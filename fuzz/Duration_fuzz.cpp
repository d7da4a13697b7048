// Durations: arbitrary doubles (NaN, infinities, values beyond 64 bits) and
// arbitrary integer parts. The whole units agree with each other, the clock
// text is built from them, the std::chrono forms agree with the double ones,
// and timeInterval is the exact sum clamped to the 64-bit range.
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "mornik/text/Date.hpp"
#include "mornik/text/Duration.hpp"

namespace {

// A broken property: say which, then stop as a crash does.
#define CHECK(condition)                                                        \
  if (!(condition)) {                                                           \
    std::fprintf(stderr, "check failed: %s (line %d)\n", #condition, __LINE__); \
    __builtin_trap();                                                           \
  }

__extension__ using Wide = __int128;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 40) return 0;
  double t = 0;
  std::memcpy(&t, data, 8);
  std::int64_t parts[4];
  std::memcpy(parts, data + 8, 32);

  const std::int64_t total = mornik::secTotal(t);
  CHECK(mornik::minsTotal(t) == total / 60);
  CHECK(mornik::hoursTotal(t) == total / 3600);
  CHECK(mornik::daysTotal(t) == total / 86400);
  CHECK(mornik::secVal(t) == total % 60);
  CHECK(mornik::minsVal(t) == (total / 60) % 60);
  CHECK(mornik::secTotalAbs(t) >= 0 && mornik::minsTotalAbs(t) >= 0);
  if (std::isfinite(t) && std::abs(t) < 9e18) {
    CHECK(static_cast<double>(total) == std::trunc(t));
    const double ms = mornik::msVal(t);
    CHECK(std::abs(ms) < 1000.0);
  }
  const std::string clock = mornik::durationAsStr(t);
  CHECK(!clock.empty() && clock.find(':') != std::string::npos);
  CHECK(mornik::secTotal(std::chrono::duration<double>(t)) == total);
  CHECK(mornik::durationAsStr(std::chrono::duration<double>(t)) == clock);

  const Wide exact =
      Wide{parts[3]} + Wide{parts[2]} * 60 + Wide{parts[1]} * 3600 + Wide{parts[0]} * 86400;
  const double sum = mornik::timeInterval(parts[0], parts[1], parts[2], parts[3]);
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
  const Wide clamped = exact > kMax ? kMax : exact < kMin ? kMin : exact;
  CHECK(sum == static_cast<double>(static_cast<std::int64_t>(clamped)));
  const mornik::Date d(t);
  const auto step = std::chrono::milliseconds(parts[3] % 1'000'000'000);
  CHECK((d + step == mornik::Date(t + mornik::toTimeInterval(step))) || std::isnan(t));
  return 0;
}
