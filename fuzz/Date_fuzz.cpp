// Dates: formatting arbitrary instants (NaN, infinities and values beyond the
// calendar included) with arbitrary patterns in zones with daylight-saving
// changes, parsing arbitrary text, and the day boundaries around an instant.
// ISO text agrees with the JSON date encoding and reads back to the nearest
// millisecond; a day's start and end hold the instant and share its day.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "mornik/text/Date.hpp"
#include "mornik/text/DateFormat.hpp"
#include "mornik/text/Json.hpp"

namespace {

// A broken property: say which, then stop as a crash does.
#define CHECK(condition)                                                        \
  if (!(condition)) {                                                           \
    std::fprintf(stderr, "check failed: %s (line %d)\n", #condition, __LINE__); \
    __builtin_trap();                                                           \
  }

constexpr const char* kZones[] = {"UTC",
                                  "Europe/Berlin",
                                  "America/Sao_Paulo",
                                  "America/Havana",
                                  "America/New_York",
                                  "Australia/Lord_Howe",
                                  "Pacific/Apia",
                                  "Asia/Kolkata"};

// Years 1583 to 9999 in seconds since 2001: there ICU's calendar is the
// proleptic Gregorian one the JSON encoding uses, and years have four digits.
constexpr double kGregorianFrom = -13'127'702'400.0;
constexpr double kYear10000 = 252'423'993'600.0;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 10) return 0;
  double seconds = 0;
  std::memcpy(&seconds, data, 8);
  const std::uint8_t mode = data[8];
  const std::uint8_t zone = data[9];
  const std::string_view text(reinterpret_cast<const char*>(data) + 10, size - 10);
  // Mostly instants within three centuries of 2001 to the millisecond (or to
  // the second); else the raw bits.
  if ((mode & 1) == 0 && std::isfinite(seconds)) {
    seconds = (mode & 2) != 0 ? std::round(std::fmod(seconds, 1e10))
                              : std::round(std::fmod(seconds, 1e13)) / 1000.0;
  }
  const mornik::Date d(seconds);
  static int currentZone = -1;
  const int wanted = zone % static_cast<int>(std::size(kZones));
  if (wanted != currentZone) {
    CHECK(mornik::setCurrentTimeZone(kZones[wanted]));
    currentZone = wanted;
  }

  const std::string iso = mornik::iso8601String(d);
  const std::string formatted = mornik::stringWithFormat(d, text);
  const std::string byObject = mornik::DateFormatter::with(text).string(d);
  if (!std::isfinite(seconds)) CHECK(iso.empty() && formatted.empty() && byObject.empty());
  if (seconds >= kGregorianFrom && seconds < kYear10000 - 1) {
    CHECK(iso + "Z" == mornik::JavaScriptISO8601DateFormatter().string(d));
    const auto back =
        mornik::Date::fromString(iso, "yyyy-MM-dd'T'HH:mm:ss.SSS", "en_US_POSIX", "GMT");
    CHECK(back.has_value());
    CHECK(std::abs(*back - d) <= 0.000501);
  }

  // The day of an instant starts at or before it and ends after it.
  const auto start = mornik::beginning(d, mornik::CalendarComponent::day);
  if (std::abs(seconds) < 1e13) {
    CHECK(start.has_value());
    const auto last = mornik::end(d, mornik::CalendarComponent::day);
    CHECK(last.has_value());
    // A date a rounding error (1 ns) below a whole millisecond counts as that
    // millisecond, so its day may start that hair after it.
    const double hair = 1e-9 + std::abs(seconds) * 1e-15;
    CHECK(*start <= d + hair && d < *last + 1.0);
    CHECK(mornik::day(*start) == mornik::day(d) && mornik::day(*last) == mornik::day(d));
    CHECK(mornik::removingTimeStamp(d) == *start);
  } else if (!std::isfinite(seconds)) {
    CHECK(!start.has_value() && mornik::year(d) == 0);
    const double kept = mornik::removingTimeStamp(d).timeIntervalSinceReferenceDate();
    CHECK(kept == seconds || (std::isnan(kept) && std::isnan(seconds)));
  }
  (void)mornik::nearestFiveMinutes(d);
  (void)mornik::nearestHour(d);
  (void)mornik::end(d, mornik::CalendarComponent::month);
  (void)mornik::dayName(d, mornik::DayNameStyle::full);

  // Parsing arbitrary text: what parses formats again.
  if (const auto parsed = mornik::Date::fromISO8601String(text)) {
    CHECK(!mornik::iso8601String(*parsed).empty());
  }
  const std::size_t split = text.find('|');
  if (split != std::string_view::npos) {
    (void)mornik::Date::fromString(text.substr(split + 1), text.substr(0, split));
  }
  return 0;
}
