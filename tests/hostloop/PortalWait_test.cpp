// The portal dialog's nested wait inside main-queue work that a GLib host
// loop runs (a GTK application opening a file dialog from the main queue):
// it iterates only a context of its own, so it needs neither the host's
// default context nor the library's GLib thread.

#include <atomic>
#include <chrono>
#include <future>
#include <optional>
#include <thread>

#include <gtest/gtest.h>

#include <glib.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/platform/FileDialogs.hpp"
#include "mornik/platform/GLibMainQueue.hpp"
#include "mornik/platform/detail/Gio.hpp"

#include "tests/desktop/support/Desktop.hpp"

namespace mornik {
namespace {

TEST(GLibMainQueue, PortalDialogInMainQueueWorkWaitsOnNeitherTheHostNorTheGLibThread) {
  MORNIK_NEED_BUS();
  const std::string picked = "file://" + (test::desktopRoot() / "home" / "a").string();
  test::FakeService portal({"--uri", picked});
  ASSERT_TRUE(portal.ready());
  auto source = GLibMainQueue::attach();
  ASSERT_TRUE(source.isSuccess());
  auto dialogs = FileDialogs::makePortal(10'000);
  for (int round = 0; round < 2; ++round) {
    // The GLib thread is held busy until the dialog has answered: a dialog
    // that needed it would answer only once the hold gives up.
    std::atomic<bool> answered{false};
    std::promise<void> holding;
    bool heldUntilAnswered = false;
    std::thread holder([&] {
      detail::runOnGioThread([&] {
        holding.set_value();
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!answered && std::chrono::steady_clock::now() < until) std::this_thread::yield();
        heldUntilAnswered = answered;
      });
    });
    holding.get_future().wait();
    std::optional<Result<std::optional<std::vector<std::filesystem::path>>>> chosen;
    bool after = false;
    DispatchQueue::main().async([&] {
      DispatchQueue::main().async([&] { after = chosen.has_value(); });
      chosen = dialogs->run({});
      answered = true;
    });
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    DispatchQueue::main().async([&] { g_main_loop_quit(loop); });
    g_main_loop_run(loop);
    g_main_loop_unref(loop);
    holder.join();
    ASSERT_TRUE(chosen.has_value());
    ASSERT_TRUE(chosen->isSuccess()) << chosen->error().localizedDescription();
    EXPECT_EQ(chosen->value(), std::optional<std::vector<std::filesystem::path>>(
                                   {{test::desktopRoot() / "home" / "a"}}));
    EXPECT_TRUE(after);
    EXPECT_TRUE(heldUntilAnswered);
  }
}

}  // namespace
}  // namespace mornik
