#include "mornik/platform/UbiquitousKeyValueStore.hpp"

#include <string>

#include <gtest/gtest.h>

#include "mornik/fs/AtomicFile.hpp"
#include "mornik/fs/FileContents.hpp"
#include "mornik/platform/AppIdentity.hpp"

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

}  // namespace
}  // namespace mornik
