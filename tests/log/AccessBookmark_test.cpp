#include "mornik/files/AccessBookmark.hpp"

#include <gtest/gtest.h>

#include "mornik/platform/Journal.hpp"

#include "tests/support/TempDir.hpp"

namespace mornik {
namespace {

TEST(AccessBookmark, PlaceHoldersLogAndMakeTheDocumentsFolderTwice) {
  const test::TempDir dir;
  const auto documents = dir.path() / "Docs";
  ::setenv("XDG_DOCUMENTS_DIR", documents.c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
  auto journal = std::make_shared<MemoryJournal>();
  JournalSink::setShared(journal);
  EXPECT_EQ((AccessBookmark{URL::fileURL("/a/b"), {}}).description(), "AccessBookmark: /a/b");
  for (int twice = 0; twice < 2; ++twice) {
    AccessBookmark::loadAndResolve();
    AccessBookmark::append(URL::fileURL("/a/b"));
    EXPECT_TRUE(std::filesystem::is_directory(documents));
  }
  ASSERT_EQ(journal->entries().size(), 2U);
  EXPECT_EQ(journalField(journal->entries()[1], "MESSAGE"),
            "[AccessBookmark]: going to load file://" + (documents / "Bookmarks.dict").string());
  ::unsetenv("XDG_DOCUMENTS_DIR");  // NOLINT(concurrency-mt-unsafe)
  JournalSink::setShared(nullptr);
}

}  // namespace
}  // namespace mornik
