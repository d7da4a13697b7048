#include "mornik/settings/UbiquitousKeyValueStore.hpp"

#include <string>

#include <gtest/gtest.h>

#include "mornik/fileio/AtomicFile.hpp"
#include "mornik/fileio/FileContents.hpp"
#include "mornik/settings/AppIdentity.hpp"

#include "tests/support/TempDir.hpp"

namespace mornik {
namespace {

using Values = std::map<std::string, std::string>;

const auto& gHome = test::useTemporaryHome();

TEST(UbiquitousKeyValueStore, ChangesStayInMemoryUntilSynchronized) {
  EXPECT_EQ(UbiquitousKeyValueStore::defaultStore()->filePath(),
            gHome / ".local/share" / AppIdentity::identifier() / "ubiquitous-kv.json");
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
  EXPECT_EQ(store->dictionaryRepresentation(), (Values{{"level", "7"}, {"mine", "x"}}));

  // Pending changes are written when the store goes.
  UbiquitousKeyValueStore::atPath(file)->set("late", "k").value();
  EXPECT_EQ(UbiquitousKeyValueStore::atPath(file)->string("k"), "late");
}

TEST(UbiquitousKeyValueStore, FailedSynchronizeKeepsThePendingChanges) {
  test::TempDir dir;
  ASSERT_TRUE(writeAtomically(dir / "blocker", "a file, not a folder").isSuccess());
  auto store = UbiquitousKeyValueStore::atPath(dir / "blocker" / "kv.json");
  ASSERT_TRUE(store->set("v", "k").isSuccess());
  EXPECT_EQ(store->synchronize().error().code(), ENOTDIR);
  EXPECT_EQ(store->dictionaryRepresentation(), (Values{{"k", "v"}}));
}

}  // namespace
}  // namespace mornik
