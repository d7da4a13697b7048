// The per-thread caches (break iterators, compiled patterns, calendars,
// formatters) under concurrent use, while another thread keeps changing the
// current time zone, which empties the caches of every thread.
#include <atomic>
#include <barrier>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/text/Date.hpp"
#include "mornik/text/DateFormat.hpp"
#include "mornik/text/Regex.hpp"
#include "mornik/text/StringUtils.hpp"

#include "tests/support/Sanitizers.hpp"

namespace mornik {
namespace {

TEST(TextThreads, CachesStayCorrectUnderConcurrentUseAndZoneChanges) {
  ASSERT_TRUE(setCurrentTimeZone("Europe/Berlin"));
  ASSERT_TRUE(setCurrentLocale("en_US"));
  constexpr int kWorkers = 4;
  const int rounds = test::scaled(400);
  // A mid-month noon: the same year, month and day in both zones used below.
  const Date midMonth = Date::fromUnixTimestamp(1710504000.0);  // 2024-03-15 12:00 UTC
  const std::string text = "Hi \xF0\x9F\x91\x8B\xF0\x9F\x8F\xBD, caf\xC3\xA9 #";

  std::atomic<bool> done{false};
  std::atomic<int> failures{0};
  std::barrier start(kWorkers + 1);
  std::vector<std::thread> threads;
  for (int t = 0; t < kWorkers; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      const std::string tag = std::to_string(t);
      for (int i = 0; i < rounds; ++i) {
        const std::string numbered = text + tag + std::to_string(i);
        bool ok = count(text) == 12 && at(text, 3) == "\xF0\x9F\x91\x8B\xF0\x9F\x8F\xBD" &&
                  indexInt(text, "#") == 14;
        // A distinct pattern per thread and round exercises compiling and eviction.
        ok = ok && replace(numbered, "#" + tag + "(\\d+)", "<$1>") ==
                       text.substr(0, text.size() - 1) + "<" + std::to_string(i) + ">";
        ok = ok && iso8601String(midMonth) == "2024-03-15T12:00:00.000";
        ok = ok && stringWithFormat(midMonth, "yyyy-MM-dd") == "2024-03-15";
        ok = ok && year(midMonth) == 2024 && month(midMonth) == 3 && day(midMonth) == 15;
        ok = ok && end(midMonth, CalendarComponent::month).has_value();
        if (!ok) failures.fetch_add(1);
      }
    });
  }
  std::thread changer([&] {
    start.arrive_and_wait();
    for (int i = 0; !done.load(); ++i) {
      setCurrentTimeZone(i % 2 == 0 ? "Asia/Tokyo" : "Europe/Berlin");
      std::this_thread::yield();
    }
  });
  for (auto& thread : threads) thread.join();
  done.store(true);
  changer.join();
  EXPECT_EQ(failures.load(), 0);
  ASSERT_TRUE(setCurrentTimeZone("Europe/Berlin"));
}

}  // namespace
}  // namespace mornik
