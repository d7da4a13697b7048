#include "mornik/text/DateFormat.hpp"

#include <cmath>
#include <memory>
#include <ostream>
#include <string>
#include <unordered_map>

#include <unicode/datefmt.h>
#include <unicode/dtptngen.h>
#include <unicode/locid.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>

#include "mornik/concurrency/LockedVar.hpp"
#include "mornik/text/detail/CalendarSettings.hpp"

namespace mornik {

namespace {

using detail::toMillis;

constexpr std::size_t kCacheCapacity = 64;

icu::UnicodeString unicode(std::string_view text) {
  return icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<std::int32_t>(text.size())));
}

std::string utf8(const icu::UnicodeString& text) {
  std::string out;
  text.toUTF8String(out);
  return out;
}

// A known zone, or null.
std::unique_ptr<icu::TimeZone> knownZone(std::string_view identifier) {
  std::unique_ptr<icu::TimeZone> zone(icu::TimeZone::createTimeZone(unicode(identifier)));
  if (!zone || *zone == icu::TimeZone::getUnknown()) return nullptr;
  return zone;
}

// A strict pattern formatter; null when the pattern or locale is unusable.
std::unique_ptr<icu::SimpleDateFormat> newPatternFormat(std::string_view pattern,
                                                        const icu::Locale& locale,
                                                        std::unique_ptr<icu::TimeZone> zone) {
  UErrorCode status = U_ZERO_ERROR;
  auto format = std::make_unique<icu::SimpleDateFormat>(unicode(pattern), locale, status);
  if (U_FAILURE(status)) return nullptr;
  format->setLenient(false);
  if (zone) format->adoptTimeZone(zone.release());
  return format;
}

// A formatter with a calendar of its own to format through: formatting a
// UDate makes ICU clone the formatter's calendar on every call, which costs
// more than the formatting itself.
struct CachedFormat {
  explicit CachedFormat(std::unique_ptr<icu::DateFormat> f)
      : format(std::move(f)), calendar(format->getCalendar()->clone()) {}
  std::unique_ptr<icu::DateFormat> format;
  std::unique_ptr<icu::Calendar> calendar;
};

// This thread's formatters, keyed by kind, pattern, locale and zone; emptied
// when the current locale or zone changes.
struct FormatterCache {
  std::uint64_t generation = 0;
  std::unordered_map<std::string, std::unique_ptr<CachedFormat>> byKey;
  std::string scratchKey;
};
thread_local FormatterCache tFormatters;

// The cached formatter under `key`, made by `make` on a miss (which may
// return null: then nothing is cached and null is returned).
template <class Make>
CachedFormat* cached(const std::string& key, Make&& make) {
  FormatterCache& cache = tFormatters;
  const std::uint64_t generation = detail::calendarSettingsGeneration();
  if (cache.generation != generation) {
    cache.byKey.clear();
    cache.generation = generation;
  }
  if (auto found = cache.byKey.find(key); found != cache.byKey.end()) return found->second.get();
  std::unique_ptr<icu::DateFormat> made = make();
  if (!made || made->getCalendar() == nullptr) return nullptr;
  if (cache.byKey.size() >= kCacheCapacity) cache.byKey.clear();
  auto entry = std::make_unique<CachedFormat>(std::move(made));
  if (!entry->calendar) return nullptr;
  return cache.byKey.emplace(key, std::move(entry)).first->second.get();
}

// A pattern formatter; locale and zone empty for the current ones.
CachedFormat* patternFormat(std::string_view pattern, std::string_view locale = {},
                            std::string_view zone = {}) {
  std::string& key = tFormatters.scratchKey;
  key.clear();
  key.push_back('p');
  key.append(pattern).push_back('\0');
  key.append(locale).push_back('\0');
  key.append(zone);
  return cached(key, [&]() -> std::unique_ptr<icu::DateFormat> {
    std::unique_ptr<icu::TimeZone> timeZone;
    if (!zone.empty()) {
      timeZone = knownZone(zone);
      if (!timeZone) return nullptr;
    }
    const icu::Locale where =
        locale.empty() ? icu::Locale::getDefault() : icu::Locale(std::string(locale).c_str());
    if (where.isBogus()) return nullptr;
    return newPatternFormat(pattern, where, std::move(timeZone));
  });
}

