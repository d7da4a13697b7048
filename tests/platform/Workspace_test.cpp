#include "mornik/platform/Workspace.hpp"

#include <fstream>
#include <set>

#include <gtest/gtest.h>

#include <gio/gio.h>

#include "mornik/platform/detail/Gio.hpp"

#include "tests/desktop/support/Desktop.hpp"

namespace mornik {
namespace {

namespace fs = std::filesystem;
using test::record;
using test::waitForRecord;

using test::homeFile;
fs::path applications() { return test::desktopRoot() / "data/applications"; }

TEST(Workspace, ListsTheDefaultApplicationFirstAndSeesNewOnes) {
  auto workspace = Workspace::makeDesktop({});
  EXPECT_EQ(workspace->contentTypeOf(homeFile("a.mornik")), "application/x-mornik");
  auto apps = workspace->applicationsFor("application/x-mornik");
  ASSERT_EQ(apps.size(), 2u);  // Broken's program is missing: the database leaves it out
  EXPECT_EQ(apps[0], (AppEntry{"viewer.desktop", applications() / "viewer.desktop", "Viewer",
                               "viewer-icon"}));
  EXPECT_TRUE(workspace->applicationsFor("application/x-nobody-opens-this").empty());

  // A newly installed application shows up in a later answer: the cache
  // follows the application database.
  std::ofstream(applications() / "late.desktop")
      << "[Desktop Entry]\nType=Application\nName=Late\nExec=true %U\n"
         "MimeType=application/x-mornik;\n";
  ASSERT_EQ(test::run({"update-desktop-database", applications().string()}).exitCode, 0);
  EXPECT_TRUE(test::waitFor([&] {
    return workspace->applicationsFor("application/x-mornik").size() == 3;
  })) << "the cached list never saw the new application";
}

TEST(Workspace, OpensFilesAndTerminalsAndReportsWhatCannotStart) {
  auto workspace = Workspace::makeDesktop({});
  const fs::path file = homeFile("b.mornik");
  const URL url = URL::fileURL(file.string());
  ASSERT_TRUE(workspace->open(url).isSuccess());
  EXPECT_TRUE(waitForRecord("viewer", file.string()));
  ASSERT_TRUE(workspace->openWith(applications() / "other.desktop", {url}).isSuccess());
  EXPECT_TRUE(waitForRecord("other", file.string()));
  for (const char* bad : {"broken.desktop", "missing.desktop"}) {  // Exec missing; no file
    EXPECT_EQ(workspace->openWith(applications() / bad, {url}).error().localizedDescription(),
              "not an application: " + (applications() / bad).string());
  }
  const auto noApp = workspace->open(URL::fileURL(homeFile("c.unknown-type-xyz").string()));
  EXPECT_EQ(noApp.error().localizedDescription().rfind("cannot open file://", 0), 0u);

  const fs::path folder = test::desktopRoot() / "home";
  ASSERT_TRUE(workspace->openTerminal(folder).isSuccess());  // the fake x-terminal-emulator
  EXPECT_TRUE(waitForRecord("terminal", folder.string()));
  EXPECT_EQ(workspace->openTerminal(folder / "missing").error().localizedDescription(),
            "no such folder: " + (folder / "missing").string());
}

TEST(Workspace, RevealsThroughTheFileManagerElseOpensTheFolderAndNeverHangs) {
  MORNIK_NEED_BUS();
  auto workspace = Workspace::makeDesktop({});
  // Nobody owns FileManager1, or there is no bus: the containing folder opens.
  const fs::path file = homeFile("revealed/d.mornik");
  ASSERT_TRUE(workspace->reveal({file}).isSuccess());
  EXPECT_TRUE(waitForRecord("viewer", file.parent_path().string()));
  const fs::path other = homeFile("properties/e.txt");
  {
    test::ScopedEnv noBus("DBUS_SESSION_BUS_ADDRESS", nullptr);
    ASSERT_TRUE(workspace->showProperties({other}).isSuccess());
    EXPECT_TRUE(waitForRecord("viewer", other.parent_path().string()));
  }
  {
    test::FakeService service;
    ASSERT_TRUE(service.ready());
    const std::string launched = record("viewer");
    ASSERT_TRUE(workspace->reveal({file}).isSuccess());
    ASSERT_TRUE(workspace->openFolder(file.parent_path()).isSuccess());
    ASSERT_TRUE(workspace->showProperties({file}).isSuccess());
    // Inside a sandbox everything goes through the portal.
    const fs::path info = test::desktopRoot() / ".flatpak-info";
    EXPECT_EQ(detectSandbox(info), Sandbox::none);
    std::ofstream(info) << "[Application]\nname=org.example.Notes\n";
    ASSERT_EQ(detectSandbox(info), Sandbox::flatpak);
    EXPECT_EQ((test::ScopedEnv("SNAP", "/snap/notes/1"), detectSandbox("/none")), Sandbox::snap);
    auto sandboxed = Workspace::make(detectSandbox(info), {});
    ASSERT_TRUE(sandboxed->open(URL::fileURL(file.string())).isSuccess());
    ASSERT_TRUE(sandboxed->open(*URL::parse("https://example.org/x")).isSuccess());
    ASSERT_TRUE(
        sandboxed->openWith("/any.desktop", {*URL::parse("https://example.org/y")}).isSuccess());
    ASSERT_TRUE(sandboxed->reveal({file}).isSuccess());
    EXPECT_EQ(sandboxed->openTerminal(file.parent_path()).error().localizedDescription(),
              "a terminal cannot be opened from inside a sandbox");

    const std::string calls = record("service");
    const std::string uri = "['file://" + file.string() + "']";
    for (const std::string& call : std::vector<std::string>{
             "FileManager1.ShowItems " + uri, "FileManager1.ShowItemProperties " + uri,
             "FileManager1.ShowFolders ['file://" + file.parent_path().string() + "']",
             "OpenURI.OpenFile " + file.string() + " {}",
             "OpenURI.OpenURI https://example.org/x {}",
             "OpenURI.OpenURI https://example.org/y {'ask': <true>}",
             "OpenURI.OpenDirectory " + file.string()}) {
      EXPECT_NE(calls.find(call), std::string::npos) << call << " not in:\n" << calls;
    }
    EXPECT_EQ(record("viewer"), launched);  // nothing was launched
    std::set<std::string> senders;          // both adapters' calls, over the one connection
    std::stringstream lines(calls);
    for (std::string sender, call; lines >> sender && std::getline(lines, call);) {
      if (sender != "ready") senders.insert(sender);
    }
    EXPECT_EQ(senders.size(), 1u) << calls;
  }
  test::FakeService hanging({"--hang"});
  ASSERT_TRUE(hanging.ready());
  EXPECT_EQ(
      Workspace::makeDesktop({.busTimeoutMs = 300})->reveal({file}).error().localizedDescription(),
      "org.freedesktop.FileManager1 did not answer ShowItems within 300 ms");
}

// The connection the D-Bus adapters share, once the bus closed it (here: a
// bus of the test's own ends), is made anew for the next request.
TEST(Workspace, ConnectsAnewWhenTheBusClosedTheConnection) {
  MORNIK_NEED_PROGRAM("dbus-daemon");
  if (test::threadsNamed("gdbus") > 0) GTEST_SKIP() << "connected already: run it alone";
  auto workspace = Workspace::makeDesktop({});
  const fs::path file = test::homeFile("bus/f.mornik");
  GDBusConnection* first = nullptr;
  for (const char* name : {"bus-a", "bus-b"}) {
    if (first != nullptr) {  // its end announced where it was made, as in a GTK application
      ASSERT_TRUE(test::waitFor([&] {
        g_main_context_iteration(nullptr, FALSE);
        return g_dbus_connection_is_closed(first) != FALSE;
      }));
    }
    const std::string address = "unix:path=" + (test::desktopRoot() / name).string();
    test::Background bus({"dbus-daemon", "--session", "--nofork", "--address=" + address});
    ASSERT_TRUE(test::waitFor([&] { return fs::exists(test::desktopRoot() / name); }));
    test::ScopedEnv useIt("DBUS_SESSION_BUS_ADDRESS", address.c_str());
    test::FakeService fileManager;
    ASSERT_TRUE(fileManager.ready());
    ASSERT_TRUE(workspace->reveal({file}).isSuccess());
    EXPECT_NE(record("service").find("ShowItems"), std::string::npos) << record("service");
    Error why = detail::noSessionBus();
    if (first == nullptr) first = detail::sessionBus(why);
  }
  g_object_unref(first);
}

}  // namespace
}  // namespace mornik
