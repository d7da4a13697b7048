#include "mornik/desktop/MacOsDialogs.hpp"

#include <gtest/gtest.h>

#include "mornik/base/Output.hpp"
#include "mornik/platform/FileDialogs.hpp"
#include "mornik/settings/AppIdentity.hpp"

#include "tests/desktop/support/Desktop.hpp"

namespace mornik {
namespace {

using Setting = MacOsDlgSettings;

TEST(MacOsDialogs, OptionsReachTheDesktopsDialog) {
  MORNIK_NEED_BUS();
  const std::string home = (test::desktopRoot() / "home").string();
  test::FakeService portal({"--uri", "file://" + home + "/a", "--uri", "file://" + home + "/b"});
  ASSERT_TRUE(portal.ready());
  AppIdentity::setTranslator([](std::string_view text) { return "<" + std::string(text) + ">"; });

  EXPECT_EQ(MacOsDialogs::open("Choose", {Setting::canChooseDirs}, URL::fileURL(home, true), "Use"),
            URL::fileURL(home + "/a"));
  EXPECT_EQ(MacOsDialogs::openMany("Several", {Setting::canChooseFiles, Setting::canChooseDirs},
                                   std::nullopt, std::nullopt),
            (std::vector<URL>{URL::fileURL(home + "/a"), URL::fileURL(home + "/b")}));
  EXPECT_EQ(MacOsDialogs::save("Keep", URL::fileURL(home, true), "out.txt",
                               {MacOsSaveDlgSettings::showsHiddenFiles}),
            URL::fileURL(home + "/a"));
  AppIdentity::setTranslator(nullptr);
  const auto cancelled = MacOsDialogs::openR("Cancelled", {Setting::canChooseFiles}, {}, {});
  EXPECT_EQ(cancelled.value(), std::nullopt);  // not a failure
  // Nothing can be chosen: no dialog at all.
  EXPECT_EQ(MacOsDialogs::open("Nothing", {Setting::showsHiddenFiles}, std::nullopt, std::nullopt),
            std::nullopt);

  std::vector<std::string> calls;
  std::stringstream lines(test::record("service"));
  for (std::string line; std::getline(lines, line);) calls.push_back(line);
  ASSERT_EQ(calls.size(), 5u);  // ready, then the four dialogs
  EXPECT_NE(calls[1].find("'<Choose>'"), std::string::npos);
  EXPECT_NE(calls[1].find("'accept_label': <'Use'>"), std::string::npos);
  EXPECT_NE(calls[1].find("'directory': <true>"), std::string::npos) << calls[1];
  EXPECT_NE(calls[1].find("'current_folder': <b'" + home + "'>"), std::string::npos);
  EXPECT_NE(calls[2].find("'multiple': <true>"), std::string::npos);
  EXPECT_NE(calls[2].find("'directory': <false>"), std::string::npos);  // files when both
  EXPECT_NE(calls[3].find("SaveFile ('', '<Keep>'"), std::string::npos);
  EXPECT_NE(calls[3].find("'current_name': <'out.txt'>"), std::string::npos);

  // An adapter of the application's own gets the options the portal cannot take.
  auto own = std::make_shared<MemoryFileDialogs>();
  FileDialogs::setShared(own);
  MacOsDialogs::open("All",
                     {Setting::canChooseFiles, Setting::canChooseDirs, Setting::showsHiddenFiles},
                     std::nullopt, std::nullopt);
  FileDialogs::setShared(nullptr);
  const FileDialogs::Request asked = own->requests().at(0);
  EXPECT_TRUE(asked.chooseFiles && asked.chooseFolders && asked.showHidden);
}

TEST(MacOsDialogs, NoDialogPrintsWhyAndAnswersNone) {
  test::ScopedEnv noX("DISPLAY", nullptr);
  FileDialogs::setShared(nullptr);  // chosen anew, now
  std::vector<std::string> printed;
  setOutputSink([&](std::string_view line) { printed.emplace_back(line); });
  EXPECT_EQ(MacOsDialogs::open("Choose", {Setting::canChooseFiles}, std::nullopt, std::nullopt),
            std::nullopt);
  setOutputSink(nullptr);
  EXPECT_EQ(printed, std::vector<std::string>{
                         "no file dialog: neither the desktop portal nor zenity is available"});
  EXPECT_TRUE(MacOsDialogs::saveR("Keep", std::nullopt, "x", {}).isFailure());
}

}  // namespace
}  // namespace mornik
