#include "mornik/text/URL.hpp"

#include <string>

#include <gtest/gtest.h>

#include <unistd.h>

namespace mornik {
namespace {

TEST(URL, FileUrlsFromPaths) {
  const URL file = asURL("/tmp/my report.pdf");
  EXPECT_EQ(file.absoluteString(), "file:///tmp/my%20report.pdf");
  EXPECT_EQ(file.path(), "/tmp/my report.pdf");
  const URL folder = asURLdir("/tmp");
  EXPECT_EQ(folder.absoluteString(), "file:///tmp/");
  EXPECT_TRUE(folder.hasDirectoryPath());
  EXPECT_EQ(asURL("/tmp/", true), folder);
  EXPECT_EQ(asURL("/caf\xC3\xA9").absoluteString(), "file:///caf%C3%A9");
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(asURL("notes.txt").path(), std::string(cwd) + "/notes.txt");
}

TEST(URL, BrowserUrlsParseOrGiveNothing) {
  const auto page = asBrowserUrl("HTTPS://example.org/a%20b/?q=1#top");
  ASSERT_TRUE(page.has_value());
  EXPECT_EQ(page->scheme(), "https");
  EXPECT_EQ(page->path(), "/a b");
  EXPECT_TRUE(page->hasDirectoryPath());
  EXPECT_EQ(asBrowserUrl("mailto:someone@example.org")->scheme(), "mailto");
  EXPECT_EQ(asBrowserUrl("example.org/path")->scheme(), "");  // a relative reference
  EXPECT_EQ(asBrowserUrl(""), std::nullopt);
  EXPECT_EQ(asBrowserUrl("http://exa mple.org"), std::nullopt);
  EXPECT_EQ(asBrowserUrl("http://example.org/%zz"), std::nullopt);
  EXPECT_EQ(asBrowserUrl("http://example.org/caf\xC3\xA9"), std::nullopt);
  EXPECT_EQ(asBrowserUrl("1http://x"), std::nullopt);
  EXPECT_EQ(asBrowserUrl("a#b#c"), std::nullopt);
}

}  // namespace
}  // namespace mornik
