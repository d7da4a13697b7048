#include "mornik/flow/future/FutureOperators.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <string>
#include <tuple>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "mornik/concurrency/Task.hpp"
#include "mornik/flow/future/Combine.hpp"
#include "mornik/flow/future/Future.hpp"
#include "mornik/flow/pool/Pool.hpp"
#include "mornik/flow/signal/Signal.hpp"

#include "tests/support/Census.hpp"
#include "tests/support/Concurrently.hpp"
#include "tests/support/QueueGate.hpp"
#include "tests/support/ResultMatchers.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik::Flow {
namespace {

using test::drain;
using test::Succeeded;
using test::waitFor;
using F = std::shared_ptr<Future<int>>;

bool onQueue(const char* label) { return DispatchQueue::currentLabel() == label; }
bool onQ() { return onQueue("test.ops"); }

// The outcome `r` a moment later, checking that the task resumes on q.
Task<int> later(Result<int> r, bool onQueue = false) {
  co_await sleep(0.001);
  if (onQueue && !onQ()) co_return -1;
  co_return r.value();  // throws a failure's error
}

Task<std::string> exclaimLater(const std::string& text) {
  co_await sleep(0.001);
  co_return text + "!";  // `text` must still be there after the suspension
}

// Each operator on a source that succeeds or fails; blocks that must not run
// return 99, blocks given q check that they run there.
TEST(FutureOperators, DeriveTheOutcomesOfTheTableOnTheGivenQueue) {
  const DispatchQueue q("test.ops");
  const Error e = WTF("no disk", 3);
  struct Row {
    Result<int> source;
    std::function<F(const F&)> derive;
    Result<int> expected;
  };
  const std::vector<Row> rows{
      {21, [&](const F& f) { return f->map(q, [](int v) { return onQ() ? 2 * v : -1; }); }, 42},
      {e, [](const F& f) { return f->map([](int) { return 99; }); }, e},
      {1, [](const F& f) { return f->map([](int) -> int { throw WTF("bad", 9); }); },
       WTF("bad", 9)},
      {5, [&](const F& f) { return f->map(q, [](int v) { return later(v * v, true); }); }, 25},
      {21, [&](const F& f) { return f->flatMap(q, [](int v) { return Result<int>(v + onQ()); }); },
       22},
      {e, [](const F& f) { return f->flatMap([](int) { return Result<int>(99); }); }, e},
      // The inner future runs on the block's serial queue: a derived future
      // that held that queue until it completed would never complete.
      {4,
       [&](const F& f) {
         return f->flatMap(q, [&](int v) { return Future<int>::make(q, [v] { return v * 10; }); });
       },
       40},
      {5, [](const F& f) { return f->flatMap([](int) { return later(WTF("async", 6)); }); },
       WTF("async", 6)},
      {3, [](const F& f) { return f->flatMapError([](const Error&) { return 99; }); }, 3},
      {e,
       [&](const F& f) {
         return f->flatMapError(q, [](const Error& x) { return onQ() ? int(x.code()) * 100 : -1; });
       },
       300},
      {e,
       [&](const F& f) {
         return f->flatMapError(
             q, [&](const Error&) { return Future<int>::make(q, [] { return 8; }); });
       },
       8},
      {e,
       [](const F& f) {
         return f->flatMapError([](const Error& x) { return later(int(x.code()) + 40); });
       },
       43},
  };
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].derive(Future<int>::make(rows[i].source))->wait(), rows[i].expected)
        << "row " << i;
  }
  // No queue: the source's. A task's argument lives until the task ends.
  EXPECT_EQ(Future<int>::promise(q)->map([](int v) { return v; })->queue(), q);
  const std::string longText(200, 'x');  // on the heap: a dangling copy would show
  auto text = Future<std::string>::succeeded(longText);
  EXPECT_THAT(text->map([](const std::string& t) { return exclaimLater(t); })->wait(),
              Succeeded(longText + "!"));
  EXPECT_THAT(Future<void>::succeeded()->map([] { return 5; })->wait(), Succeeded(5));
}

