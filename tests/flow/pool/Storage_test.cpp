#include "mornik/flow/pool/Storage.hpp"

#include <atomic>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/Census.hpp"
#include "tests/support/Concurrently.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik::Flow {
namespace {

struct Owner {
  std::string name;
};
struct Index {
  std::string madeFor;
};
struct Cache {
  std::string madeFor;
};

TEST(Storage, MakesOncePerClassAndIdWithItsOwnerAndPoolAndStoresNoNull) {
  Storage<Owner> storage(Owner{"novel"}, nullptr);
  int runs = 0;
  auto make = [&runs](const Owner& owner, const std::shared_ptr<Pool>& pool) {
    ++runs;
    return pool == nullptr ? std::make_shared<Index>(Index{owner.name}) : nullptr;
  };
  const auto first = storage.lazyInit<Index>("main", make);
  EXPECT_EQ(storage.lazyInit<Index>("main", make), first);
  EXPECT_EQ(first->madeFor, "novel");
  EXPECT_EQ(runs, 1);
  // Another id, or another class under the same id, is another object.
  EXPECT_NE(storage.lazyInit<Index>("drafts", make), first);
  const auto cache = storage.lazyInit<Cache>("main", [](const Owner& owner, const auto&) {
    return std::make_shared<Cache>(Cache{owner.name + " cache"});
  });
  EXPECT_EQ(cache->madeFor, "novel cache");
  EXPECT_EQ(storage.lazyInit<Index>("main", make), first);
  EXPECT_EQ(runs, 2);

  auto none = [](const Owner&, const auto&) { return std::shared_ptr<Index>(); };
  EXPECT_EQ(storage.lazyInit<Index>("empty", none), nullptr);
  EXPECT_NE(storage.lazyInit<Index>("empty", make), nullptr);
}

TEST(Storage, RemoveForgetsOnlyThatEntryAndReleasesItOutsideTheLock) {
  Storage<Owner> storage(Owner{"p"}, nullptr);
  auto census = test::Census::make();
  struct Reentrant {
    test::Census::Member member;
    Storage<Owner>* storage;
    ~Reentrant() { storage->remove<Cache>("other"); }  // must not deadlock
  };
  auto make = [&](const Owner&, const auto&) {
    return std::make_shared<Reentrant>(Reentrant{census->member(), &storage});
  };
  const auto kept = storage.lazyInit<Reentrant>("a", make);
  storage.lazyInit<Reentrant>("b", make);
  storage.remove<Reentrant>("b");  // nobody else holds it: destroyed here
  EXPECT_EQ(census->alive(), 1);
  storage.remove<Cache>("a");      // another class: nothing happens
  storage.remove<Reentrant>("x");  // nothing stored: nothing happens
  EXPECT_EQ(storage.lazyInit<Reentrant>("a", make), kept);
  storage.remove<Reentrant>("a");  // the caller still holds it
  EXPECT_EQ(census->alive(), 1);
  EXPECT_NE(storage.lazyInit<Reentrant>("a", make), kept);
}

// Racing requests may each make an object, but afterwards everybody gets one
// and the same object, and every object made is released exactly once.
TEST(Storage, ConcurrentRequestsSettleOnOneObject) {
  auto census = test::Census::make();
  std::atomic<int> made{0};
  const int ids = test::scaled(5000);
  {
    Storage<Owner> storage(Owner{"p"}, nullptr);
    auto make = [&](const Owner&, const auto&) {
      made.fetch_add(1);
      return census->object();
    };
    test::runConcurrently(4, [&](int) {
      for (int i = 0; i < ids; ++i)
        ASSERT_NE(storage.lazyInit<test::Census::Member>(std::to_string(i), make), nullptr);
    });
    EXPECT_GE(made.load(), ids);
    EXPECT_EQ(census->alive(), ids);
    for (int i = 0; i < ids; i += 7) storage.remove<test::Census::Member>(std::to_string(i));
    const int before = made.load();
    for (int i = 0; i < ids; ++i) storage.lazyInit<test::Census::Member>(std::to_string(i), make);
    EXPECT_EQ(made.load() - before, (ids + 6) / 7);
  }
  EXPECT_EQ(census->alive(), 0);
}

}  // namespace
}  // namespace mornik::Flow
