#include "mornik/platform/FileDialogs.hpp"

#include <future>

#include <gtest/gtest.h>

#include "tests/desktop/support/Desktop.hpp"

namespace mornik {
namespace {

namespace fs = std::filesystem;
using Paths = std::vector<fs::path>;

// What the portal is asked is checked with MacOsDialogs; here, its answers.
TEST(FileDialogs, PortalCancellationAnswersNone) {
  MORNIK_NEED_BUS();
  test::FakeService cancelling({"--response", "1"});
  ASSERT_TRUE(cancelling.ready());
  ASSERT_TRUE(FileDialogs::shared().isSuccess());
  auto cancelled = FileDialogs::shared().value()->run({});
  ASSERT_TRUE(cancelled.isSuccess()) << cancelled.error().localizedDescription();
  EXPECT_EQ(cancelled.value(), std::nullopt);
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
  // The person: finds the dialog (the name is filled in) and confirms, or
  // leaves it; pressing again until it is gone, as a loaded machine may map
  // the window before it takes keys.
  const auto person = [](const std::string& title, const std::string& key, auto& dialog) {
    for (int attempt = 0; attempt < 60; ++attempt) {
      test::run({"timeout", "5", "xdotool", "search", "--name", title, "windowfocus", "--sync",
                 "%1", "key", key});
      if (dialog.wait_for(std::chrono::seconds(1)) == std::future_status::ready) return;
    }
    test::run({"pkill", "-P", std::to_string(::getpid()), "-x", "zenity"});  // ours only
  };
  auto shown = std::async(std::launch::async, [&] { return dialogs.value()->run(request); });
  person("Pick one", "Return", shown);
  auto answer = shown.get();
  ASSERT_TRUE(answer.isSuccess()) << answer.error().localizedDescription();
  EXPECT_EQ(answer.value(), std::optional<Paths>(Paths{file}));

  request.title = "Pick another";
  auto escaped = std::async(std::launch::async, [&] { return dialogs.value()->run(request); });
  person("Pick another", "Escape", escaped);
  auto cancelled = escaped.get();
  ASSERT_TRUE(cancelled.isSuccess());
  EXPECT_EQ(cancelled.value(), std::nullopt);
}

// No dialog at all: MacOsDialogs_test.cpp.

}  // namespace
}  // namespace mornik
