#include "mornik/desktop/Clipboard.hpp"

#include <fstream>

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

class ClipboardTest : public testing::Test {
 protected:
  void SetUp() override {
    Pasteboard::setGeneral(memory_);
    setOutputSink([this](std::string_view line) { printed_.emplace_back(line); });
  }
  void TearDown() override {
    setOutputSink(nullptr);
    Pasteboard::setGeneral(nullptr);
  }
  std::shared_ptr<MemoryPasteboard> memory_ = std::make_shared<MemoryPasteboard>();
  std::vector<std::string> printed_;
};

TEST_F(ClipboardTest, AbsentArgumentsLeaveTheClipboardAlone) {
  ASSERT_TRUE(memory_->setString("kept").isSuccess());
  Clipboard::set(std::optional<std::string>());
  Clipboard::set(std::optional<URL>());
  Clipboard::setImageFrom(std::nullopt);
  Clipboard::copyFileContent(std::optional<std::string>());
  Clipboard::copyFilesContent({URL::fileURL("/no/such/file"), URL::fileURL("/no/such/other")});
  Clipboard::setImageFrom(URL::fileURL((test::desktopRoot() / "not-an-image").string()));
  EXPECT_EQ(memory_->clearCount(), 0);
  EXPECT_EQ(memory_->string(), "kept");
  EXPECT_TRUE(printed_.empty());
}

TEST_F(ClipboardTest, EachWriteClearsFirst) {
  Clipboard::set(std::optional<URL>(*URL::parse("https://example.org/a")));
  Clipboard::set(std::optional<std::string>(""));
  EXPECT_EQ(memory_->clearCount(), 2);
  EXPECT_EQ(memory_->types(), std::vector<std::string>{"text/plain;charset=utf-8"});
  EXPECT_EQ(memory_->string(), "");
  Clipboard::set(std::optional<URL>(*URL::parse("https://example.org/a")));
  EXPECT_EQ(text(memory_->data(Pasteboard::kUriList)), "https://example.org/a\r\n");
  Clipboard::clear();
  EXPECT_TRUE(memory_->types().empty());
}

TEST_F(ClipboardTest, FilesAndImages) {
  const fs::path real = test::desktopRoot() / "home" / "real.txt";
  std::ofstream(real) << "x";
  fs::create_symlink(real, test::desktopRoot() / "home" / "link.txt");
  Clipboard::copyFileContent(
      std::optional<std::string>((test::desktopRoot() / "home/link.txt").string()));
  const std::string reference = "file://" + real.string();
  EXPECT_EQ(printed_, std::vector<std::string>{reference});  // the link resolved
  EXPECT_EQ(text(memory_->data(Pasteboard::kUriList)), reference + "\r\n");
  EXPECT_EQ(text(memory_->data("x-special/gnome-copied-files")), "copy\n" + reference);

  Clipboard::copyFilesContent({URL::fileURL("/no/such"), URL::fileURL(real.string()),
                               URL::fileURL(test::desktopRoot().string())});
  EXPECT_EQ(text(memory_->data(Pasteboard::kUriList)),
            reference + "\r\nfile://" + test::desktopRoot().string() + "/\r\n");

  const fs::path png = test::desktopRoot() / "dot.png";
  const std::string pngBytes = std::string("\x89PNG\r\n\x1a\n", 8) + "rest";
  std::ofstream(png, std::ios::binary) << pngBytes;
  Clipboard::setImageFrom(URL::fileURL(png.string()));
  EXPECT_EQ(memory_->types(), std::vector<std::string>{"image/png"});
  EXPECT_EQ(text(memory_->data(Pasteboard::kPng)), pngBytes);
}

}  // namespace
}  // namespace mornik
