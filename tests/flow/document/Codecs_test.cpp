#include "mornik/flow/document/Codecs.hpp"

#include <cerrno>

#include <gtest/gtest.h>

#include "mornik/fileio/AtomicFile.hpp"
#include "mornik/fileio/FileContents.hpp"

#include "tests/support/ResultMatchers.hpp"
#include "tests/support/TempDir.hpp"

namespace mornik {
namespace {

using test::FailedWith;

const auto& gHome = test::useTemporaryHome();

struct Settings {
  int fontSize = 12;
  std::string theme = "light";
  std::vector<std::string> recent;
  friend bool operator==(const Settings&, const Settings&) = default;
};
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(Settings, theme, fontSize, recent)

const Settings kUnencodable{1, "\xFF", {}};  // not UTF-8: JSON error 316

TEST(Codecs, FilesHoldExactlyTheTextOrSortedPrettyJsonAndPassErrorsThrough) {
  test::TempDir dir;
  const auto url = asURL((dir / "note.txt").string());
  const auto text = Flow::plainText(url);
  ASSERT_TRUE(text.writeContent("no line feed added").isSuccess());
  EXPECT_EQ(readFileContents(url.path()).value(), "no line feed added");
  EXPECT_EQ(text.readContent().value(), "no line feed added");
  ASSERT_TRUE(writeAtomically(url.path(), std::string("\xFF\xFEh\0i\0", 6)).isSuccess());
  EXPECT_EQ(text.readContent().value(), "hi");
  ASSERT_TRUE(writeAtomically(url.path(), "latin \xE9").isSuccess());
  EXPECT_EQ(text.readContent().error().code(), EILSEQ);
  EXPECT_THAT(text.readContent(), FailedWith("can't read " + url.path() +
                                             " as text: Invalid or incomplete multibyte or wide "
                                             "character"));
  EXPECT_THAT(text.writeContent("bad \xC3"),
              FailedWith("can't write " + url.path() + ": the text is not valid UTF-8"));
  EXPECT_EQ(readFileContents(url.path()).value(), "latin \xE9");  // untouched

  // JSON: a missing file's error passes through; values go sorted and pretty.
  const auto json = asURL((dir / "settings.json").string());
  const auto io = Flow::jsonFileIO<Settings>(json);
  EXPECT_THAT(io.readContent(),
              FailedWith("can't read " + json.path() + ": No such file or directory"));
  const Settings settings{14, "dark/blue", {"a.txt"}};
  ASSERT_TRUE(io.writeContent(settings).isSuccess());
  EXPECT_EQ(readFileContents(json.path()).value(),
            "{\n  \"fontSize\": 14,\n  \"recent\": [\n    \"a.txt\"\n  ],\n"
            "  \"theme\": \"dark\\/blue\"\n}");
  EXPECT_EQ(io.readContent().value(), settings);

  EXPECT_EQ(io.writeContent(kUnencodable).error().code(), 316);
  EXPECT_EQ(io.readContent().value(), settings);  // the file stays
  // A file nested too deep to decode (a document over it used to die while starting).
  ASSERT_TRUE(writeAtomically(json.path(), std::string(100'000, '[')).isSuccess());
  EXPECT_THAT(Flow::jsonFileIO<Json>(json).readContent(),
              FailedWith("can't decode JSON nested deeper than 512 levels"));
}

TEST(Codecs, JsonICloudReadsBackAndPrintsFailures) {
  test::TempDir dir;
  auto store = UbiquitousKeyValueStore::atPath(dir / "kv.json");
  const auto io = Flow::jsonICloudIO<Settings>("prefs", store, true);
  testing::internal::CaptureStdout();
  EXPECT_THAT(io.readContent(), FailedWith("[NSUbiquitousKeyValueStore.string(forKey: prefs] nil "
                                           "for optional value of type <String>"));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "ERROR : [NSUbiquitousKeyValueStore.string(forKey: prefs] nil for optional value of "
            "type <String>\nCODE   : 0 @ FTW\n");

  const Settings settings{9, "sepia", {"x"}};
  ASSERT_TRUE(io.writeContent(settings).isSuccess());
  EXPECT_EQ(io.readContent().value(), settings);
  // With sync enabled the write went through to the file at once; without, not yet.
  ASSERT_TRUE(
      Flow::jsonICloudIO<Settings>("later", store, false).writeContent(settings).isSuccess());
  EXPECT_NE(readFileContents(dir / "kv.json").value().find("prefs"), std::string::npos);
  EXPECT_EQ(readFileContents(dir / "kv.json").value().find("later"), std::string::npos);

  testing::internal::CaptureStdout();
  EXPECT_EQ(io.writeContent(kUnencodable).error().code(), 316);
  EXPECT_EQ(
      testing::internal::GetCapturedStdout().rfind("ERROR : [json.exception.type_error.316]", 0),
      0U);
  // (The settings-store codec's reads: UserDefaultsJSON_test.cpp.)
  auto defaults = UserDefaults::atPath(dir / "defaults.json");
  EXPECT_EQ(
      Flow::jsonUserDefaultsIO<Settings>("s", defaults).writeContent(kUnencodable).error().code(),
      316);
  EXPECT_EQ(defaults->string("s"), std::nullopt);
}

}  // namespace
}  // namespace mornik
