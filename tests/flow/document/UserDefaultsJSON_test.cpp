#include "mornik/flow/document/UserDefaultsJSON.hpp"

#include <atomic>

#include <gtest/gtest.h>

#include "mornik/fileio/AtomicFile.hpp"

#include "tests/support/RunLoopWait.hpp"
#include "tests/support/TempDir.hpp"

namespace mornik {
namespace {

const auto& gHome = test::useTemporaryHome();

struct Layout {
  int columns = 1;
  std::vector<std::string> hidden;
  friend bool operator==(const Layout&, const Layout&) = default;
};
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(Layout, columns, hidden)

TEST(UserDefaultsJSON, AssignmentsAreStoredAndAnnouncedAndANewPropertyReadsThem) {
  test::TempDir dir;
  auto defaults = UserDefaults::atPath(dir / "defaults.json");
  testing::internal::CaptureStdout();
  UserDefaultsJSON<Layout> layout(Layout{2, {}}, "layout", defaults);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "UserDefaultsJSON: ERROR [userDefaults.string(forKey: layout] nil for optional value "
            "of type <String>\n");
  EXPECT_EQ(layout.get(), (Layout{2, {}}));
  std::atomic<int> notifications{0};
  Subscription subscription = layout.objectWillChange().subscribe([&] { ++notifications; });

  layout = Layout{3, {"sidebar"}};
  EXPECT_EQ(defaults->string("layout"),
            "{\n  \"columns\": 3,\n  \"hidden\": [\n    \"sidebar\"\n  ]\n}");
  const UserDefaultsJSON<Layout> copy = layout;  // shares the cell
  layout.modify([](Layout& l) { l.hidden.push_back("toolbar"); });
  EXPECT_EQ(copy.get(), (Layout{3, {"sidebar", "toolbar"}}));
  Binding<Layout> binding = layout.binding();
  binding.set(Layout{4, {}});
  EXPECT_EQ(binding.get(), (Layout{4, {}}));
  ASSERT_TRUE(test::waitFor([&] { return notifications == 3; }));

  testing::internal::CaptureStdout();
  const UserDefaultsJSON<Layout> reopened(Layout{}, "layout",
                                          UserDefaults::atPath(dir / "defaults.json"));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(reopened.get(), (Layout{4, {}}));
  EXPECT_EQ(reopened.initialValue(), Layout{});

  // A store that can neither read nor write: a failed write is silent, and
  // the value changes regardless.
  ASSERT_TRUE(writeAtomically(dir / "file", "a file, not a folder").isSuccess());
  auto unwritable = UserDefaults::atPath(dir / "file" / "defaults.json");
  testing::internal::CaptureStdout();
  UserDefaultsJSON<Layout> failing(Layout{}, "layout", unwritable);
  failing = Layout{5, {}};
  failing.binding().set(Layout{6, {}});
  // The store cannot read its file either: its error is the one printed.
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "UserDefaultsJSON: ERROR can't read " +
                                                        (dir / "file" / "defaults.json").string() +
                                                        ": Not a directory\n");
  EXPECT_EQ(failing.get(), (Layout{6, {}}));
  EXPECT_EQ(unwritable->string("layout"), std::nullopt);
}

}  // namespace
}  // namespace mornik
