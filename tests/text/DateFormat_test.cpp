#include "mornik/text/DateFormat.hpp"

#include <cmath>
#include <cstdlib>
#include <string>
#include <utility>

#include <gtest/gtest.h>

namespace mornik {
namespace {

const std::string kNarrowNbsp = "\xE2\x80\xAF";  // CLDR puts it before AM/PM

class DateFormatTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "Europe/Berlin", 1);
    resetSystemTimeZone();
    ASSERT_TRUE(setCurrentLocale("en_US"));
  }
  static Date utc(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
    return dateFromComponents({{}, "UTC", {}, y, mo, d, h, mi, s, {}}).value();
  }
};

TEST_F(DateFormatTest, Iso8601IsWrittenInGmtWithoutAZoneToTheLastMillisecond) {
  const Date d = utc(2024, 3, 15, 9, 30, 0) + 0.123;
  EXPECT_EQ(iso8601String(d), "2024-03-15T09:30:00.123");
  EXPECT_EQ(iso8601String(utc(1999, 12, 31, 23, 59, 59) + 0.9999), "2000-01-01T00:00:00.000");
  ASSERT_TRUE(setCurrentTimeZone("Asia/Tokyo"));
  EXPECT_EQ(iso8601String(d), "2024-03-15T09:30:00.123");
  // Without a zone designator the text does not read back.
  EXPECT_EQ(Date::fromISO8601String(iso8601String(d)), std::nullopt);

  // Decimal fractions are stored a rounding error below their value; the text
  // is the nearest millisecond, as the JSON date encoding writes it.
  const std::pair<double, const char*> cases[] = {
      {0.999, "2001-01-01T00:00:00.999"},           {-0.001, "2000-12-31T23:59:59.999"},
      {75059133.160, "2003-05-19T17:45:33.160"},    {339988159.515, "2011-10-11T01:09:19.515"},
      {-1154071489.002, "1964-06-06T16:35:10.998"}, {430973486.002, "2014-08-29T02:51:26.002"},
      {-65.534, "2000-12-31T23:58:54.466"},  // -65534 ms scaled back is a hair below it
  };
  for (const auto& [seconds, text] : cases) {
    EXPECT_EQ(iso8601String(Date(seconds)), text);
    EXPECT_EQ(stringWithFormat(Date(seconds), "ss.SSS"), std::string(text).substr(17)) << text;
  }
  const auto parsed = Date::fromISO8601String("2003-05-19T17:45:33.160+0000");
  EXPECT_EQ(iso8601String(parsed.value()), "2003-05-19T17:45:33.160");
  EXPECT_EQ(millisecond(parsed.value()), 160);
}

// ICU formats NaN as garbage (and crashes on some patterns), and an instant
// its calendar cannot hold as the time it formatted before.
TEST_F(DateFormatTest, DatesOutsideTheCalendarFormatAsEmptyText) {
  const DateFormatter byObject = DateFormatter::with("B yyyy");
  for (const double seconds : {std::nan(""), HUGE_VAL, -HUGE_VAL, 1e300, -1e16}) {
    const Date d(seconds);
    SCOPED_TRACE(seconds);
    ASSERT_EQ(iso8601String(Date(5000)), "2001-01-01T01:23:20.000");
    ASSERT_EQ(stringWithFormat(Date(5000), "B yyyy"), "at night 2001");
    EXPECT_EQ(iso8601String(d), "");
    EXPECT_EQ(stringWithFormat(d, "B yyyy"), "");
    EXPECT_EQ(byObject.string(d), "");
    EXPECT_EQ(asString(d), "");
    EXPECT_EQ(dateTimeString(d, DateStyle::full), "");
    EXPECT_EQ(dayName(d, DayNameStyle::full), "");
  }
}

TEST_F(DateFormatTest, Iso8601ParsingNeedsAZoneDesignator) {
  EXPECT_NEAR(
      Date::fromISO8601String("2024-03-15T09:30:00.123+0100").value() - utc(2024, 3, 15, 8, 30),
      0.123, 1e-6);
  EXPECT_NEAR(
      Date::fromISO8601String("2024-03-15T09:30:00.123-0800").value() - utc(2024, 3, 15, 17, 30),
      0.123, 1e-6);
  EXPECT_EQ(Date::fromISO8601String("2024-03-15T09:30:00+0100"), std::nullopt);
  EXPECT_EQ(Date::fromISO8601String("2024-03-15T09:30:00.123+0100 "), std::nullopt);
  EXPECT_EQ(Date::fromISO8601String("2024-02-30T09:30:00.123+0100"), std::nullopt);
}

