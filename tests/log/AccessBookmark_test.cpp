#include "mornik/files/AccessBookmark.hpp"

#include <cstdlib>
#include <memory>

#include <gtest/gtest.h>

#include "mornik/platform/Journal.hpp"

#include "tests/support/TempDir.hpp"

namespace mornik {
namespace {

TEST(AccessBookmark, PlaceHoldersLogAndMakeTheDocumentsFolder) {
  const test::TempDir dir;
  const auto documents = dir.path() / "Docs";
  ::setenv("XDG_DOCUMENTS_DIR", documents.c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
  auto journal = std::make_shared<MemoryJournal>();
  JournalSink::setShared(journal);
  EXPECT_EQ((AccessBookmark{URL::fileURL("/a/b"), {}}).description(), "AccessBookmark: /a/b");
  EXPECT_TRUE(AccessBookmark::allBookmarks.empty());
  for (int twice = 0; twice < 2; ++twice) {
    AccessBookmark::loadAndResolve();
    AccessBookmark::append(URL::fileURL("/a/b"));
    EXPECT_TRUE(std::filesystem::is_directory(documents));
    EXPECT_FALSE(std::filesystem::exists(documents / "Bookmarks.dict"));
  }
  ASSERT_EQ(journal->entries().size(), 2U);
  EXPECT_EQ(journalField(journal->entries()[0], "MESSAGE"),
            "[AccessBookmark]: going to load " +
                URL::fileURL((documents / "Bookmarks.dict").string()).absoluteString());
  ::unsetenv("XDG_DOCUMENTS_DIR");  // NOLINT(concurrency-mt-unsafe)
  JournalSink::setShared(nullptr);
}

}  // namespace
}  // namespace mornik
