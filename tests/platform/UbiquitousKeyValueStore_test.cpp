#include "mornik/platform/UbiquitousKeyValueStore.hpp"

#include <string>

#include <gtest/gtest.h>

#include "mornik/fs/AtomicFile.hpp"
#include "mornik/fs/FileContents.hpp"
#include "mornik/platform/AppIdentity.hpp"

#include "tests/support/Child.hpp"
#include "tests/support/Sanitizers.hpp"
#include "tests/support/TempDir.hpp"

namespace mornik {
namespace {

const auto& gHome = test::useTemporaryHome();

TEST(UbiquitousKeyValueStore, DefaultStoreLivesInTheApplicationSupportFolder) {
  EXPECT_EQ(UbiquitousKeyValueStore::defaultStore()->filePath(),
            gHome / ".local/share" / AppIdentity::identifier() / "ubiquitous-kv.json");
}

TEST(UbiquitousKeyValueStore, ChangesStayInMemoryUntilSynchronized) {
  test::TempDir dir;
  const auto file = dir / "kv.json";
  auto store = UbiquitousKeyValueStore::atPath(file);
  ASSERT_TRUE(store->set("42", "score").isSuccess());
  EXPECT_EQ(store->string("score"), "42");
  EXPECT_FALSE(std::filesystem::exists(file));
  ASSERT_TRUE(store->synchronize().isSuccess());
  EXPECT_EQ(readFileContents(file).value(), "{\n  \"score\": \"42\"\n}");

  // Another process's change is seen at the next synchronize(), not before.
  auto other = UbiquitousKeyValueStore::atPath(file);
  ASSERT_TRUE(other->set("7", "level").isSuccess());
  ASSERT_TRUE(other->removeObject("score").isSuccess());
  EXPECT_EQ(other->string("score"), std::nullopt);
  ASSERT_TRUE(other->synchronize().isSuccess());
  EXPECT_EQ(store->string("level"), std::nullopt);
  EXPECT_EQ(store->string("score"), "42");
  ASSERT_TRUE(store->set("x", "mine").isSuccess());
  ASSERT_TRUE(store->synchronize().isSuccess());
  EXPECT_EQ(store->dictionaryRepresentation(),
            (std::map<std::string, std::string>{{"level", "7"}, {"mine", "x"}}));
}

TEST(UbiquitousKeyValueStore, FailedSynchronizeKeepsThePendingChanges) {
  test::TempDir dir;
  ASSERT_TRUE(writeAtomically(dir / "blocker", "a file, not a folder").isSuccess());
  auto store = UbiquitousKeyValueStore::atPath(dir / "blocker" / "kv.json");
  ASSERT_TRUE(store->set("v", "k").isSuccess());
  const auto failed = store->synchronize();
  ASSERT_TRUE(failed.isFailure());
  EXPECT_EQ(failed.error().code(), ENOTDIR);
  EXPECT_EQ(store->string("k"), "v");
  EXPECT_EQ(store->dictionaryRepresentation(), (std::map<std::string, std::string>{{"k", "v"}}));
}

TEST(UbiquitousKeyValueStore, PendingChangesAreWrittenWhenTheStoreGoes) {
  test::TempDir dir;
  const auto file = dir / "kv.json";
  UbiquitousKeyValueStore::atPath(file)->set("late", "k").value();
  EXPECT_EQ(UbiquitousKeyValueStore::atPath(file)->string("k"), "late");
}

TEST(UbiquitousKeyValueStore, ProcessesSynchronizingAtOnceLoseNothing) {
  test::TempDir dir;
  const auto file = (dir / "kv.json").string();
  const int perProcess = test::scaled(40);
  auto a = test::startChild({"cloud-set", file, "a", std::to_string(perProcess)});
  auto b = test::startChild({"cloud-set", file, "b", std::to_string(perProcess)});
  EXPECT_EQ(test::readAll(a.output), "");
  EXPECT_EQ(test::readAll(b.output), "");
  EXPECT_EQ(test::waitChild(a.pid), 0);
  EXPECT_EQ(test::waitChild(b.pid), 0);
  ::close(a.output);
  ::close(b.output);
  auto store = UbiquitousKeyValueStore::atPath(file);
  EXPECT_EQ(store->dictionaryRepresentation().size(), static_cast<std::size_t>(2 * perProcess));
  EXPECT_EQ(store->string("b0"), "value of b0");
}

}  // namespace
}  // namespace mornik
