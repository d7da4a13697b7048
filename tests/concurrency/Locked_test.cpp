#include "mornik/concurrency/Locked.hpp"

#include <string>

#include <gtest/gtest.h>

#include "tests/support/Concurrently.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik {
namespace {

TEST(Locked, ReadsWritesAndCopies) {
  Locked<std::string> name(std::string("a"), LockType::unfair);
  name = "b";
  std::string read = name;
  EXPECT_EQ(read, "b");
  name.modify([](std::string& s) { s += "c"; });
  EXPECT_EQ(name.get(), "bc");
  name.projected() = "d";
  EXPECT_EQ(name.get(), "d");
  // A recursive lock may be taken again by its owner; copies share the lock
  // and copy the value.
  Locked<int> value(1, LockType::recursive);
  EXPECT_EQ(value.lock().locked([&] {
    value.modify([&](int& n) { n = value.get() + 1; });
    return value.get();
  }),
            2);
  Locked<int> copy = value;
  copy = 5;
  EXPECT_EQ(value.get(), 2);
  EXPECT_EQ(&value.lock(), &copy.lock());
}

TEST(LockedDeathTest, UnfairLockTakenAgainByItsOwnerAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        Locked<int> value(1, LockType::unfair);
        value.modify([&](int&) { (void)value.get(); });
      },
      "taken twice on one thread");
}

TEST(LockedStress, ModifyFromManyThreadsEndsExact) {
  const int threads = 4;
  const int iterations = test::scaled(20000);
  for (LockType type : {LockType::unfair, LockType::recursive}) {
    Locked<long> value(0, type);
    test::runConcurrently(threads, [&](int) {
      for (int i = 0; i < iterations; ++i) value.modify([](long& n) { ++n; });
    });
    EXPECT_EQ(value.get(), static_cast<long>(threads) * iterations);
  }
}

}  // namespace
}  // namespace mornik
