#include "mornik/flow/pool/Identities.hpp"

#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <unistd.h>

#include "mornik/flow/pool/Pool.hpp"
#include "mornik/text/Json.hpp"

#include "tests/support/Concurrently.hpp"

namespace mornik::Flow {
namespace {

// Registries live for the whole process: every test uses names of its own.
std::string unique(const std::string& name) {
  static int next = 0;
  return "/tmp/mornik-identities/" + name + "-" + std::to_string(++next);
}

TEST(PoolID, OneProcessWidePoolPerName) {
  const std::string name = unique("pool");
  const auto pool = PoolID{name}.pool();
  ASSERT_NE(pool, nullptr);
  EXPECT_EQ(PoolID{name}.pool(), pool);
  EXPECT_NE(PoolID{name + "x"}.pool(), pool);
  EXPECT_EQ(pool->queue(), DispatchQueue::global(QoS::default_));
}

// Racing first requests may each make a pool, but once the dust settles every
// caller gets the one registered.
TEST(PoolID, RacingFirstRequestsSettleOnOnePool) {
  for (int round = 0; round < 50; ++round) {
    const std::string name = unique("race");
    test::runConcurrently(4, [&](int) { EXPECT_NE(PoolID{name}.pool(), nullptr); });
    const auto settled = PoolID{name}.pool();
    EXPECT_EQ(PoolID{name}.pool(), settled);
  }
}

TEST(ProjectID, DropsExactlyOneTrailingSlash) {
  const std::string path = unique("project");
  EXPECT_EQ(ProjectID(path + "/").path, path);
  EXPECT_EQ(ProjectID(path + "/"), ProjectID(path));
  EXPECT_EQ(ProjectID(path + "//").path, path + "/");
  EXPECT_NE(ProjectID(path + "//"), ProjectID(path));
  EXPECT_EQ(ProjectID("/").path, "");
  EXPECT_EQ(ProjectID(URL::fileURL(path, true)).path, path);
  EXPECT_EQ(ProjectID(path).url(), URL::fileURL(path));
}

TEST(ProjectID, OneStorageAndOnePoolPerPathOnItsOwnSerialQueue) {
  const std::string path = unique("project");
  const auto storage = ProjectID(path + "/").storage();
  EXPECT_EQ(ProjectID(path).storage(), storage);
  EXPECT_EQ(storage->id(), ProjectID(path));
  EXPECT_EQ(ProjectID(path).pool(), storage->pool());
  EXPECT_NE(ProjectID(path + "//").pool(), storage->pool());
  EXPECT_EQ(storage->pool()->queue().label(), "Flow.ProjectID." + path);

  // A relative path is labelled by the absolute path of its file URL.
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  const std::string relative = "mornik-relative-" + std::to_string(getpid());
  EXPECT_EQ(ProjectID(relative).pool()->queue().label(),
            "Flow.ProjectID." + std::string(cwd) + "/" + relative);

  // The pool runs its work on that queue.
  const Result<std::string> label =
      storage->pool()
          ->future([]() -> Result<std::string> { return DispatchQueue::currentLabel(); })
          ->wait();
  EXPECT_EQ(label.value(), "Flow.ProjectID." + path);
}

TEST(ProjectID, RacingRequestsForANewPathGetOneStorage) {
  for (int round = 0; round < 50; ++round) {
    const std::string path = unique("race");
    std::vector<std::shared_ptr<Storage<ProjectID>>> seen(4);
    test::runConcurrently(
        4, [&](int thread) { seen[static_cast<std::size_t>(thread)] = ProjectID(path).storage(); });
    EXPECT_EQ(std::set(seen.begin(), seen.end()).size(), 1U);
  }
}

TEST(ProjectID, SendPutsTheErrorInTheProjectPool) {
  const ProjectID project(unique("errors"));
  EXPECT_FALSE(project.pool()->hasRecentError());
  project.send(WTF("disk full", 28));
  EXPECT_TRUE(project.pool()->hasRecentError());
  EXPECT_FALSE(ProjectID(unique("errors")).pool()->hasRecentError());
}

TEST(ProjectID, StorageObjectsAreMadeWithTheProjectAndItsPool) {
  struct Index {
    ProjectID project;
    std::shared_ptr<Pool> pool;
  };
  const ProjectID project(unique("index"));
  const auto index = project.storage()->lazyInit<Index>(
      "main", [](const ProjectID& id, const std::shared_ptr<Pool>& pool) {
        return std::make_shared<Index>(Index{id, pool});
      });
  EXPECT_EQ(index->project, project);
  EXPECT_EQ(index->pool, project.pool());
  EXPECT_EQ(ProjectID(project.path + "/")
                .storage()
                ->lazyInit<Index>(
                    "main", [](const ProjectID&, const auto&) { return std::shared_ptr<Index>(); }),
            index);
}

TEST(Identities, EncodeAsOneMemberObjectsAndDecodeBack) {
  EXPECT_EQ(asJson(PoolID{"sync"}).value(), R"({"id":"sync"})");
  EXPECT_EQ(decodeFromJson<PoolID>(R"({"id":"sync"})").value(), PoolID{"sync"});
  EXPECT_TRUE(decodeFromJson<PoolID>(R"({"name":"sync"})").isFailure());

  EXPECT_EQ(Json(ProjectID("/home/me/novel/")), Json::parse(R"({"path":"/home/me/novel"})"));
  EXPECT_EQ(decodeFromJson<ProjectID>(R"({"path":"/home/me/novel"})").value(),
            ProjectID("/home/me/novel"));
  // The path comes back as written: "/p//" encodes as "/p/", which is not "/p".
  const ProjectID doubled("/p//");
  EXPECT_EQ(decodeFromJson<ProjectID>(asJson(doubled).value()).value(), doubled);
  EXPECT_TRUE(decodeFromJson<ProjectID>(R"({"path":7})").isFailure());
}

}  // namespace
}  // namespace mornik::Flow
