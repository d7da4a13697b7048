#include "mornik/platform/FileDialogs.hpp"

#include <future>

#include <gtest/gtest.h>

#include "tests/desktop/support/Desktop.hpp"

namespace mornik {
namespace {

namespace fs = std::filesystem;
using Paths = std::vector<fs::path>;

TEST(FileDialogs, PortalAnswersAndCancellations) {
  MORNIK_NEED_BUS();
  const fs::path chosen = test::desktopRoot() / "home" / "chosen.txt";
  {
    test::FakeService portal({"--uri", "file://" + chosen.string()});
    ASSERT_TRUE(portal.ready());
    ASSERT_TRUE(FileDialogs::shared().isSuccess());
    FileDialogs::Request request;
    request.title = "Import";
    request.acceptLabel = "Take";
    request.folder = test::desktopRoot() / "home";
    request.chooseFolders = true;
    auto answer = FileDialogs::shared().value()->run(request);
    ASSERT_TRUE(answer.isSuccess()) << answer.error().localizedDescription();
    EXPECT_EQ(answer.value(), std::optional<Paths>(Paths{chosen}));
    const std::string call = test::record("service");
    for (const std::string& part : std::vector<std::string>{"FileChooser.OpenFile ('', 'Import'", "'accept_label': <'Take'>",
                                   "'directory': <true>", "'multiple': <false>",
                                   "'current_folder': <b'" + request.folder.string() + "'>"}) {
      EXPECT_NE(call.find(part), std::string::npos) << part << " not in " << call;
    }
  }
  test::FakeService cancelling({"--response", "1"});
  ASSERT_TRUE(cancelling.ready());
  FileDialogs::Request save;
  save.save = true;
  save.fileName = "report.txt";
  auto cancelled = FileDialogs::makePortal()->run(save);
  ASSERT_TRUE(cancelled.isSuccess());
  EXPECT_EQ(cancelled.value(), std::nullopt);
  EXPECT_NE(test::record("service").find("FileChooser.SaveFile"), std::string::npos);
  EXPECT_NE(test::record("service").find("'current_name': <'report.txt'>"), std::string::npos);
}

TEST(FileDialogs, APortalThatNeverAnswersFailsInTime) {
  MORNIK_NEED_BUS();
  test::FakeService hanging({"--hang"});
  ASSERT_TRUE(hanging.ready());
  auto answer = FileDialogs::makePortal(300)->run({});
  ASSERT_TRUE(answer.isFailure());
  EXPECT_EQ(answer.error().localizedDescription(),
            "org.freedesktop.portal.Desktop did not answer OpenFile within 300 ms");
}

TEST(FileDialogs, ZenityWithoutAPortalDrivenByAPerson) {
  MORNIK_NEED_DISPLAY();
  MORNIK_NEED_PROGRAM("zenity");
  MORNIK_NEED_PROGRAM("xdotool");
  auto dialogs = FileDialogs::shared();  // no portal on this bus
  ASSERT_TRUE(dialogs.isSuccess()) << dialogs.error().localizedDescription();
  const fs::path file = test::desktopRoot() / "home" / "picked.txt";
  FileDialogs::Request request;
  request.title = "Pick one";
  request.save = true;
  request.folder = file.parent_path();
  request.fileName = file.filename();
  auto shown = std::async(std::launch::async, [&] { return dialogs.value()->run(request); });
  // The person: finds the dialog, where the name is filled in, and confirms.
  const auto pressed = test::run({"timeout", "20", "xdotool", "search", "--sync", "--name",
                                  "Pick one", "windowfocus", "--sync", "%1", "sleep", "0.5", "key",
                                  "Return"});
  EXPECT_EQ(pressed.exitCode, 0);
  auto answer = shown.get();
  ASSERT_TRUE(answer.isSuccess()) << answer.error().localizedDescription();
  EXPECT_EQ(answer.value(), std::optional<Paths>(Paths{file}));

  request.title = "Pick another";
  auto escaped = std::async(std::launch::async, [&] { return dialogs.value()->run(request); });
  EXPECT_EQ(test::run({"timeout", "20", "xdotool", "search", "--sync", "--name", "Pick another", "windowfocus",
                       "--sync", "%1", "sleep", "0.5", "key", "Escape"})
                .exitCode,
            0);
  auto cancelled = escaped.get();
  ASSERT_TRUE(cancelled.isSuccess());
  EXPECT_EQ(cancelled.value(), std::nullopt);
}

TEST(FileDialogs, NoDialogAtAll) {
  test::ScopedEnv noX("DISPLAY", nullptr);
  auto none = FileDialogs::shared();  // no portal on this bus, no display for zenity
  ASSERT_TRUE(none.isFailure());
  EXPECT_EQ(none.error().localizedDescription(),
            "no file dialog: neither the desktop portal nor zenity is available");
}

}  // namespace
}  // namespace mornik
