#include "mornik/concurrency/Locked.hpp"

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/Concurrently.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik {
namespace {

TEST(Locked, ReadsAndWritesTheValue) {
  Locked<std::string> name(std::string("a"), LockType::unfair);
  EXPECT_EQ(name.get(), "a");
  name = "b";
  std::string read = name;
  EXPECT_EQ(read, "b");
  name.modify([](std::string& s) { s += "c"; });
  EXPECT_EQ(name.get(), "bc");
  name.projected() = "d";
  EXPECT_EQ(name.get(), "d");
}

TEST(Locked, RecursiveLockMayBeTakenAgainByItsOwner) {
  Locked<int> value(1, LockType::recursive);
  const int seen = value.lock().locked([&] {
    value.modify([&](int& n) { n = value.get() + 1; });
    return value.get();
  });
  EXPECT_EQ(seen, 2);
}

TEST(Locked, CopiesShareTheLockAndCopyTheValue) {
  Locked<int> original(1, LockType::recursive);
  Locked<int> copy = original;
  copy = 5;
  EXPECT_EQ(original.get(), 1);
  EXPECT_EQ(&original.lock(), &copy.lock());
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

class LockedStress : public testing::TestWithParam<LockType> {};

TEST_P(LockedStress, ModifyFromManyThreadsEndsExact) {
  const int threads = 4;
  const int iterations = test::scaled(20000);
  Locked<long> value(0, GetParam());
  test::runConcurrently(threads, [&](int /*thread*/) {
    for (int i = 0; i < iterations; ++i) value.modify([](long& n) { ++n; });
  });
  EXPECT_EQ(value.get(), static_cast<long>(threads) * iterations);
}

INSTANTIATE_TEST_SUITE_P(Kinds, LockedStress,
                         testing::Values(LockType::unfair, LockType::recursive));

}  // namespace
}  // namespace mornik
