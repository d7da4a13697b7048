#include "mornik/platform/Workspace.hpp"

#include <fstream>

#include <gtest/gtest.h>

#include "tests/desktop/support/Desktop.hpp"

namespace mornik {
namespace {

namespace fs = std::filesystem;
using test::record;
using test::waitForRecord;

fs::path makeFile(const std::string& name) {
  const fs::path path = test::desktopRoot() / "home" / name;
  std::ofstream(path) << "content\n";
  return path;
}

TEST(Workspace, ListsTheDefaultApplicationFirstAndSeesNewOnes) {
  auto workspace = Workspace::makeDesktop({});
  EXPECT_EQ(workspace->contentTypeOf(makeFile("a.mornik")), "application/x-mornik");
  auto apps = workspace->applicationsFor("application/x-mornik");
  // Broken's program is missing: the database leaves it out.
  ASSERT_EQ(apps.size(), 2u);
  EXPECT_EQ(apps[0],
            (AppEntry{"viewer.desktop", test::desktopRoot() / "data/applications/viewer.desktop",
                      "Viewer", "viewer-icon"}));
  EXPECT_EQ(apps[1].name, "Other");
  EXPECT_TRUE(workspace->applicationsFor("application/x-nobody-opens-this").empty());

  // A newly installed application shows up in a later answer: the cache
  // follows the application database.
  std::ofstream(test::desktopRoot() / "data/applications/late.desktop")
      << "[Desktop Entry]\nType=Application\nName=Late\nExec=true %U\n"
         "MimeType=application/x-mornik;\n";
  ASSERT_EQ(
      test::run({"update-desktop-database", (test::desktopRoot() / "data/applications").string()})
          .exitCode,
      0);
  EXPECT_TRUE(test::waitFor([&] {
    return workspace->applicationsFor("application/x-mornik").size() == 3;
  })) << "the cached list never saw the new application";
}

TEST(Workspace, OpensWithTheDefaultOrAChosenApplicationAndReportsLaunchFailures) {
  auto workspace = Workspace::makeDesktop({});
  const fs::path file = makeFile("b.mornik");
  ASSERT_TRUE(workspace->open(URL::fileURL(file.string())).isSuccess());
  EXPECT_TRUE(waitForRecord("viewer", file.string()));
  const fs::path apps = test::desktopRoot() / "data/applications";
  ASSERT_TRUE(
      workspace->openWith(apps / "other.desktop", {URL::fileURL(file.string())}).isSuccess());
  EXPECT_TRUE(waitForRecord("other", file.string()));

  for (const char* bad : {"broken.desktop", "missing.desktop"}) {  // Exec missing; no file
    const auto refused = workspace->openWith(apps / bad, {URL::fileURL(file.string())});
    ASSERT_TRUE(refused.isFailure());
    EXPECT_EQ(refused.error().localizedDescription(),
              "not an application: " + (apps / bad).string());
  }
  const auto noApp = workspace->open(URL::fileURL(makeFile("c.unknown-type-xyz").string()));
  ASSERT_TRUE(noApp.isFailure());
  EXPECT_EQ(noApp.error().localizedDescription().rfind("cannot open file://", 0), 0u);
}

TEST(Workspace, RevealsThroughTheFileManagerService) {
  MORNIK_NEED_BUS();
  test::FakeService service;
  ASSERT_TRUE(service.ready());
  auto workspace = Workspace::makeDesktop({});
  const fs::path file = makeFile("d.txt");
  const std::string launched = record("viewer");
  ASSERT_TRUE(workspace->reveal({file}).isSuccess());
  ASSERT_TRUE(workspace->openFolder(file.parent_path()).isSuccess());
  ASSERT_TRUE(workspace->showProperties({file}).isSuccess());
  const std::string calls = record("service");
  EXPECT_NE(calls.find("FileManager1.ShowItems ['file://" + file.string() + "']"),
            std::string::npos)
      << calls;
  EXPECT_NE(calls.find("FileManager1.ShowFolders ['file://" + file.parent_path().string() + "']"),
            std::string::npos);
  EXPECT_NE(calls.find("FileManager1.ShowItemProperties"), std::string::npos);
  EXPECT_EQ(record("viewer"), launched);  // nothing was launched
}

TEST(Workspace, WithoutAFileManagerOpensTheContainingFolder) {
  const fs::path file = makeFile("e.txt");
  auto workspace = Workspace::makeDesktop({});
  ASSERT_TRUE(workspace->reveal({file}).isSuccess());  // nobody owns FileManager1
  EXPECT_TRUE(waitForRecord("viewer", file.parent_path().string()));
  test::ScopedEnv noBus("DBUS_SESSION_BUS_ADDRESS", nullptr);
  ASSERT_TRUE(workspace->showProperties({file}).isSuccess());
}

TEST(Workspace, AFileManagerThatNeverAnswersIsAFailureNotAHang) {
  MORNIK_NEED_BUS();
  test::FakeService service({"--hang"});
  ASSERT_TRUE(service.ready());
  auto workspace = Workspace::makeDesktop({.busTimeoutMs = 300});
  const auto revealed = workspace->reveal({makeFile("f.txt")});
  ASSERT_TRUE(revealed.isFailure());
  EXPECT_EQ(revealed.error().localizedDescription(),
            "org.freedesktop.FileManager1 did not answer ShowItems within 300 ms");
}

TEST(Workspace, InsideASandboxGoesThroughThePortal) {
  MORNIK_NEED_BUS();
  const fs::path info = test::desktopRoot() / ".flatpak-info";
  EXPECT_EQ(detectSandbox(info), Sandbox::none);
  std::ofstream(info) << "[Application]\nname=org.example.Notes\n";
  ASSERT_EQ(detectSandbox(info), Sandbox::flatpak);
  EXPECT_EQ((test::ScopedEnv("SNAP", "/snap/notes/1"), detectSandbox("/none")), Sandbox::snap);
  test::FakeService service;
  ASSERT_TRUE(service.ready());
  auto workspace = Workspace::make(detectSandbox(info), {});
  const std::string launched = record("viewer");
  const fs::path file = makeFile("g.mornik");
  const auto opened = workspace->open(URL::fileURL(file.string()));
  ASSERT_TRUE(opened.isSuccess()) << opened.error().localizedDescription();
  ASSERT_TRUE(workspace->open(*URL::parse("https://example.org/x")).isSuccess());
  ASSERT_TRUE(
      workspace->openWith("/any.desktop", {*URL::parse("https://example.org/y")}).isSuccess());
  ASSERT_TRUE(workspace->reveal({file}).isSuccess());
  const std::string calls = record("service");
  EXPECT_NE(calls.find("OpenURI.OpenFile " + file.string() + " {}"), std::string::npos) << calls;
  EXPECT_NE(calls.find("OpenURI.OpenURI https://example.org/x {}"), std::string::npos);
  EXPECT_NE(calls.find("OpenURI.OpenURI https://example.org/y {'ask': <true>}"), std::string::npos);
  EXPECT_NE(calls.find("OpenURI.OpenDirectory " + file.string()), std::string::npos);
  EXPECT_EQ(record("viewer"), launched);  // nothing launched from inside the sandbox
  EXPECT_EQ(workspace->openTerminal(file.parent_path()).error().localizedDescription(),
            "a terminal cannot be opened from inside a sandbox");
}

TEST(Workspace, OpensATerminalInTheFolder) {
  auto workspace = Workspace::makeDesktop({});
  const fs::path folder = test::desktopRoot() / "home";
  ASSERT_TRUE(workspace->openTerminal(folder).isSuccess());  // the fake x-terminal-emulator
  EXPECT_TRUE(waitForRecord("terminal", folder.string()));
  EXPECT_EQ(workspace->openTerminal(folder / "missing").error().localizedDescription(),
            "no such folder: " + (folder / "missing").string());
}

}  // namespace
}  // namespace mornik
