// FS's desktop requests against the private desktop of the desktop tests
// (tests/desktop/support): the fake file manager service records reveals,
// the fake "viewer" application records what it opens.
#include <fstream>

#include <gtest/gtest.h>

#include "mornik/files/FS.hpp"
#include "mornik/platform/Workspace.hpp"

#include "tests/desktop/support/Desktop.hpp"

namespace mornik {
namespace {

std::filesystem::path makeFile(const std::string& name) {
  const auto path = test::desktopRoot() / "home" / name;
  std::ofstream(path) << "content\n";
  return path;
}

TEST(FSDesktop, RevealsThroughTheFileManagerAndOpensWithTheDefaultApplication) {
  MORNIK_NEED_BUS();
  test::FakeService service;
  ASSERT_TRUE(service.ready());
  Workspace::setShared(Workspace::makeDesktop({}));
  const auto file = makeFile("fs-reveal.mornik");
  FS::showInFinder(std::optional<URL>(URL::fileURL(file.string())));
  FS::showInFinder(std::optional<std::string>(file.parent_path().string()));
  FS::openGetInfoWnd(URL::fileURL(file.string()));
  FSstr(file.string()).openWithAssociatedApp();
  Workspace::setShared(nullptr);
  const std::string calls = test::record("service");
  EXPECT_NE(calls.find("FileManager1.ShowItems ['file://" + file.string() + "']"),
            std::string::npos)
      << calls;
  EXPECT_NE(calls.find("FileManager1.ShowFolders ['file://" + file.parent_path().string() + "']"),
            std::string::npos)
      << calls;
  EXPECT_NE(calls.find("FileManager1.ShowItemProperties ['file://" + file.string() + "']"),
            std::string::npos)
      << calls;
  EXPECT_TRUE(test::waitForRecord("viewer", file.string()));
}

}  // namespace
}  // namespace mornik