// The text of a whole number of milliseconds since 1970 through a formatter
// and a calendar of its; "" when the calendar cannot hold the time (ICU
// would otherwise format whatever time the calendar held before, or fields
// computed from NaN).
std::string formatMillis(const icu::DateFormat& formatter, icu::Calendar& calendar, double ms) {
  if (!detail::setCalendarTime(calendar, ms)) return {};
  icu::UnicodeString out;
  icu::FieldPosition position;
  formatter.format(calendar, out, position);
  return utf8(out);
}

std::string format(CachedFormat* formatter, Date d) {
  if (formatter == nullptr) return {};
  return formatMillis(*formatter->format, *formatter->calendar, toMillis(d).whole);
}

std::optional<Date> parseWhole(CachedFormat* formatter, std::string_view text);

std::optional<Date> parseWhole(icu::DateFormat* formatter, std::string_view text) {
  if (formatter == nullptr) return std::nullopt;
  const icu::UnicodeString input = unicode(text);
  icu::ParsePosition position(0);
  const UDate ms = formatter->parse(input, position);
  if (position.getErrorIndex() >= 0 || position.getIndex() != input.length()) return std::nullopt;
  return detail::fromMillis(ms);
}

std::optional<Date> parseWhole(CachedFormat* formatter, std::string_view text) {
  return parseWhole(formatter == nullptr ? nullptr : formatter->format.get(), text);
}

icu::DateFormat::EStyle icuStyle(DateStyle style) {
  switch (style) {
    case DateStyle::none:
      return icu::DateFormat::kNone;
    case DateStyle::shortStyle:
      return icu::DateFormat::kShort;
    case DateStyle::medium:
      return icu::DateFormat::kMedium;
    case DateStyle::longStyle:
      return icu::DateFormat::kLong;
    case DateStyle::full:
      return icu::DateFormat::kFull;
  }
  return icu::DateFormat::kNone;
}

std::string styled(Date d, DateStyle dateStyle, DateStyle timeStyle) {
  if (dateStyle == DateStyle::none && timeStyle == DateStyle::none) return {};
  std::string key = "s";
  key.push_back(static_cast<char>('0' + static_cast<int>(dateStyle)));
  key.push_back(static_cast<char>('0' + static_cast<int>(timeStyle)));
  return format(
      cached(key,
             [&] {
               return std::unique_ptr<icu::DateFormat>(icu::DateFormat::createDateTimeInstance(
                   icuStyle(dateStyle), icuStyle(timeStyle), icu::Locale::getDefault()));
             }),
      d);
}

// The current locale's best pattern for a skeleton ("EEEE", "MMM").
std::string fromSkeleton(Date d, const char* skeleton) {
  return format(cached(std::string("k") + skeleton,
                       [&]() -> std::unique_ptr<icu::DateFormat> {
                         UErrorCode status = U_ZERO_ERROR;
                         std::unique_ptr<icu::DateTimePatternGenerator> generator(
                             icu::DateTimePatternGenerator::createInstance(
                                 icu::Locale::getDefault(), status));
                         if (U_FAILURE(status)) return nullptr;
                         const icu::UnicodeString pattern =
                             generator->getBestPattern(icu::UnicodeString(skeleton), status);
                         if (U_FAILURE(status)) return nullptr;
                         return newPatternFormat(utf8(pattern), icu::Locale::getDefault(), nullptr);
                       }),
                d);
}

}  // namespace

// ---- Fixed formats ----

std::string iso8601String(Date d) {
  CachedFormat* formatter = patternFormat("yyyy-MM-dd'T'HH:mm:ss.SSS", "en_US_POSIX", "GMT");
  const double ms = d.unixTimestamp() * 1000.0;
  if (formatter == nullptr || !std::isfinite(ms)) return {};
  // The nearest millisecond, as the JSON date encoding writes it: a decimal
  // fraction stored a rounding error below its value (0.999 as 0.99899...)
  // must not lose its last digit.
  return formatMillis(*formatter->format, *formatter->calendar, std::round(ms));
}

std::ostream& operator<<(std::ostream& out, Date d) {
  const std::string text = iso8601String(d);
  if (text.empty()) return out << "Date(" << d.timeIntervalSinceReferenceDate() << ')';
  return out << text << 'Z';
}

std::optional<Date> Date::fromISO8601String(std::string_view text) {
  return parseWhole(patternFormat("yyyy-MM-dd'T'HH:mm:ss.SSSZ", "en_US_POSIX"), text);
}

