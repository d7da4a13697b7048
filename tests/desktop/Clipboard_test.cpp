#include "mornik/desktop/Clipboard.hpp"

#include <gtest/gtest.h>

#include "mornik/base/Output.hpp"
#include "mornik/platform/Pasteboard.hpp"

#include "tests/desktop/support/Desktop.hpp"

namespace mornik {
namespace {

namespace fs = std::filesystem;

std::string text(const std::optional<Pasteboard::Bytes>& bytes) {
  return bytes ? std::string(bytes->begin(), bytes->end()) : "(none)";
}

TEST(Clipboard, WritesEachRepresentationAfterClearingAndNothingForNothing) {
  auto memory = std::make_shared<MemoryPasteboard>();
  Pasteboard::setGeneral(memory);
  std::vector<std::string> printed;
  setOutputSink([&](std::string_view line) { printed.emplace_back(line); });
  Clipboard::set(std::optional<URL>(*URL::parse("https://example.org/a")));
  EXPECT_EQ(text(memory->data(Pasteboard::kUriList)), "https://example.org/a\r\n");
  Clipboard::set(std::optional<std::string>(""));
  EXPECT_EQ(memory->clearCount(), 2);
  EXPECT_EQ(memory->types(), std::vector<std::string>{"text/plain;charset=utf-8"});
  EXPECT_EQ(memory->string(), "");

  // Absent arguments, missing files, a file that is not an image: not even
  // the clearing.
  test::writeFile(test::desktopRoot() / "not-an-image", "words");
  ASSERT_TRUE(memory->setString("kept").isSuccess());
  Clipboard::set(std::optional<std::string>());
  Clipboard::set(std::optional<URL>());
  Clipboard::setImageFrom(std::nullopt);
  Clipboard::copyFileContent(std::optional<std::string>());
  Clipboard::copyFilesContent({URL::fileURL("/no/such/file"), URL::fileURL("/no/such/other")});
  Clipboard::setImageFrom(URL::fileURL((test::desktopRoot() / "not-an-image").string()));
  EXPECT_EQ(memory->clearCount(), 2);
  EXPECT_EQ(memory->string(), "kept");
  EXPECT_TRUE(printed.empty());

  // Files: the link resolved, printed, and in the file managers' form too.
  const fs::path real = test::homeFile("real.txt");
  fs::create_symlink(real, test::desktopRoot() / "home" / "link.txt");
  Clipboard::copyFileContent(
      std::optional<std::string>((test::desktopRoot() / "home/link.txt").string()));
  const std::string reference = "file://" + real.string();
  EXPECT_EQ(printed, std::vector<std::string>{reference});
  EXPECT_EQ(text(memory->data(Pasteboard::kUriList)), reference + "\r\n");
  EXPECT_EQ(text(memory->data("x-special/gnome-copied-files")), "copy\n" + reference);
  Clipboard::copyFilesContent({URL::fileURL("/no/such"), URL::fileURL(real.string()),
                               URL::fileURL(test::desktopRoot().string())});
  EXPECT_EQ(text(memory->data(Pasteboard::kUriList)),
            reference + "\r\nfile://" + test::desktopRoot().string() + "/\r\n");

  const std::string pngBytes = std::string("\x89PNG\r\n\x1a\n", 8) + "rest";
  test::writeFile(test::desktopRoot() / "dot.png", pngBytes);
  Clipboard::setImageFrom(URL::fileURL((test::desktopRoot() / "dot.png").string()));
  EXPECT_EQ(memory->types(), std::vector<std::string>{"image/png"});
  EXPECT_EQ(text(memory->data(Pasteboard::kPng)), pngBytes);
  Clipboard::clear();
  EXPECT_TRUE(memory->types().empty());
  setOutputSink(nullptr);
  Pasteboard::setGeneral(nullptr);
}

}  // namespace
}  // namespace mornik
