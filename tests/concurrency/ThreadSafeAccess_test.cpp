#include "mornik/concurrency/ThreadSafeAccess.hpp"

#include <atomic>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "mornik/concurrency/ResultLazyDic.hpp"
#include "mornik/concurrency/SafeDictionary.hpp"

#include "tests/support/Concurrently.hpp"
#include "tests/support/ResultMatchers.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik {
namespace {

struct Point {
  int x = 0;
  int y = 0;
};

class Session : public ThreadSafeAccess<Session> {
 public:
  mutable UnfairLock locker;
  std::string user = "ann";
  Point cursor;
  std::vector<int> scores;
  long counter = 0;
  LazyDic<int, std::string> names{{}, [this](const int& id) {
                                    ++lookups;
                                    return "user" + std::to_string(id);
                                  }};
  std::atomic<int> lookups{0};
};

TEST(ThreadSafeAccess, ReadWriteSubPathsAndCache) {
  Session session;
  EXPECT_EQ(session.read(&Session::user), "ann");
  EXPECT_EQ(session.read(&Session::user, [](const std::string& u) { return u.size(); }), 3U);
  session.write(&Session::cursor, [](Point& p) { p.y = 9; });
  EXPECT_EQ(session.readAt(&Session::cursor, &Point::y), 9);
  const auto size = session.write(&Session::scores, [](std::vector<int>& s) {
    s.push_back(1);
    return s.size();
  });
  EXPECT_EQ(size, 1U);
  session.map(&Session::user, [](std::string u) { return u + "!"; });
  EXPECT_EQ(session.read(&Session::user), "ann!");
  // A callable projection works like a member pointer.
  EXPECT_EQ(session.read([](Session& s) -> Point& { return s.cursor; }).y, 9);
  // cache calls the getter once per key.
  EXPECT_EQ(session.cache(&Session::names, 7), "user7");
  EXPECT_EQ(session.cache(&Session::names, 7), "user7");
  EXPECT_EQ(session.lookups.load(), 1);
  EXPECT_EQ(session.cache(&Session::names, 8), "user8");
  EXPECT_EQ(session.lookups.load(), 2);
}

TEST(ThreadSafeAccess, StressWritesFromManyThreadsEndExact) {
  Session session;
  const int threads = 4;
  const int iterations = test::scaled(20000);
  test::runConcurrently(threads, [&](int t) {
    for (int i = 0; i < iterations; ++i) {
      session.write(&Session::counter, [](long& n) { ++n; });
      if (i % 100 == 0) session.write(&Session::scores, [t](auto& s) { s.push_back(t); });
      (void)session.cache(&Session::names, i % 16);
    }
  });
  EXPECT_EQ(session.read(&Session::counter), static_cast<long>(threads) * iterations);
  EXPECT_EQ(session.read(&Session::scores).size(),
            static_cast<std::size_t>(threads * ((iterations + 99) / 100)));
  EXPECT_EQ(session.read([](Session& s) -> auto& { return s.names.dic; }).size(), 16U);
}

// Missing keys are created once (also when readers race for one) and kept.
TEST(SafeDictionary, MissingKeysAreCreatedOnceAndKept) {
  std::atomic<int> created{0};
  SafeDictionary<int, int> squares([&](const int& k) {
    created.fetch_add(1);
    return k * k;
  });
  std::atomic<int> wrong{0};
  test::runConcurrently(4, [&](int) {
    for (int i = 0; i < test::scaled(10000); ++i) {
      if (squares.get(i % 32) != (i % 32) * (i % 32)) wrong.fetch_add(1);
    }
  });
  EXPECT_EQ(created.load(), 32);
  EXPECT_EQ(wrong.load(), 0);
  int read = squares[3];
  EXPECT_EQ(read, 9);
  squares[3] = 10;
  EXPECT_EQ(squares.get(3), 10);
  squares[40].modify([](int& n) { n *= 100; });  // created then changed
  EXPECT_EQ(squares.get(40), 160000);
  EXPECT_EQ(created.load(), 33);
}

// A cache whose getter may fail: a failure is returned, not stored.
struct Catalog : ThreadSafeAccess<Catalog> {
  mutable UnfairLock locker;
  int calls = 0;
  ResultLazyDic<int, int> prices{{}, [this](const int&) -> Result<int> {
                                   return ++calls == 1 ? Result<int>(WTF("offline", 7)) : calls;
                                 }};
};

TEST(ResultLazyDic, AFailureIsReturnedAndNotStoredSoTheNextCallTriesAgain) {
  Catalog catalog;
  EXPECT_THAT(catalog.cache(&Catalog::prices, 1), test::Failed(WTF("offline", 7)));
  EXPECT_THAT(catalog.cache(&Catalog::prices, 1), test::Succeeded(2));
  EXPECT_THAT(catalog.cache(&Catalog::prices, 1), test::Succeeded(2));
}

}  // namespace
}  // namespace mornik
