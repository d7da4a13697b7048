#include "mornik/platform/Pasteboard.hpp"

#include <gtest/gtest.h>

#include "tests/desktop/support/Desktop.hpp"

namespace mornik {
namespace {

using Bytes = Pasteboard::Bytes;

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::shared_ptr<Pasteboard> x11() {
  auto made = Pasteboard::makeX11();
  EXPECT_TRUE(made.isSuccess()) << made.error().localizedDescription();
  return made.isSuccess() ? made.value() : nullptr;
}

TEST(Pasteboard, X11ExchangesWithOtherProgramsLargeOrSmall) {
  MORNIK_NEED_DISPLAY();
  MORNIK_NEED_PROGRAM("xclip");
  auto pasteboard = x11();
  ASSERT_TRUE(pasteboard);
  const auto paste = [](const std::string& target) {
    return test::run({"xclip", "-o", "-selection", "clipboard", "-t", target}).output;
  };
  // xclip stays in the background to serve the selection until another
  // owner takes it.
  ASSERT_EQ(test::run({"xclip", "-i", "-selection", "clipboard"}, "from xclip").exitCode, 0);
  EXPECT_TRUE(test::waitFor([&] { return pasteboard->string() == "from xclip"; }));
  const auto types = pasteboard->types();
  EXPECT_NE(std::find(types.begin(), types.end(), "UTF8_STRING"), types.end());

  // Now we own it, with two representations.
  ASSERT_TRUE(pasteboard->setString("grüße").isSuccess());
  ASSERT_TRUE(pasteboard->setData(Pasteboard::kUriList, bytesOf("file:///tmp/a\r\n")).isSuccess());
  const std::string targets = paste("TARGETS");
  for (const char* each : {"TARGETS", "UTF8_STRING", "STRING", "text/uri-list"}) {
    EXPECT_NE(targets.find(each), std::string::npos) << each << " missing from " << targets;
  }
  EXPECT_EQ(paste("UTF8_STRING"), "grüße");
  EXPECT_EQ(paste("STRING"),
            "gr\xFC\xDF"
            "e");  // Latin-1
  EXPECT_EQ(paste("text/uri-list"), "file:///tmp/a\r\n");
  EXPECT_EQ(pasteboard->string(), "grüße");  // read back

  // 1 MiB between two connections: sent and read in increments.
  auto reader = x11();
  ASSERT_TRUE(reader);
  std::string large(1 << 20, 'x');
  for (std::size_t i = 0; i < large.size(); i += 4096) large[i] = static_cast<char>('a' + i % 26);
  ASSERT_TRUE(pasteboard->setString(large).isSuccess());
  EXPECT_EQ(reader->string(), large);
  EXPECT_EQ(paste("UTF8_STRING"), large);

  ASSERT_TRUE(pasteboard->clearContents().isSuccess());
  EXPECT_NE(test::run({"xclip", "-o", "-selection", "clipboard"}).exitCode, 0);
}

TEST(Pasteboard, WaylandGoesThroughWlClipboard) {
  MORNIK_NEED_DISPLAY();  // the compositor runs as an X11 client with its own seat
  MORNIK_NEED_PROGRAM("weston");
  MORNIK_NEED_PROGRAM("wl-copy");
  const std::string socket = "mornik-wl-" + std::to_string(::getpid());
  test::Background compositor({"weston", "--backend=x11-backend.so", "--socket=" + socket,
                               "--idle-time=0", "--log=/dev/null"});
  ASSERT_TRUE(test::waitFor([&] {
    return std::filesystem::exists(test::desktopRoot() / "runtime" / socket);
  })) << "weston did not start";
  test::ScopedEnv wayland("WAYLAND_DISPLAY", socket.c_str());
  auto made = Pasteboard::forDesktop();
  ASSERT_TRUE(made.isSuccess()) << made.error().localizedDescription();
  auto pasteboard = made.value();
  // The socket is there before the compositor serves clients: try until it does.
  ASSERT_TRUE(test::waitFor([&] { return pasteboard->setString("über wayland").isSuccess(); }));
  EXPECT_EQ(pasteboard->string(), "über wayland");
  EXPECT_EQ(test::run({"wl-paste", "--no-newline"}).output, "über wayland");
  const auto types = pasteboard->types();
  EXPECT_NE(std::find(types.begin(), types.end(), "text/plain;charset=utf-8"), types.end());
  // (weston keeps the selection through wl-copy --clear, so what a clear
  // leaves is not checked here.)
  ASSERT_TRUE(pasteboard->clearContents().isSuccess());
}

TEST(Pasteboard, HeadlessHasNoDesktopClipboard) {
  test::ScopedEnv noX("DISPLAY", nullptr);
  test::ScopedEnv noWayland("WAYLAND_DISPLAY", nullptr);
  EXPECT_EQ(Pasteboard::forDesktop().error().localizedDescription(),
            "no display: neither WAYLAND_DISPLAY nor DISPLAY is set");
  EXPECT_EQ(Pasteboard::makeX11(":999").error().localizedDescription(),
            "cannot open the X display :999");
}

}  // namespace
}  // namespace mornik
