#include "mornik/platform/Pasteboard.hpp"

#include <gtest/gtest.h>

#include "tests/desktop/support/Desktop.hpp"

// clang-format off
// Last: Xlib's macros (Success, None, Bool, ...) would break the headers above.
#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>
// clang-format on

namespace mornik {
namespace {

bool offers(const std::vector<std::string>& types, const std::string& type) {
  return std::find(types.begin(), types.end(), type) != types.end();
}

TEST(Pasteboard, X11ExchangesWithOtherProgramsLargeOrSmall) {
  MORNIK_NEED_DISPLAY();
  MORNIK_NEED_PROGRAM("xclip");
  auto pasteboard = Pasteboard::makeX11();
  auto reader = Pasteboard::makeX11();  // a second connection
  ASSERT_TRUE(pasteboard.isSuccess() && reader.isSuccess());
  const auto paste = [](const std::string& target) {
    return test::run({"xclip", "-o", "-selection", "clipboard", "-t", target}).output;
  };
  // xclip stays in the background to serve the selection until another
  // owner takes it.
  ASSERT_EQ(test::run({"xclip", "-i", "-selection", "clipboard"}, "from xclip").exitCode, 0);
  EXPECT_TRUE(test::waitFor([&] { return pasteboard.value()->string() == "from xclip"; }));
  EXPECT_TRUE(offers(pasteboard.value()->types(), "UTF8_STRING"));

  // Now we own it, with two representations.
  ASSERT_TRUE(pasteboard.value()->setString("grüße").isSuccess());
  ASSERT_TRUE(pasteboard.value()
                  ->setData(Pasteboard::kUriList, {'f', 'i', 'l', 'e', ':', '/'})
                  .isSuccess());
  for (const char* each : {"TARGETS", "UTF8_STRING", "STRING", "text/uri-list"}) {
    EXPECT_NE(paste("TARGETS").find(each), std::string::npos) << each;
  }
  EXPECT_EQ(paste("UTF8_STRING"), "grüße");
  EXPECT_EQ(paste("STRING"),
            "gr\xFC\xDF"
            "e");  // Latin-1
  EXPECT_EQ(paste("text/uri-list"), "file:/");
  EXPECT_EQ(pasteboard.value()->string(), "grüße");  // its own, at once

  // 1 MiB between two connections: sent and read in increments.
  std::string large(1 << 20, 'x');
  for (std::size_t i = 0; i < large.size(); i += 4096) large[i] = static_cast<char>('a' + i % 26);
  ASSERT_TRUE(pasteboard.value()->setString(large).isSuccess());
  EXPECT_EQ(reader.value()->string(), large);
  EXPECT_EQ(paste("UTF8_STRING"), large);

  ASSERT_TRUE(pasteboard.value()->clearContents().isSuccess());
  EXPECT_NE(test::run({"xclip", "-o", "-selection", "clipboard"}).exitCode, 0);
}

// Each copy replaces the last at once, however fast they come: the server's
// notice that this program gave the clipboard up must not wipe what it put
// there right after; another program's copy still replaces ours. A copy in
// one step never leaves the clipboard without an owner, and a program that
// watches the clipboard's owner sees it.
TEST(Pasteboard, X11KeepsEveryCopyOfATightLoop) {
  MORNIK_NEED_DISPLAY();
  MORNIK_NEED_PROGRAM("xclip");
  auto pasteboard = Pasteboard::makeX11();
  ASSERT_TRUE(pasteboard.isSuccess()) << pasteboard.error().localizedDescription();
  Display* watcher = XOpenDisplay(nullptr);
  int events = 0;
  int errors = 0;
  ASSERT_TRUE(watcher != nullptr && XFixesQueryExtension(watcher, &events, &errors));
  XFixesSelectSelectionInput(watcher, DefaultRootWindow(watcher),
                             XInternAtom(watcher, "CLIPBOARD", False),
                             XFixesSetSelectionOwnerNotifyMask);
  const auto owners = [&] {  // the owners it was given to since the last look
    std::vector<Window> all;
    XSync(watcher, False);
    for (XEvent event; XPending(watcher) > 0;) {
      XNextEvent(watcher, &event);
      if (event.type == events + XFixesSelectionNotify) {
        all.push_back(reinterpret_cast<XFixesSelectionNotifyEvent&>(event).owner);
      }
    }
    return all;
  };
  for (int i = 0; i < 60; ++i) {
    const std::string copy = "copy " + std::to_string(i);
    if (i % 2 == 0) {
      ASSERT_TRUE(pasteboard.value()->clearContents().isSuccess());
      ASSERT_TRUE(pasteboard.value()->setString(copy).isSuccess());
    } else {
      owners();
      ASSERT_TRUE(pasteboard.value()
                      ->setContents({{std::string(Pasteboard::kPlainText),
                                      Pasteboard::Bytes(copy.begin(), copy.end())}})
                      .isSuccess());
      const std::vector<Window> seen = owners();
      EXPECT_TRUE(seen.size() == 1 && seen[0] != None) << "copy " << i;
    }
    ASSERT_EQ(test::run({"xclip", "-o", "-selection", "clipboard"}).output, copy);
    if (i % 20 == 10) {
      ASSERT_EQ(test::run({"xclip", "-i", "-selection", "clipboard"}, "theirs").exitCode, 0);
      ASSERT_TRUE(test::waitFor([&] { return pasteboard.value()->string() == "theirs"; }));
    }
  }
  XCloseDisplay(watcher);
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
  // The socket is there before the compositor serves clients: try until it does.
  ASSERT_TRUE(test::waitFor([&] { return made.value()->setString("über wayland").isSuccess(); }));
  EXPECT_EQ(made.value()->string(), "über wayland");
  EXPECT_EQ(test::run({"wl-paste", "--no-newline"}).output, "über wayland");
  EXPECT_TRUE(offers(made.value()->types(), "text/plain;charset=utf-8"));
  // (weston keeps the selection through wl-copy --clear, so what a clear
  // leaves is not checked here.)
  ASSERT_TRUE(made.value()->clearContents().isSuccess());
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
