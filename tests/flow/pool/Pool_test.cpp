#include "mornik/flow/pool/Pool.hpp"

#include <atomic>
#include <set>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "mornik/concurrency/Task.hpp"
#include "mornik/flow/pool/ErrorPool.hpp"
#include "mornik/flow/pool/Identities.hpp"
#include "mornik/flow/pool/Storage.hpp"
#include "mornik/flow/signal/Signal.hpp"
#include "mornik/text/Json.hpp"

#include "tests/support/Census.hpp"
#include "tests/support/Concurrently.hpp"
#include "tests/support/QueueGate.hpp"
#include "tests/support/Recorder.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik::Flow {
namespace {

using test::drain;
using test::waitFor;
using Errors = std::vector<Error>;

// Work the caller drops still runs, on the pool's queue or the one named: the
// pool holds it. A weak context gone by then gives the block nothing; an
// async context is held by the work.
TEST(Pool, HoldsWorkTheCallerDropsUntilDiscardAndRetainedObjectsForItsLife) {
  const DispatchQueue queue("test.pool");
  auto pool = Pool::make(queue);
  auto weakContext = std::make_shared<std::string>("weak");
  auto strongContext = std::make_shared<std::string>("strong");
  std::optional<test::QueueGate> gate(std::in_place, queue);
  test::Recorder<std::string> results;
  pool->future(
          weakContext,
          [](const std::shared_ptr<std::string>& c) {
            return Result<std::string>((c ? *c : "gone") + " on " + DispatchQueue::currentLabel());
          })
      ->onSuccess(results.block());
  pool->future(DispatchQueue("test.other"), strongContext,
               [](std::shared_ptr<std::string> c) -> Task<std::string> {
                 co_return *c + " on " + DispatchQueue::currentLabel();
               })
      ->onSuccess(results.block());
  weakContext.reset();
  strongContext.reset();
  gate.reset();
  ASSERT_TRUE(results.waitForSize(2));
  EXPECT_THAT(results.values(),
              testing::UnorderedElementsAre("gone on test.pool", "strong on test.other"));
  EXPECT_EQ(pool->futureCount(), 2U);  // the start futures, completed

  auto census = test::Census::make();
  auto future = pool->promise<int>([c = census->member()](const auto&) {});
  const FutureID id = future->id();
  EXPECT_EQ(pool->retain(future), future);  // the same future twice: one entry
  EXPECT_EQ(pool->futureCount(), 3U);
  future.reset();
  EXPECT_EQ(census->alive(), 1);
  pool->discard(id);
  EXPECT_FALSE(pool->holds(id));
  EXPECT_EQ(census->alive(), 0);

  // A future whose release calls back into the pool does not deadlock it.
  struct Reentrant {
    std::function<void()> onDestroy;
    ~Reentrant() { onDestroy(); }
  };
  auto reentrant = std::make_shared<Reentrant>();
  reentrant->onDestroy = [weak = std::weak_ptr<Pool>(pool)] {
    (void)weak.lock()->future([] { return Result<int>(1); });
  };
  const FutureID reentering = pool->promise<int>([reentrant](const auto&) {})->id();
  reentrant.reset();
  pool->discard(reentering);
  EXPECT_EQ(pool->futureCount(), 3U);

  // A signal's values sent to a pool that is gone are dropped.
  auto signal = Signal<int>::make(queue);
  signal->onUpdate(pool, [](int) { return Result<void>(); });
  pool->retain(census->object());
  EXPECT_EQ(census->alive(), 1);
  pool.reset();
  EXPECT_EQ(census->alive(), 0);
  signal->update(1);
  drain(queue);
}

// The error pool keeps every error, publishes the latest on the main queue
// and forwards to sinks while they live.
TEST(ErrorPool, KeepsEveryErrorPublishesTheLatestOnMainAndForwardsWhileTheTargetLives) {
  auto pool = Pool::make(DispatchQueue("test.pool"));
  const auto& errors = pool->errorPool();
  Errors seen;  // main queue only
  errors->recentError()->onUpdate([&](const Error& error) {
    seen.push_back(DispatchQueue::current() == DispatchQueue::main() ? error : WTF("off main", 0));
  });
  errors->append(WTF("e1", 1));
  auto target = Pool::make(DispatchQueue("test.other"));
  const std::weak_ptr<Pool> targetRef = target;
  pool->forwardErrors(target);  // hands on the recent error too
  errors->append(WTF("e2", 2));
  drain(DispatchQueue::main());
  EXPECT_EQ(seen, (Errors{WTF("e1", 1), WTF("e2", 2)}));
  EXPECT_EQ(target->errorPool()->errors(), seen);

  // clearRecent empties the buffer only: no handler runs, the list stays,
  // and a late subscriber gets nothing until the next error.
  errors->clearRecent();
  EXPECT_FALSE(pool->hasRecentError());
  Errors late;  // main queue only
  errors->recentError()->onUpdate([&](const Error& error) { late.push_back(error); });
  target.reset();
  EXPECT_TRUE(targetRef.expired());  // forwarding does not keep the target
  errors->append(WTF("e3", 3));
  drain(DispatchQueue::main());
  EXPECT_EQ(late, Errors{WTF("e3", 3)});

  // failing() routes a failure to the pool's errors while the pool lives.
  auto failing = Future<int>::promise(DispatchQueue("test.late"));
  failing->failing(pool);
  failing->complete(WTF("e4", 4));
  ASSERT_TRUE(waitFor([&] { return errors->errorCount() == 4; }));
  failing = Future<int>::promise(DispatchQueue("test.late"));
  failing->failing(pool);
  pool.reset();  // held weakly: a failure after the pool went is dropped
  failing->complete(WTF("late", 5));
  drain(failing->queue());
}

// Tables, retained objects, the signal service and the error pool, used
// from eight threads at once, stay exact (and ThreadSanitizer stays quiet).
TEST(PoolStress, TablesAndErrorsStayExactUnderConcurrentUse) {
  const int perThread = test::scaled(4'000);
  auto pool = Pool::make(DispatchQueue::global());
  auto census = test::Census::make();
  std::atomic<int> heldCompleted{0};
  test::runConcurrently(8, [&](int t) {
    for (int i = 0; i < perThread; ++i) {
      // Even i held (half of them fail), odd i discarded at once.
      auto future = pool->future([i] { return i % 4 == 0 ? Result<int>(WTF("failed", i)) : i; });
      future->failing(pool).onComplete(
          [&heldCompleted, i](const Result<int>&) { heldCompleted += i % 2 == 0; });
      if (i % 2 == 1) pool->discard(future->id());
      if (i % 100 == 0) pool->retain(census->object());
      if (t == 0 && i % 50 == 0) pool->setSignals(SignalsService::make(DispatchQueue::global()));
    }
  });
  const int total = 8 * perThread;
  EXPECT_EQ(pool->futureCount(), static_cast<std::size_t>(total / 2));
  ASSERT_TRUE(waitFor([&] { return heldCompleted.load() == total / 2; }, 60));
  ASSERT_TRUE(waitFor(
      [&] { return pool->errorPool()->errorCount() == static_cast<std::size_t>(total / 4); }, 60));
  // A failure handler may hold the pool for a moment: it goes when that last
  // holder lets go, and takes what it retained with it.
  const std::weak_ptr<Pool> weak = pool;
  pool.reset();
  ASSERT_TRUE(waitFor([&] { return weak.expired(); }));
  EXPECT_EQ(census->alive(), 0);
}

// ---- Identities and storage ----

// Registries live for the whole process: every test uses names of its own.
std::string unique(const std::string& name) {
  static int next = 0;
  return "/tmp/mornik-identities/" + name + "-" + std::to_string(++next);
}

TEST(Identities, OnePoolPerNameAndOneStorageAndPoolPerPathAlsoWhenFirstRequestsRace) {
  const std::string name = unique("pool");
  EXPECT_EQ(PoolID{name}.pool(), PoolID{name}.pool());

  const std::string path = unique("project");
  const auto storage = ProjectID(path + "/").storage();
  EXPECT_EQ(ProjectID(path).storage(), storage);
  EXPECT_EQ(ProjectID(path).pool(), storage->pool());
  EXPECT_NE(ProjectID(path + "//").pool(), storage->pool());
  EXPECT_EQ(storage->pool()->queue().label(), "Flow.ProjectID." + path);
  EXPECT_EQ(storage->id(), ProjectID(path));
  ProjectID(path).send(WTF("disk full", 28));  // into the project's pool only
  EXPECT_TRUE(storage->pool()->hasRecentError());
  EXPECT_FALSE(ProjectID(unique("errors")).pool()->hasRecentError());

  for (int round = 0; round < 50; ++round) {
    const std::string raced = unique("race");
    std::vector<std::shared_ptr<Storage<ProjectID>>> seen(4);
    test::runConcurrently(4, [&](int thread) {
      seen[static_cast<std::size_t>(thread)] = ProjectID(raced).storage();
    });
    EXPECT_EQ(std::set(seen.begin(), seen.end()).size(), 1U);
  }
}

TEST(Identities, PathsDropExactlyOneTrailingSlashAndBothEncodeAsOneMemberObjects) {
  EXPECT_EQ(ProjectID("/p/"), ProjectID("/p"));
  EXPECT_EQ(ProjectID("/p//").path, "/p/");
  EXPECT_EQ(ProjectID(URL::fileURL("/p", true)).path, "/p");
  EXPECT_EQ(asJson(PoolID{"sync"}).value(), R"({"id":"sync"})");
  EXPECT_TRUE(decodeFromJson<PoolID>(R"({"name":"sync"})").isFailure());
  EXPECT_EQ(Json(ProjectID("/home/me/novel/")), Json::parse(R"({"path":"/home/me/novel"})"));
  EXPECT_EQ(decodeFromJson<ProjectID>(asJson(ProjectID("/p//")).value()).value(),
            ProjectID("/p//"));  // the path comes back as written
  EXPECT_TRUE(decodeFromJson<ProjectID>(R"({"path":7})").isFailure());
}

struct Index {
  std::string madeFor;
};

TEST(Storage, MakesOncePerClassAndIdStoresNoNullAndRemovesOutsideTheLock) {
  Storage<std::string> storage("novel", nullptr);
  int runs = 0;
  auto make = [&runs](const std::string& owner, const auto&) {
    ++runs;
    return std::make_shared<Index>(Index{owner});
  };
  const auto first = storage.lazyInit<Index>("main", make);
  EXPECT_EQ(storage.lazyInit<Index>("main", make), first);
  EXPECT_EQ(first->madeFor, "novel");
  EXPECT_NE(storage.lazyInit<Index>("drafts", make), first);
  auto none = [](const std::string&, const auto&) { return std::shared_ptr<std::string>(); };
  auto text = [](const std::string& o, const auto&) { return std::make_shared<std::string>(o); };
  EXPECT_EQ(storage.lazyInit<std::string>("main", none), nullptr);  // another class, same id
  EXPECT_NE(storage.lazyInit<std::string>("main", text), nullptr);  // nothing stored for null
  EXPECT_EQ(runs, 2);

  // remove() forgets one entry and releases it after its lock: an object
  // whose destructor uses the storage does not deadlock it.
  struct Reentrant {
    explicit Reentrant(Storage<std::string>* owner) : storage(owner) {}
    ~Reentrant() { storage->remove<Index>("drafts"); }
    Storage<std::string>* storage;
  };
  const std::weak_ptr<Reentrant> weak = storage.lazyInit<Reentrant>(
      "main", [&](const auto&, const auto&) { return std::make_shared<Reentrant>(&storage); });
  storage.remove<Index>("x");  // nothing stored: nothing happens
  EXPECT_FALSE(weak.expired());
  storage.remove<Reentrant>("main");
  EXPECT_TRUE(weak.expired());
  EXPECT_EQ(storage.lazyInit<Index>("main", make), first);
  storage.lazyInit<Index>("drafts", make);  // removed by the destructor: made again
  EXPECT_EQ(runs, 3);
}

// Racing requests may each make an object, but afterwards everybody gets one
// and the same object, and every object made is released exactly once.
TEST(Storage, ConcurrentRequestsSettleOnOneObject) {
  auto census = test::Census::make();
  const int ids = test::scaled(5000);
  {
    Storage<std::string> storage("p", nullptr);
    auto make = [&](const std::string&, const auto&) { return census->object(); };
    test::runConcurrently(4, [&](int) {
      for (int i = 0; i < ids; ++i) storage.lazyInit<test::Census::Member>(std::to_string(i), make);
    });
    EXPECT_EQ(census->alive(), ids);  // the objects that lost a race are gone
    auto none = [](const std::string&, const auto&) {
      return std::shared_ptr<test::Census::Member>();
    };
    for (int i = 0; i < ids; ++i)
      ASSERT_NE(storage.lazyInit<test::Census::Member>(std::to_string(i), none), nullptr);
  }
  EXPECT_EQ(census->alive(), 0);
}

}  // namespace
}  // namespace mornik::Flow
