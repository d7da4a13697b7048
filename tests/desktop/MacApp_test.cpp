#include "mornik/desktop/MacApp.hpp"

#include <fstream>

#include <gtest/gtest.h>

#include "mornik/desktop/WebBrowser.hpp"
#include "mornik/flow/pool/Identities.hpp"
#include "mornik/flow/pool/Pool.hpp"

#include "tests/desktop/support/Desktop.hpp"

namespace mornik {
namespace {

namespace fs = std::filesystem;

URL makeFile(const std::string& name) {
  const fs::path path = test::desktopRoot() / "home" / name;
  std::ofstream(path) << "content\n";
  return URL::fileURL(path.string());
}

template <class Apps>
std::vector<std::string> displayNames(const Apps& apps) {
  std::vector<std::string> names;
  for (const auto& app : apps) names.push_back(app.displayName());
  return names;
}

TEST(MacApp, ListsTheFileManagerFirstThenTheApplications) {
  const URL file = makeFile("a.mornik");
  auto apps = MacApp::list(file, true);
  EXPECT_EQ(displayNames(apps), (std::vector<std::string>{"FileManager1", "Viewer", "Other"}));
  EXPECT_EQ(apps[0], (MacApp{MacApp::finderURL(), file}));
  EXPECT_EQ(apps[1].icon(), "viewer-icon");
  EXPECT_EQ(displayNames(MacApp::list(file, false)), (std::vector<std::string>{"Viewer", "Other"}));
  // Nobody claims this type: only the file manager.
  const URL nobody = makeFile("b.nobody-xyz");
  EXPECT_EQ(MacApp::list(nobody, true), (std::vector<MacApp>{{MacApp::finderURL(), nobody}}));
}

// What reaches the applications and the file manager: Workspace_test.cpp.
TEST(MacApp, OpensWithTheApplicationOrRevealsWithTheFileManager) {
  MORNIK_NEED_BUS();
  test::FakeService fileManager;
  ASSERT_TRUE(fileManager.ready());
  const URL file = makeFile("c.mornik");
  auto apps = MacApp::list(file, true);
  ASSERT_TRUE(apps.at(0).open()->wait().isSuccess());
  EXPECT_NE(test::record("service").find("ShowItems ['" + file.absoluteString() + "']"),
            std::string::npos);
  ASSERT_TRUE(apps.at(2).open()->wait().isSuccess());
  EXPECT_TRUE(test::waitForRecord("other", file.path()));

  // A failure also lands in the "MacApp" pool's error pool.
  auto failed =
      MacApp{URL::fileURL((test::desktopRoot() / "data/applications/broken.desktop").string()),
             file}
          .open();
  ASSERT_TRUE(failed->wait().isFailure());
  auto pool = Flow::PoolID{"MacApp"}.pool();
  EXPECT_TRUE(test::waitFor([&] { return pool->hasRecentError(); }));
  EXPECT_TRUE(pool->holds(failed->id()));
}

TEST(WebBrowser, ListsFiltersAndOpens) {
  EXPECT_EQ(displayNames(WebBrowser::list()),
            (std::vector<std::string>{"Browser", "Folx", "folx"}));
  // Folx out, folx (another case) in.
  EXPECT_EQ(displayNames(WebBrowser::filteredList()),
            (std::vector<std::string>{"Browser", "folx"}));
  const WebBrowser main = WebBrowser::main();
  EXPECT_EQ(main.displayName(), "Browser");
  EXPECT_EQ(main.pool, Flow::PoolID{"WebBrowser"}.pool());

  auto opened = main.open("https://example.org/page?q=1");
  EXPECT_TRUE(main.pool->holds(opened->id()));
  ASSERT_TRUE(opened->wait().isSuccess());
  EXPECT_TRUE(test::waitForRecord("browser", "https://example.org/page?q=1"));

  auto refused = main.open("not a url");
  const Error why = refused->wait().error();
  EXPECT_TRUE(why.is(kFTWDomain, 0));
  EXPECT_EQ(why.localizedDescription(), "can't convert to URL: not a url");
  EXPECT_FALSE(main.pool->holds(refused->id()));
}

TEST(WebBrowser, FallsBackWhenNoBrowserIsInstalled) {
  const fs::path apps = test::desktopRoot() / "data/applications";
  const fs::path aside = test::desktopRoot() / "aside";
  fs::create_directories(aside);
  const auto move = [&](const fs::path& from, const fs::path& to) {
    for (const char* file : {"browser.desktop", "Folx.desktop", "lowerfolx.desktop"}) {
      fs::rename(from / file, to / file);
    }
    ASSERT_EQ(test::run({"update-desktop-database", apps.string()}).exitCode, 0);
  };
  move(apps, aside);
  ASSERT_TRUE(test::waitFor([] { return WebBrowser::list().empty(); }));
  EXPECT_EQ(WebBrowser::main().appURL, URL::fileURL("/usr/bin/x-www-browser"));
  move(aside, apps);  // for the tests after this one in the same run
  EXPECT_TRUE(test::waitFor([] { return WebBrowser::list().size() == 3; }));
}

}  // namespace
}  // namespace mornik