std::optional<Date> Date::fromIntegerLiteral(std::int64_t yyyymmdd) {
  if (yyyymmdd < 0) return std::nullopt;
  return parseWhole(patternFormat("yyyyMMdd", "en_US_POSIX"), std::to_string(yyyymmdd));
}

std::optional<Date> Date::fromString(std::string_view text, std::string_view pattern,
                                     std::optional<std::string_view> locale,
                                     std::optional<std::string_view> timeZone) {
  if ((locale && locale->empty()) || (timeZone && timeZone->empty())) return std::nullopt;
  return parseWhole(patternFormat(pattern, locale.value_or(""), timeZone.value_or("")), text);
}

std::string stringWithFormat(Date d, std::string_view pattern) {
  return format(patternFormat(pattern), d);
}

std::string asString(Date d) { return format(patternFormat("y-M-dd"), d); }

std::string asString(Date d, std::string_view pattern) { return stringWithFormat(d, pattern); }

std::string dateString(Date d, DateStyle style) { return styled(d, style, DateStyle::none); }
std::string timeString(Date d, DateStyle style) { return styled(d, DateStyle::none, style); }
std::string dateTimeString(Date d, DateStyle style) { return styled(d, style, style); }

std::string dayName(Date d, DayNameStyle style) {
  switch (style) {
    case DayNameStyle::threeLetters:
      return fromSkeleton(d, "EEE");
    case DayNameStyle::oneLetter:
      return fromSkeleton(d, "EEEEE");
    case DayNameStyle::full:
      return fromSkeleton(d, "EEEE");
  }
  return {};
}

std::string monthName(Date d, MonthNameStyle style) {
  switch (style) {
    case MonthNameStyle::threeLetters:
      return fromSkeleton(d, "MMM");
    case MonthNameStyle::oneLetter:
      return fromSkeleton(d, "MMMMM");
    case MonthNameStyle::full:
      return fromSkeleton(d, "MMMM");
  }
  return {};
}

// ---- DateFormatter ----

struct DateFormatter::Impl {
  explicit Impl(std::string p, std::unique_ptr<icu::SimpleDateFormat> f)
      : pattern(std::move(p)), format(std::move(f)) {}
  const std::string pattern;
  LockedVar<std::unique_ptr<icu::SimpleDateFormat>> format;
};

namespace {
std::string format(const icu::SimpleDateFormat& formatter, Date d) {
  std::unique_ptr<icu::Calendar> calendar(formatter.getCalendar()->clone());
  if (!calendar) return {};
  return formatMillis(formatter, *calendar, toMillis(d).whole);
}
}  // namespace

DateFormatter DateFormatter::with(std::string_view pattern) {
  auto made = newPatternFormat(pattern, icu::Locale::getDefault(),
                               std::unique_ptr<icu::TimeZone>(icu::TimeZone::createDefault()));
  if (!made) made = newPatternFormat("", icu::Locale::getDefault(), nullptr);
  return DateFormatter(std::make_shared<Impl>(std::string(pattern), std::move(made)));
}

const std::string& DateFormatter::pattern() const { return impl_->pattern; }

bool DateFormatter::setLocale(std::string_view identifier) {
  const icu::Locale locale(std::string(identifier).c_str());
  if (locale.isBogus()) return false;
  return impl_->format.access([&](std::unique_ptr<icu::SimpleDateFormat>& current) {
    auto made = newPatternFormat(impl_->pattern, locale,
                                 std::unique_ptr<icu::TimeZone>(current->getTimeZone().clone()));
    if (!made) return false;
    current = std::move(made);
    return true;
  });
}

bool DateFormatter::setTimeZone(std::string_view identifier) {
  auto zone = knownZone(identifier);
  if (!zone) return false;
  impl_->format.access([&](std::unique_ptr<icu::SimpleDateFormat>& current) {
    current->adoptTimeZone(zone.release());
  });
  return true;
}

std::string DateFormatter::string(Date d) const {
  return impl_->format.access(
      [&](std::unique_ptr<icu::SimpleDateFormat>& current) { return format(*current, d); });
}

std::optional<Date> DateFormatter::date(std::string_view text) const {
  return impl_->format.access([&](std::unique_ptr<icu::SimpleDateFormat>& current) {
    return parseWhole(current.get(), text);
  });
}

}  // namespace mornik
