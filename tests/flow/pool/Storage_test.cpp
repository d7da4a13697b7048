#include "mornik/flow/pool/Storage.hpp"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

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

// Counts its own destructions, to see where and when the storage lets go.
struct Tracked {
  explicit Tracked(std::atomic<int>& destroyed) : destroyed(destroyed) {}
  ~Tracked() { destroyed.fetch_add(1); }
  std::atomic<int>& destroyed;
};

TEST(Storage, MakesOncePerClassAndIdAndHandsTheBlockItsOwnerAndPool) {
  Storage<Owner> storage(Owner{"novel"}, nullptr);
  int runs = 0;
  auto make = [&runs](const Owner& owner, const std::shared_ptr<Pool>& pool) {
    ++runs;
    EXPECT_EQ(pool, nullptr);
    return std::make_shared<Index>(Index{owner.name});
  };

  const auto first = storage.lazyInit<Index>("main", make);
  const auto again = storage.lazyInit<Index>("main", make);
  EXPECT_EQ(first, again);
  EXPECT_EQ(first->madeFor, "novel");
  EXPECT_EQ(runs, 1);

  // Another id, or another class under the same id, is another object.
  EXPECT_NE(storage.lazyInit<Index>("drafts", make), first);
  const auto cache = storage.lazyInit<Cache>("main", [](const Owner& owner, const auto&) {
    return std::make_shared<Cache>(Cache{owner.name + " cache"});
  });
  EXPECT_EQ(cache->madeFor, "novel cache");
  EXPECT_EQ(runs, 2);
  EXPECT_EQ(storage.lazyInit<Index>("main", make), first);
}

TEST(Storage, RemoveForgetsOnlyThatEntryAndReleasesItOutsideTheLock) {
  Storage<Owner> storage(Owner{"p"}, nullptr);
  std::atomic<int> destroyed{0};
  struct Reentrant : Tracked {
    Reentrant(std::atomic<int>& destroyed, Storage<Owner>& storage)
        : Tracked(destroyed), storage(storage) {}
    // Touches the storage while being released: must not deadlock.
    ~Reentrant() { storage.remove<Cache>("other"); }
    Storage<Owner>& storage;
  };
  auto make = [&](const Owner&, const auto&) {
    return std::make_shared<Reentrant>(destroyed, storage);
  };
  const auto kept = storage.lazyInit<Reentrant>("a", make);
  storage.lazyInit<Reentrant>("b", make);

  storage.remove<Reentrant>("b");  // nobody else holds it: destroyed here
  EXPECT_EQ(destroyed.load(), 1);
  storage.remove<Cache>("a");      // another class: nothing happens
  storage.remove<Reentrant>("x");  // nothing stored: nothing happens
  EXPECT_EQ(storage.lazyInit<Reentrant>("a", make), kept);

  storage.remove<Reentrant>("a");  // the caller still holds it
  EXPECT_EQ(destroyed.load(), 1);
  const auto fresh = storage.lazyInit<Reentrant>("a", make);
  EXPECT_NE(fresh, kept);
}

TEST(Storage, ABlockThatMakesNothingStoresNothing) {
  Storage<Owner> storage(Owner{"p"}, nullptr);
  EXPECT_EQ(storage.lazyInit<Index>(
                "i", [](const Owner&, const auto&) { return std::shared_ptr<Index>(); }),
            nullptr);
  int runs = 0;
  storage.lazyInit<Index>("i", [&](const Owner&, const auto&) {
    ++runs;
    return std::make_shared<Index>();
  });
  storage.lazyInit<Index>("i", [&](const Owner&, const auto&) {
    ++runs;
    return std::make_shared<Index>();
  });
  EXPECT_EQ(runs, 1);
}

// Racing requests may each make an object, but afterwards everybody gets one
// and the same object, and every object made is released exactly once.
TEST(Storage, ConcurrentRequestsSettleOnOneObject) {
  std::atomic<int> made{0};
  std::atomic<int> destroyed{0};
  {
    Storage<Owner> storage(Owner{"p"}, nullptr);
    const int ids = test::scaled(5000);
    test::runConcurrently(4, [&](int) {
      for (int i = 0; i < ids; ++i) {
        const auto object =
            storage.lazyInit<Tracked>(std::to_string(i), [&](const Owner&, const auto&) {
              made.fetch_add(1);
              return std::make_shared<Tracked>(destroyed);
            });
        ASSERT_NE(object, nullptr);
      }
    });
    EXPECT_GE(made.load(), ids);
    for (int i = 0; i < ids; i += 7) storage.remove<Tracked>(std::to_string(i));
    int remade = 0;
    for (int i = 0; i < ids; ++i) {
      storage.lazyInit<Tracked>(std::to_string(i), [&](const Owner&, const auto&) {
        if (i % 7 != 0) ADD_FAILURE() << "id " << i << " was stored, nothing new is made";
        ++remade;
        made.fetch_add(1);
        return std::make_shared<Tracked>(destroyed);
      });
    }
    EXPECT_EQ(remade, (ids + 6) / 7);
  }
  EXPECT_EQ(destroyed.load(), made.load());
}

}  // namespace
}  // namespace mornik::Flow
