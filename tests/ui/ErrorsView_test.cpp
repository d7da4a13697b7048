#include "mornik/ui/ErrorsView.hpp"

#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/flow/pool/ErrorPool.hpp"
#include "mornik/flow/pool/Pool.hpp"
#include "mornik/platform/Pasteboard.hpp"
#include "mornik/ui/ErrorsViewModel.hpp"

#include "tests/support/QueueGate.hpp"
#include "tests/support/RunLoopWait.hpp"

namespace mornik {
namespace {

using test::drain;
using test::waitFor;

std::string shown(const ErrorsViewModel& model) {
  return model.recentError.get() ? model.recentError.get()->localizedDescription() : "(none)";
}

TEST(ErrorsViewModel, ShowsTheBufferedErrorAtOnceThenEachNewOneUntilDismissed) {
  auto pool = ErrorPool::make();
  pool->append(WTF("e0", 0));
  auto model = ErrorsViewModel::make(pool);
  EXPECT_EQ(shown(*model), "e0");
  int announced = 0;  // main queue only
  Subscription watching = model->objectWillChange().subscribe([&] { ++announced; });
  drain(DispatchQueue::main());
  EXPECT_EQ(announced, 0);  // the replay of e0 is not a change

  pool->append(WTF("e1", 1));
  ASSERT_TRUE(waitFor([&] { return announced == 1; }));
  EXPECT_EQ(shown(*model), "e1");
  model->dismiss();
  EXPECT_EQ(shown(*model), "(none)");
  EXPECT_EQ(pool->recentError()->currentValue(), std::nullopt);
  EXPECT_EQ(model->shortDescription(), "");
  drain(DispatchQueue::main());
  EXPECT_EQ(shown(*model), "(none)");
}

// Only the subscription's replay of the error shown at creation is skipped.
TEST(ErrorsViewModel, SkipsTheReplayOnceAndNothingElse) {
  auto pool = ErrorPool::make();
  const Error e0 = WTF("e0", 0);
  pool->append(e0);
  auto model = ErrorsViewModel::make(pool);
  model->dismiss();  // before the main queue ran the replay
  drain(DispatchQueue::main());
  EXPECT_EQ(shown(*model), "(none)");
  pool->append(e0);  // the very same error, appended again
  ASSERT_TRUE(waitFor([&] { return model->recentError.get().has_value(); }));
  EXPECT_TRUE(model->recentError.get()->isIdenticalTo(e0));

  // Nothing buffered: the first error shows, appended while the replay
  // check could still be pending.
  auto empty = ErrorPool::make();
  auto fresh = ErrorsViewModel::make(empty);
  empty->append(WTF("first", 1));
  ASSERT_TRUE(waitFor([&] { return shown(*fresh) == "first"; }));
  // A released model stops following.
  std::weak_ptr<ErrorsViewModel> released = fresh;
  fresh.reset();
  EXPECT_TRUE(released.expired());
  empty->append(WTF("second", 2));
  drain(DispatchQueue::main());
}

TEST(ErrorsView, LabelShowsThePrefixTheDescriptionCutToAHundredCharactersAndTheMarker) {
  ErrorsView view(ErrorsViewModel::make(ErrorPool::make()), std::make_shared<MemoryPasteboard>());
  EXPECT_FALSE(view.showsError());
  EXPECT_TRUE(view.label().empty());
  EXPECT_EQ(view.popoverText(), "");

  view.model()->recentError = WTF("disk full", 28);
  using Run = ErrorsView::Run;
  EXPECT_EQ(view.label(),
            (std::vector<Run>{{"Error: ", ErrorsView::Weight::bold, ErrorsView::Color::red},
                              {"disk full", ErrorsView::Weight::regular},
                              {"^", ErrorsView::Weight::ultraLight}}));
  // The description, cut to 100 characters (not bytes: "e" + combining acute
  // is one) with an ellipsis from 100 on.
  std::string accented;
  for (int i = 0; i < 150; ++i) accented += "e\xCC\x81";
  const std::string a99(99, 'a');
  const std::string b100(100, 'b');
  const std::string cut = accented.substr(0, 300);
  const std::string fifty = accented.substr(0, 150);  // 150 bytes
  for (const auto& [description, shortened, label] :
       std::vector<std::tuple<std::string, std::string, std::string>>{
           {a99, a99, a99},
           {fifty, fifty, fifty},
           {b100, b100, b100 + "..."},
           {accented, cut, cut + "..."}}) {
    view.model()->recentError = WTF(description, 0);
    EXPECT_EQ(view.model()->shortDescription(), shortened);
    EXPECT_EQ(view.labelText(), "Error: " + label + "^");
  }
}

TEST(ErrorsView, FollowsThePoolAndItsPopoverCopiesTheDetailsAndDismisses) {
  auto pool = Flow::Pool::make(DispatchQueue("test.pool"));
  auto clipboard = std::make_shared<MemoryPasteboard>();
  ASSERT_TRUE(clipboard->setString("old").isSuccess());
  ErrorsView view = errorView(*pool, clipboard);
  pool->append(WTF("disk full", 28));
  ASSERT_TRUE(waitFor([&] { return view.showsError(); }));
  EXPECT_FALSE(view.isPopoverShown());
  view.toggle();
  EXPECT_TRUE(view.isPopoverShown());
  EXPECT_EQ(view.popoverText(), "ERROR : disk full\nCODE   : 28 @ FTW");

  view.copyDescription();
  EXPECT_EQ(clipboard->clearCount(), 1);
  EXPECT_EQ(clipboard->string(), view.popoverText());
  view.dismiss();
  EXPECT_FALSE(view.isPopoverShown());  // presented, but no error to show
  EXPECT_FALSE(pool->hasRecentError());
  view.copyDescription();  // nothing to copy: the clipboard is left alone
  EXPECT_EQ(clipboard->clearCount(), 1);
  EXPECT_EQ(clipboard->string(), "ERROR : disk full\nCODE   : 28 @ FTW");
}

}  // namespace
}  // namespace mornik