// The source keeps its derived futures, a derived future holds its source
// weakly, and a future returned by a flatMap block is kept by the derived one.
TEST(FutureChain, NothingRunsUntilTheLastLinkIsObservedAndThenOnlyWhileTheRootIsHeld) {
  const DispatchQueue queue("test.chain");
  std::atomic<int> ran{0};
  auto census = test::Census::make();
  auto inner = Future<int>::promise();
  const std::weak_ptr<Future<int>> innerWeak = inner;
  auto root = Future<int>::make(queue, [&]() -> Result<int> { return ++ran; });
  auto last = root->map([&ran, c = census->member()](int v) { return v + ++ran; })
                  ->flatMap(queue, [p = std::move(inner)](int) mutable { return std::move(p); });
  drain(queue);
  EXPECT_EQ(ran.load(), 0);
  std::atomic<int> delivered{0};
  last->onSuccess([&](int v) { delivered = v; });
  last.reset();  // the root keeps every link
  ASSERT_TRUE(waitFor([&] { return ran.load() == 2; }));
  drain(queue);
  inner = innerWeak.lock();  // handed over: only the derived future holds it now
  ASSERT_NE(inner, nullptr);
  inner->complete(30);
  inner.reset();
  ASSERT_TRUE(waitFor([&] { return delivered.load() == 30; }));
  root.reset();
  EXPECT_EQ(census->alive(), 0);

  // A chain whose root nobody holds never runs.
  auto orphan = Future<int>::make(queue, [&]() -> Result<int> { return ++ran; })->map([](int v) {
    return v;
  });
  std::atomic<bool> completed{false};
  orphan->onComplete(queue, [&](const Result<int>&) { completed = true; });
  drain(queue);
  EXPECT_FALSE(completed.load());
  EXPECT_EQ(ran.load(), 2);
}

