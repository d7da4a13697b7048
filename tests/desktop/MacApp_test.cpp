#include "mornik/desktop/MacApp.hpp"

#include <algorithm>

#include <gtest/gtest.h>

#include "mornik/desktop/WebBrowser.hpp"
#include "mornik/flow/pool/Identities.hpp"
#include "mornik/flow/pool/Pool.hpp"
#include "mornik/platform/Workspace.hpp"

#include "tests/desktop/support/Desktop.hpp"

namespace mornik {
namespace {

template <class Apps>
std::vector<std::string> displayNames(const Apps& apps) {
  std::vector<std::string> names;
  for (const auto& app : apps) names.push_back(app.displayName());
  return names;
}

TEST(MacApp, ListsTheFileManagerFirstThenTheApplications) {
  const URL file = URL::fileURL(test::homeFile("a.mornik").string());
  auto apps = MacApp::list(file, true);
  EXPECT_EQ(displayNames(apps), (std::vector<std::string>{"FileManager1", "Viewer", "Other"}));
  EXPECT_EQ(apps[0], (MacApp{MacApp::finderURL(), file}));
  EXPECT_EQ(apps[1].icon(), "viewer-icon");
  EXPECT_EQ(displayNames(MacApp::list(file, false)), (std::vector<std::string>{"Viewer", "Other"}));
  // Nobody claims this type: only the file manager.
  const URL nobody = URL::fileURL(test::homeFile("b.nobody-xyz").string());
  EXPECT_EQ(MacApp::list(nobody, true), (std::vector<MacApp>{{MacApp::finderURL(), nobody}}));
}

// What the workspace does with the requests: Workspace_test.cpp.
TEST(MacApp, OpensWithTheApplicationOrRevealsWithTheFileManager) {
  auto workspace = std::make_shared<MemoryWorkspace>();
  Workspace::setShared(workspace);
  const MacApp finder{MacApp::finderURL(), URL::fileURL("/home/me/c.mornik")};
  const MacApp other{URL::fileURL("/apps/other.desktop"), finder.fileURL};
  EXPECT_TRUE(finder.open()->wait().isSuccess());
  EXPECT_TRUE(other.open()->wait().isSuccess());
  // A failure also lands in the "MacApp" pool's error pool.
  workspace->setOutcome(WTF("cannot start", 0));
  auto failed = other.open();
  ASSERT_TRUE(failed->wait().isFailure());
  auto pool = Flow::PoolID{"MacApp"}.pool();
  EXPECT_TRUE(test::waitFor([&] { return pool->hasRecentError(); }));
  EXPECT_TRUE(pool->holds(failed->id()));
  Workspace::setShared(nullptr);
  const std::string openWith = "openWith /apps/other.desktop file:///home/me/c.mornik";
  EXPECT_EQ(workspace->requests(),
            (std::vector<std::string>{"reveal /home/me/c.mornik", openWith, openWith}));
}

TEST(WebBrowser, ListsFiltersOpensAndFallsBack) {
  auto workspace = std::make_shared<MemoryWorkspace>();
  const auto entry = [](const std::string& name, const std::string& folder) {
    return AppEntry{name, folder + name + ".desktop", name, ""};
  };
  workspace->setApplications(
      "x-scheme-handler/https",
      {entry("Browser", "/usr/share/applications/"), entry("Elsewhere", "/opt/"),
       entry("Folx", "/usr/share/applications/"),
       entry("folx", "/home/me/.local/share/applications/")});
  Workspace::setShared(workspace);
  EXPECT_EQ(displayNames(WebBrowser::list()),
            (std::vector<std::string>{"Browser", "Folx", "folx"}));  // application folders only
  EXPECT_EQ(displayNames(WebBrowser::filteredList()),
            (std::vector<std::string>{"Browser", "folx"}));  // Folx out, folx (another case) in
  const WebBrowser main = WebBrowser::main();
  EXPECT_EQ(main.displayName(), "Browser");
  EXPECT_EQ(main.pool, Flow::PoolID{"WebBrowser"}.pool());

  auto opened = main.open("https://example.org/page?q=1");
  EXPECT_TRUE(main.pool->holds(opened->id()));
  EXPECT_TRUE(workspace->requests().empty());  // not before it is observed
  ASSERT_TRUE(opened->wait().isSuccess());
  EXPECT_EQ(workspace->requests(),
            std::vector<std::string>{
                "openWith /usr/share/applications/Browser.desktop https://example.org/page?q=1"});
  auto refused = main.open("not a url");
  const Error why = refused->wait().error();
  EXPECT_TRUE(why.is(kFTWDomain, 0));
  EXPECT_EQ(why.localizedDescription(), "can't convert to URL: not a url");
  EXPECT_FALSE(main.pool->holds(refused->id()));

  Workspace::setShared(std::make_shared<MemoryWorkspace>());  // no browser at all
  EXPECT_EQ(WebBrowser::main().appURL, URL::fileURL("/usr/bin/x-www-browser"));
  Workspace::setShared(nullptr);
}

// The desktop's own browsers (DesktopSession.cpp): out by the name shown or
// by the desktop file ID, in the user's data folder and the system's.
TEST(WebBrowser, FiltersByShownNameOrDesktopFileID) {
  std::vector<std::string> names = displayNames(WebBrowser::filteredList());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"Web Browser", "folx"}));
}

}  // namespace
}  // namespace mornik
