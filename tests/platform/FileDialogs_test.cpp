#include "mornik/platform/FileDialogs.hpp"

#include <algorithm>
#include <future>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/detail/Executor.hpp"
#include "mornik/flow/future/Future.hpp"

#include "tests/desktop/support/Desktop.hpp"

namespace mornik {
namespace {

namespace fs = std::filesystem;
using Paths = std::vector<fs::path>;

// What the portal is asked, its cancellation, and no dialog at all:
// MacOsDialogs_test.cpp.

TEST(FileDialogs, ZenityWithoutAPortalDrivenByAPerson) {
  MORNIK_NEED_DISPLAY();
  MORNIK_NEED_PROGRAM("zenity");
  MORNIK_NEED_PROGRAM("xdotool");
  auto dialogs = FileDialogs::forDesktop();  // no portal on this bus
  ASSERT_TRUE(dialogs.isSuccess()) << dialogs.error().localizedDescription();
  FileDialogs::Request request;
  request.save = true;
  request.folder = test::desktopRoot() / "home";
  request.fileName = "picked.txt";
  // The person finds the dialog (the name filled in) and confirms, or leaves
  // it; pressing again until it is gone, as a loaded machine may map the
  // window before it takes keys.
  for (const std::string key : {"Return", "Escape"}) {
    request.title = "Pick: " + key;
    auto shown = std::async(std::launch::async, [&] { return dialogs.value()->run(request); });
    for (int attempt = 0; attempt < 60; ++attempt) {
      test::run({"timeout", "5", "xdotool", "search", "--name", request.title, "windowfocus",
                 "--sync", "%1", "key", key});
      if (shown.wait_for(std::chrono::seconds(1)) == std::future_status::ready) break;
    }
    test::run({"pkill", "-P", std::to_string(::getpid()), "-x", "zenity"});  // ours, if still up
    const auto chosen = shown.get();
    ASSERT_TRUE(chosen.isSuccess()) << chosen.error().localizedDescription();
    EXPECT_EQ(chosen.value(), key == "Return"
                                  ? std::optional<Paths>({request.folder / "picked.txt"})
                                  : std::nullopt);
  }
}

// A dialog waiting for the portal counts as blocked: one dialog for each of
// the pool's workers leaves the pool free for other work.
TEST(FileDialogs, WaitingDialogsLeaveThePoolToOtherWork) {
  MORNIK_NEED_BUS();
  using Chosen = std::optional<Paths>;
  auto dialogs = FileDialogs::makePortal(60'000);
  std::vector<std::shared_ptr<Flow::Future<Chosen>>> waiting;
  {
    test::FakeService portal({"--hang"});
    ASSERT_TRUE(portal.ready());
    // Connected from this thread: connecting on a worker is a short blocking
    // wait of its own, whose extra worker would stay free for the other work.
    ASSERT_TRUE(FileDialogs::forDesktop().isSuccess());
    const int count = std::max(detail::poolTargetSize(), detail::poolWorkerCount());
    for (int i = 0; i < count; ++i) {
      waiting.push_back(Flow::Future<Chosen>::make(DispatchQueue::global(),
                                                   [dialogs] { return dialogs->run({}); }));
      waiting.back()->onComplete([](const Result<Chosen>&) {});  // starts it
    }
    ASSERT_TRUE(test::waitFor([&] {
      const std::string calls = test::record("service");
      return std::count(calls.begin(), calls.end(), '\n') == count + 1;  // and "ready"
    }));
    auto other = Flow::Future<int>::make(DispatchQueue::global(), [] { return Result<int>(7); });
    other->onComplete([](const Result<int>&) {});
    EXPECT_TRUE(test::waitFor([&] { return other->maybeSuccess() == 7; }));
    for (const auto& each : waiting) EXPECT_FALSE(each->maybeFailure());
  }
  for (const auto& each : waiting) {  // the portal went without answering
    EXPECT_EQ(each->wait().error().localizedDescription(),
              "org.freedesktop.portal.Desktop did not answer OpenFile within 60000 ms");
  }
}

}  // namespace
}  // namespace mornik
