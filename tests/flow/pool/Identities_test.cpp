#include "mornik/flow/pool/Identities.hpp"

#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <unistd.h>

#include "mornik/flow/pool/Pool.hpp"
#include "mornik/flow/pool/Storage.hpp"
#include "mornik/text/Json.hpp"

#include "tests/support/Census.hpp"
#include "tests/support/Concurrently.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik::Flow {
namespace {

// Registries live for the whole process: every test uses names of its own.
std::string unique(const std::string& name) {
  static int next = 0;
  return "/tmp/mornik-identities/" + name + "-" + std::to_string(++next);
}

TEST(Identities, OnePoolPerNameAndOneStorageAndPoolPerPathAlsoWhenFirstRequestsRace) {
  const std::string name = unique("pool");
  EXPECT_EQ(PoolID{name}.pool(), PoolID{name}.pool());
  EXPECT_NE(PoolID{name + "x"}.pool(), PoolID{name}.pool());
  EXPECT_EQ(PoolID{name}.pool()->queue(), DispatchQueue::global(QoS::default_));

  const std::string path = unique("project");
  const auto storage = ProjectID(path + "/").storage();
  EXPECT_EQ(ProjectID(path).storage(), storage);
  EXPECT_EQ(ProjectID(path).pool(), storage->pool());
  EXPECT_NE(ProjectID(path + "//").pool(), storage->pool());
  EXPECT_EQ(storage->pool()->queue().label(), "Flow.ProjectID." + path);
  char cwd[4096];  // a relative path is labelled by its absolute path
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(ProjectID("relative").pool()->queue().label(),
            "Flow.ProjectID." + std::string(cwd) + "/relative");
  const auto made = storage->lazyInit<ProjectID>(
      "self", [&](const ProjectID& id, const std::shared_ptr<Pool>& pool) {
        return pool == storage->pool() ? std::make_shared<ProjectID>(id) : nullptr;
      });
  EXPECT_EQ(*made, ProjectID(path));
  ProjectID(path).send(WTF("disk full", 28));  // into the project's pool only
  EXPECT_TRUE(storage->pool()->hasRecentError());
  EXPECT_FALSE(ProjectID(unique("errors")).pool()->hasRecentError());

  for (int round = 0; round < 50; ++round) {
    const std::string raced = unique("race");
    std::vector<std::shared_ptr<Storage<ProjectID>>> seen(4);
    test::runConcurrently(4, [&](int thread) {
      seen[static_cast<std::size_t>(thread)] = ProjectID(raced).storage();
      EXPECT_NE(PoolID{raced}.pool(), nullptr);
    });
    EXPECT_EQ(std::set(seen.begin(), seen.end()).size(), 1U);
    EXPECT_EQ(PoolID{raced}.pool(), PoolID{raced}.pool());
  }
}

TEST(Identities, PathsDropExactlyOneTrailingSlashAndBothEncodeAsOneMemberObjects) {
  EXPECT_EQ(ProjectID("/p/"), ProjectID("/p"));
  EXPECT_EQ(ProjectID("/p//").path, "/p/");
  EXPECT_EQ(ProjectID("/").path, "");
  EXPECT_EQ(ProjectID(URL::fileURL("/p", true)).path, "/p");
  EXPECT_EQ(asJson(PoolID{"sync"}).value(), R"({"id":"sync"})");
  EXPECT_EQ(decodeFromJson<PoolID>(R"({"id":"sync"})").value(), PoolID{"sync"});
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
  EXPECT_EQ(storage.lazyInit<std::string>("main", none), nullptr);  // another class, same id
  EXPECT_EQ(storage
                .lazyInit<std::string>("main",
                                       [](const std::string& owner, const auto&) {
                                         return std::make_shared<std::string>(owner);
                                       })
                ->size(),
            5U);  // nothing was stored for the null
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
  std::atomic<int> made{0};
  const int ids = test::scaled(5000);
  {
    Storage<std::string> storage("p", nullptr);
    auto make = [&](const std::string&, const auto&) {
      made.fetch_add(1);
      return census->object();
    };
    test::runConcurrently(4, [&](int) {
      for (int i = 0; i < ids; ++i)
        ASSERT_NE(storage.lazyInit<test::Census::Member>(std::to_string(i), make), nullptr);
    });
    EXPECT_EQ(census->alive(), ids);
    const int before = made.load();
    for (int i = 0; i < ids; ++i) storage.lazyInit<test::Census::Member>(std::to_string(i), make);
    EXPECT_EQ(made.load(), before);
  }
  EXPECT_EQ(census->alive(), 0);
}

}  // namespace
}  // namespace mornik::Flow
