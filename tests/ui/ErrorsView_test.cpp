#include "mornik/ui/ErrorsView.hpp"

#include <memory>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/flow/pool/ErrorPool.hpp"
#include "mornik/flow/pool/Pool.hpp"
#include "mornik/platform/Pasteboard.hpp"
#include "mornik/text/StringUtils.hpp"
#include "mornik/ui/ErrorsViewModel.hpp"

#include "tests/support/QueueGate.hpp"
#include "tests/support/RunLoopWait.hpp"

namespace mornik {
namespace {

using Flow::Pool;
using test::drain;
using test::waitFor;

// ---- ErrorsViewModel ----

TEST(ErrorsViewModel, ShowsTheBufferedErrorAtOnceThenEachNewOneUntilDismissed) {
  auto pool = ErrorPool::make();
  pool->append(WTF("e0", 0));
  auto model = ErrorsViewModel::make(pool);
  ASSERT_TRUE(model->recentError.get().has_value());
  EXPECT_EQ(model->recentError.get()->localizedDescription(), "e0");
  int announced = 0;  // main queue only
  Subscription watching = model->objectWillChange().subscribe([&] { ++announced; });
  drain(DispatchQueue::main());
  EXPECT_EQ(announced, 0);  // the replay of e0 is not a change

  pool->append(WTF("e1", 1));
  ASSERT_TRUE(waitFor([&] { return announced == 1; }));
  EXPECT_EQ(model->recentError.get()->localizedDescription(), "e1");

  model->dismiss();
  EXPECT_EQ(model->recentError.get(), std::nullopt);
  EXPECT_EQ(pool->recentError()->currentValue(), std::nullopt);
  EXPECT_EQ(model->shortDescription(), "");
  drain(DispatchQueue::main());
  EXPECT_EQ(model->recentError.get(), std::nullopt);
}

TEST(ErrorsViewModel, ADismissBeforeTheReplayRunsStaysDismissedButTheSameErrorMayComeBack) {
  auto pool = ErrorPool::make();
  const Error e0 = WTF("e0", 0);
  pool->append(e0);
  auto model = ErrorsViewModel::make(pool);
  model->dismiss();  // before the main queue ran the subscription's replay
  drain(DispatchQueue::main());
  EXPECT_EQ(model->recentError.get(), std::nullopt);
  // Only the replay is skipped: the very same error appended again shows.
  pool->append(e0);
  ASSERT_TRUE(waitFor([&] { return model->recentError.get().has_value(); }));
  EXPECT_TRUE(model->recentError.get()->isIdenticalTo(e0));
}

TEST(ErrorsViewModel, WithoutABufferedErrorTheFirstErrorAppendedShows) {
  auto pool = ErrorPool::make();
  auto model = ErrorsViewModel::make(pool);
  EXPECT_EQ(model->recentError.get(), std::nullopt);
  // Appended while the replay check could still be pending: it shows.
  pool->append(WTF("first", 1));
  ASSERT_TRUE(waitFor([&] { return model->recentError.get().has_value(); }));
  EXPECT_EQ(model->recentError.get()->localizedDescription(), "first");

  // A released model stops following.
  std::weak_ptr<ErrorsViewModel> modelRef = model;
  model.reset();
  EXPECT_TRUE(modelRef.expired());
  pool->append(WTF("second", 2));
  drain(DispatchQueue::main());
}

TEST(ErrorsViewModel, ShortDescriptionIsTheFirstHundredCharacters) {
  auto pool = ErrorPool::make();
  auto model = ErrorsViewModel::make(pool);
  // Characters, not bytes: "e" + combining acute is one character.
  std::string accented;
  for (int i = 0; i < 150; ++i) accented += "e\xCC\x81";
  model->recentError = WTF(accented, 0);
  EXPECT_EQ(count(model->shortDescription()), 100U);
  EXPECT_EQ(model->shortDescription(), accented.substr(0, 300));
  model->recentError = WTF("short", 0);
  EXPECT_EQ(model->shortDescription(), "short");
}

// ---- ErrorsView ----

TEST(ErrorsView, LabelShowsThePrefixTheDescriptionAndTheMarker) {
  auto pool = ErrorPool::make();
  ErrorsView view(ErrorsViewModel::make(pool), std::make_shared<MemoryPasteboard>());
  EXPECT_FALSE(view.showsError());
  EXPECT_TRUE(view.label().empty());
  EXPECT_EQ(view.popoverText(), "");

  view.model()->recentError = WTF("disk full", 28);
  using Run = ErrorsView::Run;
  EXPECT_EQ(view.label(),
            (std::vector<Run>{{"Error: ", ErrorsView::Weight::bold, ErrorsView::Color::red},
                              {"disk full", ErrorsView::Weight::regular},
                              {"^", ErrorsView::Weight::ultraLight}}));
  // 99 characters fit; 100 and more are cut to 100 and marked.
  view.model()->recentError = WTF(std::string(99, 'a'), 0);
  EXPECT_EQ(view.labelText(), "Error: " + std::string(99, 'a') + "^");
  view.model()->recentError = WTF(std::string(100, 'b'), 0);
  EXPECT_EQ(view.labelText(), "Error: " + std::string(100, 'b') + "...^");
}

TEST(ErrorsView, ThePopoverCopiesTheDetailedDescriptionAndDismissClearsThePool) {
  auto pool = ErrorPool::make();
  const Error error = WTF("disk full", 28);
  pool->append(error);
  auto clipboard = std::make_shared<MemoryPasteboard>();
  ASSERT_TRUE(clipboard->setString("old").isSuccess());
  ErrorsView view(ErrorsViewModel::make(pool), clipboard);
  EXPECT_FALSE(view.isPresented());
  EXPECT_FALSE(view.isPopoverShown());
  view.toggle();
  EXPECT_TRUE(view.isPopoverShown());
  EXPECT_EQ(view.popoverText(), "ERROR : disk full\nCODE   : 28 @ FTW");

  view.copyDescription();
  EXPECT_EQ(clipboard->clearCount(), 1);
  EXPECT_EQ(clipboard->string(), view.popoverText());

  view.dismiss();
  EXPECT_FALSE(view.showsError());
  EXPECT_FALSE(view.isPopoverShown());  // no error, no popover
  EXPECT_EQ(pool->recentError()->currentValue(), std::nullopt);
  view.copyDescription();  // nothing to copy: the clipboard is left alone
  EXPECT_EQ(clipboard->clearCount(), 1);
}

TEST(ErrorsView, FollowsThePoolsErrorPool) {
  auto pool = Pool::make(DispatchQueue("test.pool"));
  auto clipboard = std::make_shared<MemoryPasteboard>();
  ErrorsView view = errorView(*pool, clipboard);
  EXPECT_FALSE(view.isPresented());
  EXPECT_EQ(view.model()->pool(), pool->errorPool());
  pool->append(WTF("seen", 1));
  ASSERT_TRUE(waitFor([&] { return view.showsError(); }));
  EXPECT_EQ(view.labelText(), "Error: seen^");
  view.dismiss();
  EXPECT_FALSE(pool->hasRecentError());
}

}  // namespace
}  // namespace mornik
