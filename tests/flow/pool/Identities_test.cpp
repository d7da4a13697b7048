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

TEST(PoolID, OneProcessWidePoolPerNameAlsoWhenFirstRequestsRace) {
  const std::string name = unique("pool");
  const auto pool = PoolID{name}.pool();
  ASSERT_NE(pool, nullptr);
  EXPECT_EQ(PoolID{name}.pool(), pool);
  EXPECT_NE(PoolID{name + "x"}.pool(), pool);
  EXPECT_EQ(pool->queue(), DispatchQueue::global(QoS::default_));
  for (int round = 0; round < 50; ++round) {
    const std::string raced = unique("race");
    test::runConcurrently(4, [&](int) { EXPECT_NE(PoolID{raced}.pool(), nullptr); });
    EXPECT_EQ(PoolID{raced}.pool(), PoolID{raced}.pool());
  }
}

TEST(ProjectID, OneStorageAndOnePoolPerPathOnItsOwnSerialQueueAlsoWhenRequestsRace) {
  const std::string path = unique("project");
  const auto storage = ProjectID(path + "/").storage();
  EXPECT_EQ(ProjectID(path).storage(), storage);
  EXPECT_EQ(storage->id(), ProjectID(path));
  EXPECT_EQ(ProjectID(path).pool(), storage->pool());
  EXPECT_NE(ProjectID(path + "//").pool(), storage->pool());
  const Result<std::string> label =
      storage->pool()
          ->future([]() -> Result<std::string> { return DispatchQueue::currentLabel(); })
          ->wait();
  EXPECT_EQ(label.value(), "Flow.ProjectID." + path);
  // A relative path is labelled by the absolute path of its file URL.
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  const std::string relative = "mornik-relative-" + std::to_string(getpid());
  EXPECT_EQ(ProjectID(relative).pool()->queue().label(),
            "Flow.ProjectID." + std::string(cwd) + "/" + relative);
  // Objects of its storage are made with the project and its pool.
  struct Index {
    ProjectID project;
    std::shared_ptr<Pool> pool;
  };
  const auto index =
      storage->lazyInit<Index>("main", [](const ProjectID& id, const std::shared_ptr<Pool>& pool) {
        return std::make_shared<Index>(Index{id, pool});
      });
  EXPECT_EQ(index->project, ProjectID(path));
  EXPECT_EQ(index->pool, storage->pool());
  // send() puts an error in the project's pool only.
  ProjectID(path).send(WTF("disk full", 28));
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
  EXPECT_EQ(ProjectID("/p/").path, "/p");
  EXPECT_EQ(ProjectID("/p/"), ProjectID("/p"));
  EXPECT_EQ(ProjectID("/p//").path, "/p/");
  EXPECT_EQ(ProjectID("/").path, "");
  EXPECT_EQ(ProjectID(URL::fileURL("/p", true)).path, "/p");
  EXPECT_EQ(ProjectID("/p").url(), URL::fileURL("/p"));

  EXPECT_EQ(asJson(PoolID{"sync"}).value(), R"({"id":"sync"})");
  EXPECT_EQ(decodeFromJson<PoolID>(R"({"id":"sync"})").value(), PoolID{"sync"});
  EXPECT_TRUE(decodeFromJson<PoolID>(R"({"name":"sync"})").isFailure());
  EXPECT_EQ(Json(ProjectID("/home/me/novel/")), Json::parse(R"({"path":"/home/me/novel"})"));
  // The path comes back as written: "/p//" encodes as "/p/", which is not "/p".
  EXPECT_EQ(decodeFromJson<ProjectID>(asJson(ProjectID("/p//")).value()).value(),
            ProjectID("/p//"));
  EXPECT_TRUE(decodeFromJson<ProjectID>(R"({"path":7})").isFailure());
}

}  // namespace
}  // namespace mornik::Flow