TEST_F(DateFormatTest, ParsingIntegerLiteralsAndPatternsInLocalesAndZones) {
  EXPECT_EQ(Date::fromIntegerLiteral(20240315), utc(2024, 3, 14, 23));  // midnight in Berlin
  EXPECT_EQ(Date::fromIntegerLiteral(20241399), std::nullopt);
  EXPECT_EQ(Date::fromIntegerLiteral(-20240315), std::nullopt);

  EXPECT_EQ(Date::fromString("15.03.2024 10:20", "dd.MM.yyyy HH:mm", std::nullopt, "UTC"),
            utc(2024, 3, 15, 10, 20));
  EXPECT_EQ(Date::fromString("15.03.2024 10:20", "dd.MM.yyyy HH:mm"), utc(2024, 3, 15, 9, 20));
  EXPECT_EQ(Date::fromString("15.03.2024x", "dd.MM.yyyy"), std::nullopt);
  EXPECT_EQ(Date::fromString("15 M\xC3\xA4rz 2024", "dd MMMM yyyy", "de_DE", "UTC"),
            utc(2024, 3, 15));
  EXPECT_EQ(Date::fromString("15.03.2024", "dd.MM.yyyy", std::nullopt, "No/Zone"), std::nullopt);
}

TEST_F(DateFormatTest, PatternsFollowTheCurrentZoneAndLocale) {
  const Date d = utc(2024, 3, 5, 9, 30, 7);
  EXPECT_EQ(stringWithFormat(d, "yyyy-MM-dd HH:mm:ss"), "2024-03-05 10:30:07");
  EXPECT_EQ(asString(d), "2024-3-05");
  EXPECT_EQ(asString(d, "HH 'o''clock'"), "10 o'clock");
  // Cached formatters follow a change of zone or locale.
  ASSERT_TRUE(setCurrentTimeZone("Asia/Tokyo"));
  EXPECT_EQ(stringWithFormat(d, "yyyy-MM-dd HH:mm:ss"), "2024-03-05 18:30:07");
  EXPECT_EQ(stringWithFormat(d, "EEEE"), "Tuesday");
  ASSERT_TRUE(setCurrentLocale("fr_FR"));
  EXPECT_EQ(stringWithFormat(d, "EEEE"), "mardi");
}

TEST_F(DateFormatTest, LocalizedStyles) {
  const Date d = utc(2024, 3, 15, 9, 30);
  EXPECT_EQ(dateString(d, DateStyle::medium), "Mar 15, 2024");
  EXPECT_EQ(dateString(d, DateStyle::full), "Friday, March 15, 2024");
  EXPECT_EQ(timeString(d, DateStyle::shortStyle), "10:30" + kNarrowNbsp + "AM");
  EXPECT_EQ(dateTimeString(d, DateStyle::shortStyle), "3/15/24, 10:30" + kNarrowNbsp + "AM");
  ASSERT_TRUE(setCurrentLocale("de_DE"));
  EXPECT_EQ(dateString(d, DateStyle::medium), "15.03.2024");
  EXPECT_EQ(timeString(d, DateStyle::shortStyle), "10:30");
}

TEST_F(DateFormatTest, DayAndMonthNames) {
  const Date d = utc(2024, 3, 15, 12);
  EXPECT_EQ(dayName(d, DayNameStyle::full), "Friday");
  EXPECT_EQ(dayName(d, DayNameStyle::threeLetters), "Fri");
  EXPECT_EQ(dayName(d, DayNameStyle::oneLetter), "F");
  EXPECT_EQ(monthName(d, MonthNameStyle::full), "March");
  EXPECT_EQ(monthName(d, MonthNameStyle::threeLetters), "Mar");
  ASSERT_TRUE(setCurrentLocale("de_DE"));
  EXPECT_EQ(dayName(d, DayNameStyle::full), "Freitag");
  EXPECT_EQ(monthName(d, MonthNameStyle::full), "M\xC3\xA4rz");
}

TEST_F(DateFormatTest, FormatterObjectsKeepTheirOwnSettings) {
  DateFormatter formatter = DateFormatter::with("EEEE HH:mm");
  const Date d = utc(2024, 3, 15, 9, 30);
  EXPECT_EQ(formatter.string(d), "Friday 10:30");
  ASSERT_TRUE(setCurrentTimeZone("Asia/Tokyo"));
  EXPECT_EQ(formatter.string(d), "Friday 10:30");  // made in Berlin, stays there
  EXPECT_TRUE(formatter.setTimeZone("UTC"));
  EXPECT_EQ(formatter.string(d), "Friday 09:30");
  EXPECT_FALSE(formatter.setTimeZone("Bad/Zone"));
  EXPECT_TRUE(formatter.setLocale("de_DE"));
  EXPECT_EQ(formatter.string(d), "Freitag 09:30");
  EXPECT_EQ(formatter.date("Freitag 09:45"), utc(1970, 1, 2, 9, 45));
  EXPECT_EQ(formatter.date("Friday 09:45"), std::nullopt);
  const DateFormatter copy = formatter;
  EXPECT_EQ(copy.string(d), "Freitag 09:30");
}

}  // namespace
}  // namespace mornik
