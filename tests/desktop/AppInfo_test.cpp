#include "mornik/desktop/AppInfo.hpp"

#include <gtest/gtest.h>

#include "mornik/settings/AppIdentity.hpp"

#include "tests/desktop/support/Desktop.hpp"

namespace mornik {
namespace {

TEST(AppInfo, TextValuesOrThePlaceholderFromTheInfoFileOrAsSet) {
  const Bundle bundle(nlohmann::json{{"CFBundleName", 42},
                                     {"CFBundleShortVersionString", "2.1"},
                                     {"NSHumanReadableCopyright", "© 2024 Me\\nAll rights"}});
  EXPECT_EQ(appName(bundle), kInfoPlaceholder);   // a number, not text
  EXPECT_EQ(appBuild(bundle), kInfoPlaceholder);  // missing
  EXPECT_EQ(appVersionLong(bundle), "2.1");
  EXPECT_EQ(copyright(bundle), "© 2024 Me\nAll rights");
  EXPECT_EQ(copyright(Bundle(nlohmann::json())), kInfoPlaceholder);  // no dictionary

  // The running application's: the info file beside the executable, until set.
  const auto file = AppIdentity::infoFilePath();
  ASSERT_EQ(file.filename(), "mornik_desktop_tests.info.json");
  test::writeFile(file, R"({"CFBundleName": "Desktop tests", "CFBundleVersion": "77"})");
  const Bundle main = Bundle::main();
  std::filesystem::remove(file);
  EXPECT_EQ(appName(main), "Desktop tests");
  EXPECT_EQ(appBuild(main), "77");
  AppIdentity::setInfo(nlohmann::json{{"CFBundleName", "Set"}});
  EXPECT_EQ(appName(Bundle::main()), "Set");
  EXPECT_EQ(appBuild(Bundle::main()), kInfoPlaceholder);
}

}  // namespace
}  // namespace mornik
