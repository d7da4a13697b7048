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

  // Absent arguments, missing files: not even the clearing.
  ASSERT_TRUE(memory->setString("kept").isSuccess());
  Clipboard::set(std::optional<std::string>());
  Clipboard::set(std::optional<URL>());
  Clipboard::setImageFrom(std::nullopt);
  Clipboard::copyFileContent(std::optional<std::string>());
  Clipboard::copyFilesContent({URL::fileURL("/no/such/file"), URL::fileURL("/no/such/other")});
  Clipboard::setImageFrom(URL::fileURL("/no/such.png"));
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

  Clipboard::clear();
  EXPECT_TRUE(memory->types().empty());
  setOutputSink(nullptr);
  Pasteboard::setGeneral(nullptr);
}

// An image is one that decodes whole; it goes on the clipboard as PNG (and
// as itself). Anything else leaves the clipboard as it was.
TEST(Clipboard, TakesImagesThatDecodeAndOnlyThose) {
  auto memory = std::make_shared<MemoryPasteboard>();
  Pasteboard::setGeneral(memory);
  const std::string png(  // 1 x 1, grey
      "\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\x01\0\0\0\x01\x08\0\0\0\0\x3a\x7e\x9b\x55\0\0\0\x0a"
      "IDAT\x78\x9c\x63\x68\0\0\0\x82\0\x81\x77\xcd\x72\xb6\0\0\0\0IEND\xae\x42\x60\x82",
      67);
  std::string corrupt = png;
  corrupt[43] = '\x55';  // compressed pixels that fail their checksum
  // 1 x 1, grey: a header, eight tags (2 bytes tag, 2 type, 4 count, 4 value), the pixel.
  const std::string tiff(
      "II*\0\x08\0\0\0\x08\0"
      "\0\x01\x03\0\x01\0\0\0\x01\0\0\0\x01\x01\x03\0\x01\0\0\0\x01\0\0\0"
      "\x02\x01\x03\0\x01\0\0\0\x08\0\0\0\x03\x01\x03\0\x01\0\0\0\x01\0\0\0"
      "\x06\x01\x03\0\x01\0\0\0\x01\0\0\0\x11\x01\x04\0\x01\0\0\0\x6e\0\0\0"
      "\x16\x01\x03\0\x01\0\0\0\x01\0\0\0\x17\x01\x04\0\x01\0\0\0\x01\0\0\0"
      "\0\0\0\0\x80",
      111);
  const std::string svg =
      "<svg xmlns='http://www.w3.org/2000/svg' width='2' height='2'><rect width='2' "
      "height='2'/></svg>";
  const std::vector<std::string> kept{std::string(Pasteboard::kPlainText)};
  const struct {
    const char* name;
    std::string bytes;
    std::vector<std::string> types;  // none: the clipboard keeps what it had
  } cases[] = {
      {"dot.png", png, {"image/png"}},
      {"cut.png", png.substr(0, 45), {}},
      {"bad.png", corrupt, {}},
      {"dot.tif", tiff, {"image/png", "image/tiff"}},
      {"dot.svg", svg, {"image/png", "image/svg+xml"}},
      {"words.txt", "words", {}},
  };
  for (const auto& each : cases) {
    SCOPED_TRACE(each.name);
    ASSERT_TRUE(memory->clearContents().isSuccess());
    ASSERT_TRUE(memory->setString("kept").isSuccess());
    const fs::path file = test::desktopRoot() / each.name;
    test::writeFile(file, each.bytes);
    Clipboard::setImageFrom(URL::fileURL(file.string()));
    EXPECT_EQ(memory->types(), each.types.empty() ? kept : each.types);
    if (each.types.empty()) continue;
    EXPECT_EQ(text(memory->data(each.types.back())), each.bytes);  // as itself
    EXPECT_EQ(text(memory->data(Pasteboard::kPng)).substr(0, 8), png.substr(0, 8));
  }
  Pasteboard::setGeneral(nullptr);
}

}  // namespace
}  // namespace mornik