// Starting the last link starts every link back to the root, and releasing
// the root releases every link: neither may nest a frame per link.
TEST(FutureChain, AVeryLongChainStartsCompletesAndGoesWithoutExhaustingTheStack) {
  auto root = Future<int>::promise(DispatchQueue("test.long"));
  F last = root;
  for (int i = 0; i < 20'000; ++i) last = last->map([](int v) { return v + 1; });
  std::atomic<int> delivered{-1};
  last->onSuccess([&](int v) { delivered = v; });
  last.reset();
  root->complete(0);
  ASSERT_TRUE(waitFor([&] { return delivered.load() == 20'000; }));
  root.reset();
}

struct Model {
  int count = 0;
  std::vector<int> log;
  std::optional<Error> error;
  std::vector<Error> errors;
};

// Forwarding holds its target strongly or weakly as asked; writes go to an
// object held weakly, on the given queue. Each returns the source.
TEST(FutureForwarding, CompletingUpdatingAndWritesReachLiveTargetsOnly) {
  const DispatchQueue queue("test.forward");
  auto source = Future<int>::promise();
  auto errors = Signal<Error>::make(queue);
  std::weak_ptr<Future<int>> strong, weak;
  std::weak_ptr<Signal<int>> weakSignal;
  auto owned = Signal<int>::make(queue);
  {
    auto target = Future<int>::promise();
    auto dropped = Future<int>::promise();
    auto droppedSignal = Signal<int>::make(queue);
    strong = target, weak = dropped, weakSignal = droppedSignal;
    source->completing(target, queue, true).completing(dropped, false);
    source->updating(owned, true).updating(droppedSignal, false).updatingError(errors, false);
  }
  EXPECT_TRUE(weak.expired());
  EXPECT_TRUE(weakSignal.expired());
  source->complete(6);
  EXPECT_THAT(strong.lock()->wait(), Succeeded(6));
  ASSERT_TRUE(waitFor([&] { return owned->currentValue() == 6; }));

  auto model = std::make_shared<Model>();
  auto bad = Future<int>::failed(WTF("broken", 3));
  source->assign(model, &Model::count, queue)
      .append(model, &Model::log, queue)
      .append(
          model, [](Model& m, int v) { m.log.push_back(onQueue("test.forward") * v); }, queue);
  bad->updatingError(errors, queue, false)
      .assignFailure(model, &Model::error, queue)
      .appendFailure(model, &Model::errors, queue)
      .appendFailure(
          model, [](Model& m, const Error& e) { m.errors.push_back(e); }, queue)
      .assign(model, &Model::count, queue);  // a failure writes no value
  drain(queue);
  EXPECT_EQ(model->count, 6);
  EXPECT_EQ(model->log, (std::vector<int>{6, 6}));
  EXPECT_EQ(model->error, WTF("broken", 3));
  EXPECT_EQ(model->errors, (std::vector<Error>{WTF("broken", 3), WTF("broken", 3)}));
  EXPECT_EQ(errors->currentValue(), WTF("broken", 3));

  auto later = Future<int>::promise();
  later->assign(model, &Model::count, queue);
  const std::weak_ptr<Model> weakModel = model;
  model.reset();
  EXPECT_TRUE(weakModel.expired());  // held weakly, and skipped once gone
  later->complete(9);
  drain(queue);
}

// ---- Combine ----

template <class T>
bool completes(const std::shared_ptr<Future<T>>& future) {
  return waitFor([&] { return future->maybeFailure().has_value() || future->maybeSuccess(); });
}

using Three = std::array<std::shared_ptr<Future<int>>, 3>;
Three promises() {
  return {Future<int>::promise(), Future<int>::promise(), Future<int>::promise()};
}
auto combine(const Three& s, std::optional<DispatchQueue> queue = std::nullopt) {
  return FCombine3<int, int, int>::make(s[0], s[1], s[2], std::move(queue));
}

TEST(FCombine, TuplesKeepSourceOrderAndTheFirstFailureHandledDecides) {
  std::array<std::size_t, 3> order{0, 1, 2};
  do {
    const auto sources = promises();
    auto combiner = combine(sources);
    for (std::size_t i : order) {
      EXPECT_FALSE(combiner->final()->maybeSuccess().has_value());
      sources[i]->complete(static_cast<int>(i));
      drain(combiner->queue());
    }
    EXPECT_EQ(combiner->final()->maybeSuccess(), std::make_tuple(0, 1, 2));
  } while (std::next_permutation(order.begin(), order.end()));

  // On the combiner's serial queue the failure completed first decides.
  const auto sources = promises();
  auto combiner = combine(sources);
  EXPECT_EQ(combiner->queue().label(), "Combine3.Serial");
  sources[2]->complete(WTF("third failed", 3));
  sources[1]->complete(WTF("second failed", 2));
  ASSERT_TRUE(completes(combiner->final()));
  EXPECT_EQ(combiner->final()->maybeFailure(), WTF("third failed", 3));
}

// Outcomes stored from three threads at once keep the tuple exact (a lost
// store leaves it pending; ThreadSanitizer sees unguarded stores race).
TEST(FCombine, OutcomesRacingOnAConcurrentQueueCompleteTheTupleExactlyOnce) {
  for (int round = 0; round < test::scaled(200); ++round) {
    const auto sources = promises();
    auto combiner = combine(sources, DispatchQueue::global());
    test::runConcurrently(
        3, [&](int t) { sources[static_cast<std::size_t>(t)]->complete(t + round); });
    ASSERT_TRUE(completes(combiner->final())) << "round " << round;
    EXPECT_EQ(combiner->final()->maybeSuccess(), std::make_tuple(round, round + 1, round + 2));
  }
}

// The pool keeps its combiner alive but not the sources; a combiner nobody
// keeps decides nothing.
TEST(PoolCombine, ThePoolKeepsTheCombinerAliveButNotItsSources) {
  auto pool = Pool::make(DispatchQueue("test.combine.pool"));
  auto number = pool->future([]() -> Result<int> { return 6; });
  auto word = Future<std::string>::promise();
  std::weak_ptr<Future<std::tuple<int, std::string>>> weakFinal = pool->combine(number, word);
  const std::weak_ptr<Future<std::string>> weakWord = word;
  word->complete(std::string("six"));
  ASSERT_TRUE(waitFor([&] { return weakFinal.lock()->maybeSuccess().has_value(); }));
  EXPECT_EQ(weakFinal.lock()->maybeSuccess(), std::make_tuple(6, std::string("six")));
  word.reset();
  EXPECT_TRUE(weakWord.expired());
  pool.reset();
  EXPECT_TRUE(waitFor([&] { return weakFinal.expired(); }));

  const auto sources = promises();
  const DispatchQueue queue("test.combine.handlers");
  const auto final = combine(sources, queue)->final();
  for (int i = 0; i < 3; ++i) sources[static_cast<std::size_t>(i)]->complete(i);
  drain(queue);
  EXPECT_FALSE(final->maybeSuccess().has_value());
}

}  // namespace
}  // namespace mornik::Flow
