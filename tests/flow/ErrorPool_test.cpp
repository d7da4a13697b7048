#include "mornik/flow/ErrorPool.hpp"

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/flow/ErrorsView.hpp"
#include "mornik/flow/ErrorsViewModel.hpp"
#include "mornik/platform/Clipboard.hpp"
#include "mornik/text/StringUtils.hpp"

#include "tests/support/Concurrently.hpp"
#include "tests/support/QueueGate.hpp"
#include "tests/support/RunLoopWait.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik {
namespace {

using test::drain;
using test::waitFor;

std::vector<std::string> descriptions(const std::vector<Error>& errors) {
  std::vector<std::string> texts;
  for (const Error& error : errors) texts.push_back(error.localizedDescription());
  return texts;
}

// ---- ErrorPool ----

TEST(ErrorPool, KeepsEveryErrorAndPublishesTheLatestOnTheMainQueue) {
  auto pool = ErrorPool::make();
  std::vector<std::string> seen;  // main queue only
  bool onMain = true;
  pool->recentError()->onUpdate([&](const Error& error) {
    onMain = onMain && DispatchQueue::current() == DispatchQueue::main();
    seen.push_back(error.localizedDescription());
  });
  pool->append(WTF("e1", 1));
  pool->append(WTF("e2", 2));
  EXPECT_EQ(descriptions(pool->errors()), (std::vector<std::string>{"e1", "e2"}));
  EXPECT_EQ(pool->recentError()->currentValue()->localizedDescription(), "e2");
  drain(DispatchQueue::main());
  EXPECT_EQ(seen, (std::vector<std::string>{"e1", "e2"}));
  EXPECT_TRUE(onMain);

  // clearRecent empties the buffer only: no handler runs, the list stays.
  pool->clearRecent();
  EXPECT_EQ(pool->recentError()->currentValue(), std::nullopt);
  std::vector<std::string> late;  // main queue only
  pool->recentError()->onUpdate(
      [&](const Error& error) { late.push_back(error.localizedDescription()); });
  drain(DispatchQueue::main());
  EXPECT_EQ(seen.size(), 2U);
  EXPECT_TRUE(late.empty());
  EXPECT_EQ(pool->errorCount(), 2U);
  pool->append(WTF("e3", 3));
  drain(DispatchQueue::main());
  EXPECT_EQ(late, std::vector<std::string>{"e3"});
}

TEST(ErrorPool, ForwardingReplaysTheRecentErrorThenFollowsWhileTheTargetLives) {
  auto source = ErrorPool::make();
  auto target = ErrorPool::make();
  std::weak_ptr<ErrorPool> targetRef = target;
  source->append(WTF("e0", 0));
  source->forwardErrors(target);
  drain(DispatchQueue::main());
  EXPECT_EQ(descriptions(target->errors()), std::vector<std::string>{"e0"});
  source->append(WTF("e1", 1));
  drain(DispatchQueue::main());
  EXPECT_EQ(descriptions(target->errors()), (std::vector<std::string>{"e0", "e1"}));
  EXPECT_EQ(target->recentError()->currentValue()->localizedDescription(), "e1");

  target.reset();
  EXPECT_TRUE(targetRef.expired());  // forwarding does not keep the target
  source->append(WTF("e2", 2));
  drain(DispatchQueue::main());
  EXPECT_EQ(source->errorCount(), 3U);
}

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
  model->recentError = WTF(std::string(250, 'x'), 0);
  EXPECT_EQ(model->shortDescription(), std::string(100, 'x'));
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
  ErrorsView view(ErrorsViewModel::make(pool), std::make_shared<MemoryClipboard>());
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
  view.model()->recentError = WTF(std::string(250, 'c'), 0);
  EXPECT_EQ(view.labelText(), "Error: " + std::string(100, 'c') + "...^");
}

TEST(ErrorsView, ThePopoverCopiesTheDetailedDescriptionAndDismissClearsThePool) {
  auto pool = ErrorPool::make();
  const Error error = WTF("disk full", 28);
  pool->append(error);
  auto clipboard = std::make_shared<MemoryClipboard>();
  clipboard->setString("old");
  ErrorsView view(ErrorsViewModel::make(pool), clipboard);
  EXPECT_FALSE(view.isPresented());
  EXPECT_FALSE(view.isPopoverShown());
  view.toggle();
  EXPECT_TRUE(view.isPopoverShown());
  EXPECT_EQ(view.popoverText(), "ERROR : disk full\nCODE   : 28 @ FTW");
  EXPECT_EQ(view.popoverText(), error.detailedDescription_MultiLine());

  view.copyDescription();
  EXPECT_EQ(clipboard->clearCount(), 1);
  EXPECT_EQ(clipboard->string(), error.detailedDescription_MultiLine());

  view.dismiss();
  EXPECT_FALSE(view.showsError());
  EXPECT_FALSE(view.isPopoverShown());  // no error, no popover
  EXPECT_EQ(pool->recentError()->currentValue(), std::nullopt);
  view.copyDescription();  // nothing to copy: the clipboard is left alone
  EXPECT_EQ(clipboard->clearCount(), 1);
}

// ---- Many threads ----

TEST(ErrorPoolStress, ConcurrentAppendsLoseNothingAndReachEveryHandlerOnce) {
  constexpr int kThreads = 8;
  const int kPerThread = test::scaled(20'000);
  auto pool = ErrorPool::make();
  auto forwarded = ErrorPool::make();
  pool->forwardErrors(forwarded);
  std::atomic<long> delivered{0};
  std::atomic<long> codeSum{0};
  pool->recentError()->onUpdate(DispatchQueue::global(), [&](const Error& error) {
    delivered.fetch_add(1);
    codeSum.fetch_add(error.code());
  });
  test::runConcurrently(kThreads, [&](int t) {
    for (int i = 0; i < kPerThread; ++i) pool->append(WTF("e", t * kPerThread + i));
  });
  const long total = long{kThreads} * kPerThread;
  EXPECT_EQ(pool->errorCount(), static_cast<std::size_t>(total));
  ASSERT_TRUE(waitFor([&] { return delivered.load() == total; }, 60));
  ASSERT_TRUE(
      waitFor([&] { return forwarded->errorCount() == static_cast<std::size_t>(total); }, 60));
  EXPECT_EQ(codeSum.load(), total * (total - 1) / 2);  // every code once
  // Each thread's errors stay in its own order in the list.
  std::vector<long> last(kThreads, -1);
  for (const Error& error : pool->errors()) {
    const long code = error.code();
    const int thread = static_cast<int>(code / kPerThread);
    EXPECT_GT(code, last[thread]);
    last[thread] = code;
  }
}

}  // namespace
}  // namespace mornik
