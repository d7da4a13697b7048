#include <cstdlib>
#include <string>

#include "mornik/text/Collections.hpp"
#include "mornik/text/Date.hpp"
#include "mornik/text/DateFormat.hpp"
#include "mornik/text/Duration.hpp"
#include "mornik/text/Regex.hpp"
#include "mornik/text/StringUtils.hpp"

#include "tour/Tour.hpp"

namespace tour {

void text() {
  heading("Text, collections and dates");

  // Characters are what a reader sees: an emoji with a skin tone, a flag and
  // a family joined by zero-width joiners are one character each.
  const std::string greeting =
      "Hi \xF0\x9F\x91\x8B\xF0\x9F\x8F\xBD from \xF0\x9F\x87\xA9\xF0\x9F\x87\xAA "
      "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7!";
  say("\"" + greeting + "\": " + std::to_string(greeting.size()) + " bytes, " +
      std::to_string(mornik::count(greeting)) + " characters");
  say("character 3 is " + mornik::at(greeting, 3) + ", characters 10..<12 are \"" +
      mornik::at(greeting, mornik::IndexRange{10, 12}) + "\"");
  say("\"!\" is at UTF-16 offset " + std::to_string(*mornik::indexInt(greeting, "!")));
  say("truncated to 6: " + mornik::truncEnd(greeting, 6));

  // Regular expressions (ICU's syntax), with groups in the template.
  say(mornik::replace("Due 2024-03-15, paid 2024-04-01", "(\\d{4})-(\\d{2})-(\\d{2})", "$3.$2.$1"));
  say(std::string("1.10 newer than 1.9? ") +
      (mornik::isVersionGreaterThan("1.10", "1.9") ? "yes" : "no"));

  const std::vector<int> scores{3, 1, 3, 2, 1};
  say("distinct scores: " + mornik::describe(mornik::distinct(scores)) +
      ", wrapped index -1: " + std::to_string(mornik::infinityIdx(scores, -1)));

  // Dates in a fixed zone and locale, so the tour prints the same everywhere.
  setenv("TZ", "Europe/Berlin", 1);
  mornik::resetSystemTimeZone();
  mornik::setCurrentLocale("en_US");
  const mornik::Date launch = mornik::Date::fromUnixTimestamp(1711846680);  // 2024-03-31 00:58 UTC
  say("launch in Berlin: " + mornik::stringWithFormat(launch, "EEEE d MMMM yyyy, HH:mm zzz"));
  say("rounded to five minutes: " +
      mornik::stringWithFormat(mornik::nearestFiveMinutes(launch), "HH:mm zzz") +
      " (clocks went forward)");
  say("end of that day: " +
      mornik::stringWithFormat(*mornik::end(launch, mornik::CalendarComponent::day),
                               "yyyy-MM-dd HH:mm:ss") +
      ", ISO 8601 (GMT): " + mornik::iso8601String(launch));
  say("a 3725-second task takes \"" + mornik::durationAsStr(3725) + "\", a 125-second one \"" +
      mornik::durationAsStr(125) + "\"");
}

}  // namespace tour
