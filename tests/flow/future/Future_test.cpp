#include "mornik/flow/future/Future.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include "mornik/base/UUID.hpp"
#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/DispatchSemaphore.hpp"
#include "mornik/concurrency/Task.hpp"

#include "tests/support/QueueGate.hpp"
#include "tests/support/RunLoopWait.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik::Flow {
namespace {

using test::drain;
using test::QueueGate;
using test::waitFor;

// An object that counts its live instances.
struct Counted {
  static inline std::atomic<int> alive{0};
  Counted() { ++alive; }
  Counted(const Counted& /*unused*/) { ++alive; }
  ~Counted() { --alive; }
  Counted& operator=(const Counted&) = default;
};

// ---- Identity ----

TEST(UUID, RandomUUIDsAreVersion4WithTheRFCVariantAndCanonicalText) {
  std::unordered_set<UUID> seen;
  for (int i = 0; i < 10'000; ++i) {
    const UUID id = UUID::random();
    EXPECT_EQ(id.version(), 4);
    EXPECT_EQ(id.bytes()[8] & 0xC0, 0x80);
    EXPECT_TRUE(seen.insert(id).second);
  }
  const UUID id = UUID::random();
  const std::string text = id.uuidString();
  ASSERT_EQ(text.size(), 36U);
  EXPECT_EQ(text[14], '4');
  EXPECT_EQ(text.find_first_not_of("0123456789ABCDEF-"), std::string::npos);
  EXPECT_EQ(UUID::fromString(text), id);
  EXPECT_EQ(UUID::fromString("1b4e28ba-2fa1-4d2e-883f-0016d3cca427")->uuidString(),
            "1B4E28BA-2FA1-4D2E-883F-0016D3CCA427");
  EXPECT_EQ(UUID::fromString("1b4e28ba2fa1-4d2e-883f-0016d3cca427-"), std::nullopt);
  EXPECT_EQ(UUID::fromString("1b4e28ba-2fa1-4d2e-883f-0016d3cca42g"), std::nullopt);
  EXPECT_EQ(UUID().uuidString(), "00000000-0000-0000-0000-000000000000");
}

TEST(UUID, ThreadsAndForkedChildrenNeverRepeatIdentifiers) {
  constexpr int kPerThread = 20'000;
  std::vector<std::vector<UUID>> made(4);
  std::vector<std::thread> threads;
  for (auto& list : made) {
    threads.emplace_back([&list] {
      for (int i = 0; i < kPerThread; ++i) list.push_back(UUID::random());
    });
  }
  for (auto& thread : threads) thread.join();
  std::set<UUID> all;
  for (const auto& list : made) all.insert(list.begin(), list.end());
  EXPECT_EQ(all.size(), 4U * kPerThread);

  // A forked child continues from a fresh key, not from the parent's stream.
  (void)UUID::random();
  int pipeEnds[2];
  ASSERT_EQ(::pipe(pipeEnds), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const UUID inChild = UUID::random();
    const bool written = ::write(pipeEnds[1], inChild.bytes().data(), 16) == 16;
    ::_exit(written ? 0 : 1);
  }
  const UUID inParent = UUID::random();
  UUID::Bytes childBytes{};
  ASSERT_EQ(::read(pipeEnds[0], childBytes.data(), 16), 16);
  int status = 0;
  ::waitpid(child, &status, 0);
  ::close(pipeEnds[0]);
  ::close(pipeEnds[1]);
  EXPECT_NE(UUID(childBytes), inParent);
}

TEST(UUID, ChaCha20BlockMatchesTheRFC8439TestVector) {
  std::array<std::uint32_t, 8> key{};
  for (std::uint32_t i = 0; i < 8; ++i) {
    key[i] = (4 * i) | ((4 * i + 1) << 8) | ((4 * i + 2) << 16) | ((4 * i + 3) << 24);
  }
  const std::array<std::uint32_t, 3> nonce{0x09000000, 0x4a000000, 0x00000000};
  std::array<std::uint8_t, 64> out{};
  mornik::detail::chacha20Block(key, 1, nonce, out);
  const std::array<std::uint8_t, 64> expected{
      0x10, 0xf1, 0xe7, 0xe4, 0xd1, 0x3b, 0x59, 0x15, 0x50, 0x0f, 0xdd, 0x1f, 0xa3,
      0x20, 0x71, 0xc4, 0xc7, 0xd1, 0xf4, 0xc7, 0x33, 0xc0, 0x68, 0x03, 0x04, 0x22,
      0xaa, 0x9a, 0xc3, 0xd4, 0x6c, 0x4e, 0xd2, 0x82, 0x64, 0x46, 0x07, 0x9f, 0xaa,
      0x09, 0x14, 0xc2, 0xd7, 0x05, 0xd9, 0x8b, 0x02, 0xa2, 0xb5, 0x12, 0x9c, 0xd1,
      0xde, 0x16, 0x4e, 0xb9, 0xcb, 0xd0, 0x83, 0xe8, 0xa2, 0x50, 0x3c, 0x4e};
  EXPECT_EQ(out, expected);

  // The four-block form gives the same keystream.
  std::array<std::uint8_t, 256> four{};
  mornik::detail::chacha20Blocks4(key, 1, nonce, four);
  for (std::uint32_t block = 0; block < 4; ++block) {
    mornik::detail::chacha20Block(key, 1 + block, nonce, out);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), four.begin() + 64 * block)) << block;
  }
}

TEST(FutureID, EveryFutureAndEveryCloneHasItsOwnId) {
  auto a = Future<int>::promise();
  auto b = Future<int>::promise();
  auto c = a->clone();
  EXPECT_NE(a->id(), b->id());
  EXPECT_NE(a->id(), c->id());
  EXPECT_EQ(a->id(), a->id());
  EXPECT_EQ(a->id().id.version(), 4);
  EXPECT_EQ(std::hash<FutureID>()(a->id()), std::hash<FutureID>()(FutureID{a->id().id}));
}

// ---- Handler ----

TEST(Handler, CallSubmitsToItsQueueAndNeverRunsInline) {
  std::atomic<int> got{0};
  bool inCall = false;
  bool ranInsideCall = false;
  auto handler = Handler<int>::make(DispatchQueue::main(), [&](const int& value) {
    ranInsideCall = inCall;
    got = value;
  });
  inCall = true;
  handler->call(7);
  inCall = false;
  EXPECT_EQ(got.load(), 0);
  ASSERT_TRUE(waitFor([&] { return got.load() == 7; }));
  EXPECT_FALSE(ranInsideCall);
}

TEST(Handler, ATaskWhoseHandlerIsGoneDoesNothing) {
  DispatchQueue queue("test.handler");
  std::atomic<int> runs{0};
  {
    QueueGate gate(queue);
    auto handler = Handler<void>::make(queue, [&] { ++runs; });
    handler->call();
    handler->call();
  }  // the handler goes first, then the gate opens
  drain(queue);
  EXPECT_EQ(runs.load(), 0);
}

TEST(Handler, ABlockIsReleasedOnlyAfterTheDeliveriesThatMayStillTouchIt) {
  Counted::alive = 0;
  DispatchQueue serial("test.handler.release");
  // Never called: released at once.
  auto idle = Handler<int>::make(serial, [counted = Counted()](const int&) { (void)counted; });
  EXPECT_EQ(Counted::alive.load(), 1);
  idle.reset();
  EXPECT_EQ(Counted::alive.load(), 0);

  // Called on a serial queue, released with deliveries queued: they do
  // nothing, and the block goes after them, on the queue.
  std::atomic<int> runs{0};
  {
    QueueGate gate(serial);
    auto repeating = Handler<int>::make(serial, [&runs, counted = Counted()](const int&) {
      (void)counted;
      ++runs;
    });
    repeating->call(1);
    repeating->call(2);
    repeating.reset();
    EXPECT_EQ(Counted::alive.load(), 1);
  }
  drain(serial);
  EXPECT_EQ(runs.load(), 0);
  EXPECT_EQ(Counted::alive.load(), 0);

  // On a concurrent queue, released while a delivery runs: the block lives
  // until that delivery returns.
  struct Gate {
    DispatchSemaphore entered;
    DispatchSemaphore leave;
    std::atomic<bool> returned{false};
  };
  auto gate = std::make_shared<Gate>();
  auto running =
      Handler<int>::make(DispatchQueue::global(), [gate, counted = Counted()](const int&) {
        (void)counted;
        gate->entered.signal();
        gate->leave.wait();
        gate->returned = true;
      });
  running->call(1);
  gate->entered.wait();
  running.reset();
  EXPECT_EQ(Counted::alive.load(), 1);
  gate->leave.signal();
  ASSERT_TRUE(waitFor([&] { return Counted::alive.load() == 0; }));
  EXPECT_TRUE(gate->returned.load());
}

TEST(Future, AFuturesHandlersGoWithItOnceTheirDeliveriesRan) {
  Counted::alive = 0;
  DispatchQueue serial("test.future.release");
  std::atomic<bool> ran{false};
  auto future = Future<int>::promise(serial);
  future->onSuccess([&ran, counted = Counted()](int) {
    (void)counted;
    ran = true;
  });
  future->complete(1);
  ASSERT_TRUE(waitFor([&] { return ran.load(); }));
  drain(serial);
  EXPECT_EQ(Counted::alive.load(), 1);
  future.reset();
  EXPECT_EQ(Counted::alive.load(), 0);  // at once, not on the queue
}

// ---- Creation, completion and delivery ----

TEST(Future, ASucceededFutureNeverRunsABlockAndWaitReturnsAtOnce) {
  auto future = Future<std::string>::succeeded("v");
  EXPECT_EQ(future->maybeSuccess(), "v");
  EXPECT_EQ(future->maybeFailure(), std::nullopt);
  EXPECT_EQ(future->wait().value(), "v");
  EXPECT_EQ(future->queue(), DispatchQueue::global());

  auto failed = Future<int>::failed(WTF("gone", 3));
  EXPECT_EQ(failed->maybeSuccess(), std::nullopt);
  EXPECT_EQ(failed->maybeFailure(), WTF("gone", 3));
  EXPECT_EQ(failed->wait().error(), WTF("gone", 3));
}

TEST(Future, AHandlerRegisteredAfterCompletionRunsOnceOnItsQueueAfterRegistrationReturns) {
  auto future = Future<int>::succeeded(5);
  int runs = 0;  // main queue only
  bool inRegistration = true;
  bool ranInside = false;
  bool onMain = false;
  future->onSuccess(DispatchQueue::main(), [&](int value) {
    EXPECT_EQ(value, 5);
    ranInside = inRegistration;
    onMain = DispatchQueue::current() == DispatchQueue::main();
    ++runs;
  });
  inRegistration = false;
  ASSERT_TRUE(waitFor([&] { return runs == 1; }));
  drain(DispatchQueue::main());
  EXPECT_EQ(runs, 1);
  EXPECT_FALSE(ranInside);
  EXPECT_TRUE(onMain);
}

TEST(Future, OnlyTheHandlersMatchingTheOutcomeRun) {
  DispatchQueue queue("test.outcome");
  std::vector<std::string> log;  // queue work only
  auto ok = Future<int>::promise(queue);
  auto bad = Future<int>::promise(queue);
  for (const auto& future : {ok, bad}) {
    future->onSuccess([&](int n) { log.push_back("success " + std::to_string(n)); })
        .onFailure([&](const Error& e) { log.push_back("failure " + e.localizedDescription()); })
        .onComplete([&](const Result<int>& r) {
          log.push_back(r.isSuccess() ? "complete ok" : "complete bad");
        });
  }
  ok->complete(1);
  bad->complete(WTF("no", 0));
  // Late registrations see the stored result the same way.
  ok->onFailure([&](const Error&) { log.push_back("late failure"); });
  bad->onSuccess([&](int) { log.push_back("late success"); });
  ok->onSuccess([&](int n) { log.push_back("late success " + std::to_string(n)); });
  drain(queue);
  EXPECT_EQ(log, (std::vector<std::string>{"complete ok", "success 1", "complete bad", "failure no",
                                           "late success 1"}));
}

TEST(Future, HandlersOnOneSerialQueueRunInRegistrationOrder) {
  DispatchQueue queue("test.order");
  std::vector<int> order;  // queue work only
  auto future = Future<int>::promise();
  for (int i = 0; i < 3; ++i) {
    future->onComplete(queue, [&order, i](const Result<int>&) { order.push_back(i); });
  }
  future->onSuccess(queue, [&](int) { order.push_back(10); });
  future->onComplete(queue, [&](const Result<int>&) { order.push_back(3); });
  std::thread([future] { future->complete(0); }).join();
  drain(queue);
  // Complete-handlers first, each list in registration order.
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 10}));
}

TEST(Future, TheFirstCompletionWins) {
  DispatchQueue queue("test.first");
  std::vector<int> seen;  // queue work only
  auto future = Future<int>::promise(queue);
  future->onSuccess([&](int n) { seen.push_back(n); });
  future->complete(1);
  future->complete(2);
  future->complete(WTF("late", 0));
  drain(queue);
  EXPECT_EQ(seen, std::vector<int>{1});
  EXPECT_EQ(future->wait().value(), 1);
}

TEST(Future, VoidFuturesSucceedWithoutAValue) {
  DispatchQueue queue("test.void");
  int successes = 0;  // queue work only
  auto future = Future<void>::promise(queue);
  EXPECT_FALSE(future->maybeSuccess());
  future->onSuccess([&] { ++successes; });
  future->complete(Result<void>());
  EXPECT_TRUE(future->maybeSuccess());
  EXPECT_TRUE(future->wait().isSuccess());
  auto done = Future<void>::succeeded();
  done->onSuccess(queue, [&] { ++successes; });
  drain(queue);
  EXPECT_EQ(successes, 2);
  EXPECT_EQ(Future<void>::failed(WTF("x", 1))->wait().error().code(), 1);
}

// ---- Lazy start ----

TEST(Future, TheWorkStartsWithTheFirstRegistrationOnTheFuturesQueue) {
  DispatchQueue queue("test.lazy");
  std::atomic<int> started{0};
  std::string startedOn;  // written by the block, read after it completed the future
  auto future = Future<int>::make(queue, [&]() -> Result<int> {
    startedOn = DispatchQueue::currentLabel();
    return ++started;
  });
  drain(queue);
  EXPECT_EQ(started.load(), 0);
  EXPECT_EQ(future->maybeSuccess(), std::nullopt);

  std::atomic<int> delivered{0};
  future->onSuccess([&](int) { ++delivered; });
  future->onFailure([&](const Error&) { ++delivered; });
  future->onComplete([&](const Result<int>&) { ++delivered; });
  ASSERT_TRUE(waitFor([&] { return delivered.load() == 2; }));
  EXPECT_EQ(started.load(), 1);
  EXPECT_EQ(startedOn, "test.lazy");
  EXPECT_EQ(future->wait().value(), 1);
}

TEST(Future, WaitStartsTheWorkAndAPromiseOnlyCompletesFromOutside) {
  auto computed = Future<int>::make([](const std::shared_ptr<Future<int>>& self) {
    std::thread([self] { self->complete(42); }).detach();
  });
  EXPECT_EQ(computed->wait().value(), 42);

  auto promise = Future<int>::promise();
  RunLoop::main().runFor(0.02);
  EXPECT_EQ(promise->maybeSuccess(), std::nullopt);
  EXPECT_EQ(promise->maybeFailure(), std::nullopt);
}

TEST(Future, AFutureNobodyKeepsAliveUntilItsStartTaskRunsNeverStarts) {
  DispatchQueue queue("test.unstarted");
  std::atomic<int> started{0};
  {
    QueueGate gate(queue);
    auto future = Future<int>::make(queue, [&]() -> Result<int> { return ++started; });
    future->onSuccess([](int) {});
  }  // the future goes while its start task waits behind the gate
  drain(queue);
  EXPECT_EQ(started.load(), 0);
}

TEST(Future, TheBlockRunsOnceHoweverManyRegistrationsAndWaitsRace) {
  const int rounds = test::scaled(200);
  const DispatchQueue workQueue = DispatchQueue::global();
  for (int round = 0; round < rounds; ++round) {
    std::atomic<int> started{0};
    auto future = Future<int>::make(
        workQueue, [&started]() -> Result<int> { return started.fetch_add(1) + 1; });
    std::atomic<int> delivered{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&, t] {
        while (!go.load()) std::this_thread::yield();
        if (t % 2 == 0) {
          EXPECT_EQ(future->wait().value(), 1);
        } else {
          future->onSuccess(workQueue, [&](int) { ++delivered; });
        }
      });
    }
    go = true;
    for (auto& thread : threads) thread.join();
    ASSERT_TRUE(waitFor([&] { return delivered.load() == 2; }));
    EXPECT_EQ(started.load(), 1);
  }
}

TEST(Future, ACloneHasNoResultAndRunsTheWorkAgain) {
  std::atomic<int> runs{0};
  auto original = Future<int>::make([&]() -> Result<int> { return ++runs; });
  EXPECT_EQ(original->wait().value(), 1);
  auto copy = original->clone();
  EXPECT_EQ(copy->maybeSuccess(), std::nullopt);
  EXPECT_EQ(copy->queue(), original->queue());
  std::atomic<int> got{0};
  copy->onSuccess([&](int n) { got = n; });
  ASSERT_TRUE(waitFor([&] { return got.load() == 2; }));
  EXPECT_EQ(original->wait().value(), 1);
  // A completed future's clone has no work and no result.
  auto doneClone = Future<int>::succeeded(3)->clone();
  EXPECT_EQ(doneClone->maybeSuccess(), std::nullopt);
}

// ---- wait ----

TEST(Future, WaitBlocksUntilCompletionAndReleasesEveryWaiter) {
  auto future = Future<int>::promise();
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.emplace_back([&] {
      EXPECT_EQ(future->wait().value(), 9);
      ++released;
    });
  }
  // Widens the window in which the waiters are blocked; correctness does not
  // depend on it.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(released.load(), 0);
  future->complete(9);
  for (auto& waiter : waiters) waiter.join();
  EXPECT_EQ(released.load(), 4);
}

TEST(Future, WaitingOnPoolWorkersLetsTheCompletionStillRun) {
  // More blocked waiters than workers: the pool must grow for the
  // completing work to run.
  const int waiters = 2 * mornik::detail::poolTargetSize() + 2;
  auto future = Future<int>::promise();
  std::atomic<int> done{0};
  for (int i = 0; i < waiters; ++i) {
    DispatchQueue::global().async([&, future] {
      if (future->wait().value() == 1) ++done;
    });
  }
  DispatchQueue::global().async([future] { future->complete(1); });
  ASSERT_TRUE(waitFor([&] { return done.load() == waiters; }));
}

// ---- Asynchronous work and awaiting ----

Task<int> slowSquare(int n) {
  co_await sleep(0.001);
  co_return n* n;
}

Task<int> throwsError() {
  co_await sleep(0);
  throw WTF("async failed", 4);
}

Task<int> throwsOther() {
  throw std::runtime_error("plain exception");
  co_return 0;
}

TEST(Future, AsyncWorkCompletesWithTheTasksValueOrItsThrownError) {
  DispatchQueue queue("test.async");
  std::atomic<int> calls{0};
  auto squared = Future<int>::make(queue, [&] {
    ++calls;
    return slowSquare(7);
  });
  EXPECT_EQ(calls.load(), 0);
  EXPECT_EQ(squared->wait().value(), 49);
  EXPECT_EQ(calls.load(), 1);

  auto failed = Future<int>::make(queue, [] { return throwsError(); });
  EXPECT_EQ(failed->wait().error(), WTF("async failed", 4));

  auto other = Future<int>::make(queue, [] { return throwsOther(); });
  const Result<int> result = other->wait();
  ASSERT_TRUE(result.isFailure());
  EXPECT_EQ(result.error().localizedDescription(), "plain exception");
}

Task<std::string> awaitsFutures(std::shared_ptr<Future<int>> pending,
                                std::shared_ptr<Future<int>> failed) {
  const Result<int> done = co_await Future<int>::succeeded(1);
  const std::string before = DispatchQueue::currentLabel();
  const Result<int> later = co_await pending;
  const std::string after = DispatchQueue::currentLabel();
  const Result<int> bad = co_await failed;
  co_return std::to_string(done.value()) + " " + before + " " + std::to_string(later.value()) +
      " " + after + " " + bad.error().localizedDescription();
}

TEST(Future, AwaitingAFutureInATaskResumesOnTheTasksQueue) {
  DispatchQueue home("test.home");
  auto pending = Future<int>::promise(DispatchQueue("test.elsewhere"));
  std::optional<std::string> text;
  std::atomic<bool> finished{false};
  awaitsFutures(pending, Future<int>::failed(WTF("bad", 0)))
      .start(home, [&](Result<std::string> outcome) {
        text = std::move(outcome).value();
        finished = true;
      });
  std::thread([pending] { pending->complete(2); }).join();
  ASSERT_TRUE(waitFor([&] { return finished.load(); }));
  EXPECT_EQ(*text, "1 test.home 2 test.home bad");
}

Task<int> awaitsLazyWork(std::shared_ptr<Future<int>> work) { co_return (co_await work).value(); }

TEST(Future, AwaitingStartsTheWork) {
  auto work = Future<int>::make([]() -> Result<int> { return 11; });
  std::atomic<int> got{0};
  awaitsLazyWork(work).start(DispatchQueue::global(),
                             [&](Result<int> outcome) { got = outcome.value(); });
  ASSERT_TRUE(waitFor([&] { return got.load() == 11; }));
}

Task<> recordAsync(std::vector<std::string>* log, std::string entry) {
  co_await sleep(0);
  log->push_back(std::move(entry));
}

Task<std::vector<std::string>> asyncResultBlocks() {
  std::vector<std::string> log;
  const Result<int> ok = 4;
  const Result<int> bad = WTF("e", 0);
  Result<int> same = co_await ok.onSuccess(
      [&](const int& n) { return recordAsync(&log, "success " + std::to_string(n)); });
  log.push_back(same == ok ? "unchanged" : "changed");
  (void)co_await bad.onSuccess([&](const int&) { return recordAsync(&log, "wrong"); });
  (void)co_await bad.onFailure(
      [&](const Error& e) { return recordAsync(&log, "failure " + e.localizedDescription()); });
  (void)co_await ok.onFailure([&](const Error&) { return recordAsync(&log, "wrong"); });
  (void)co_await Result<void>().onSuccess([&] { return recordAsync(&log, "void"); });
  co_return log;
}

TEST(Result, AsynchronousOnSuccessAndOnFailureAwaitTheBlockAndReturnTheResult) {
  std::optional<std::vector<std::string>> log;
  std::atomic<bool> done{false};
  asyncResultBlocks().start(DispatchQueue("test.asyncresult"),
                            [&](Result<std::vector<std::string>> outcome) {
                              log = std::move(outcome).value();
                              done = true;
                            });
  ASSERT_TRUE(waitFor([&] { return done.load(); }));
  EXPECT_EQ(*log, (std::vector<std::string>{"success 4", "unchanged", "failure e", "void"}));
}

// ---- Contexts and lifetimes ----

struct Screen {
  std::vector<int> shown;  // main queue only
};

TEST(Future, ContextsAreHeldWeaklyAndSkippedOnceGone) {
  auto kept = std::make_shared<Screen>();
  auto dropped = std::make_shared<Screen>();
  std::weak_ptr<Screen> droppedWeak = dropped;
  auto future = Future<int>::promise(DispatchQueue::main());
  future->onSuccess(kept, [](Screen& screen, int n) { screen.shown.push_back(n); });
  future->onSuccess(dropped, [](Screen& screen, int n) { screen.shown.push_back(n); });
  future->onComplete(kept, [](const std::shared_ptr<Screen>& screen, const Result<int>& r) {
    screen->shown.push_back(-r.value());
  });
  future->onFailure(kept, [](Screen& screen, const Error&) { screen.shown.push_back(0); });
  dropped.reset();
  EXPECT_TRUE(droppedWeak.expired());  // the registration did not keep it
  future->complete(3);
  drain(DispatchQueue::main());
  EXPECT_EQ(kept->shown, (std::vector<int>{-3, 3}));

  auto nothing = Future<void>::succeeded();
  nothing->onSuccess(kept, DispatchQueue::main(),
                     [](Screen& screen) { screen.shown.push_back(9); });
  drain(DispatchQueue::main());
  EXPECT_EQ(kept->shown.back(), 9);
}

TEST(Future, AFutureKeepsItsHandlersAndRetainedObjectsUntilItGoes) {
  Counted::alive = 0;
  {
    auto future = Future<int>::promise();
    std::atomic<bool> ran{false};
    future->onSuccess([counted = Counted(), &ran](int) {
      (void)counted;
      ran = true;
    });
    future->retain(std::make_shared<Counted>());
    future->complete(1);
    ASSERT_TRUE(waitFor([&] { return ran.load(); }));
    EXPECT_EQ(Counted::alive.load(), 2);
  }
  EXPECT_EQ(Counted::alive.load(), 0);
}

TEST(Future, ReleasingAFutureSilencesItsQueuedDeliveries) {
  DispatchQueue queue("test.release");
  std::atomic<int> runs{0};
  {
    QueueGate gate(queue);
    auto future = Future<int>::promise(queue);
    future->onSuccess([&](int) { ++runs; });
    future->onComplete([&](const Result<int>&) { ++runs; });
    future->complete(1);
  }
  drain(queue);
  EXPECT_EQ(runs.load(), 0);
}

// ---- Exactly once under races ----

TEST(FutureStress, EveryHandlerRunsExactlyOnceNeverInlineAndNeverOnTheCompletingThread) {
  // Registrars and a completer move through the same futures in near
  // lockstep (the completer completes future i once a registrar has reached
  // it; registrars stay at most a few futures ahead of it), so that
  // registrations and completions of one future overlap as often as the
  // machine allows.
  const int futures = test::scaled(200'000);
  constexpr int kRegistrars = 2;
  constexpr int kHandlersPerFuture = kRegistrars * 2;
  constexpr int kLead = 4;
  struct Slot {
    std::shared_ptr<Future<int>> future = Future<int>::promise();
    std::atomic<int> runs{0};
  };
  std::vector<Slot> slots(static_cast<std::size_t>(futures));
  std::atomic<long> total{0};
  std::atomic<long> wrongThread{0};
  std::atomic<long> wrongValue{0};
  std::atomic<std::thread::id> completer;
  thread_local bool registering = false;
  std::atomic<int> reached{-1};    // highest future a registrar has started on
  std::atomic<int> completed{-1};  // highest future completed

  const std::vector<DispatchQueue> queues{DispatchQueue("stress.a"), DispatchQueue("stress.b"),
                                          DispatchQueue::global()};
  auto deliver = [&](Slot& slot, int expected, int value) {
    if (registering || std::this_thread::get_id() == completer.load()) ++wrongThread;
    if (value != expected) ++wrongValue;
    slot.runs.fetch_add(1, std::memory_order_relaxed);
    total.fetch_add(1, std::memory_order_relaxed);
  };
  std::vector<std::thread> threads;
  for (int r = 0; r < kRegistrars; ++r) {
    threads.emplace_back([&, r] {
      for (int i = 0; i < futures; ++i) {
        while (completed.load(std::memory_order_acquire) < i - kLead) std::this_thread::yield();
        int seen = reached.load(std::memory_order_relaxed);
        while (seen < i && !reached.compare_exchange_weak(seen, i)) {
        }
        Slot& slot = slots[static_cast<std::size_t>(i)];
        registering = true;
        slot.future->onSuccess(queues[static_cast<std::size_t>(r)],
                               [&deliver, &slot, i](int v) { deliver(slot, i, v); });
        slot.future->onComplete(
            queues[static_cast<std::size_t>((r + i) % 3)],
            [&deliver, &slot, i](const Result<int>& result) { deliver(slot, i, result.value()); });
        registering = false;
      }
    });
  }
  threads.emplace_back([&] {
    completer = std::this_thread::get_id();
    for (int i = 0; i < futures; ++i) {
      while (reached.load(std::memory_order_acquire) < i) std::this_thread::yield();
      slots[static_cast<std::size_t>(i)].future->complete(i);
      completed.store(i, std::memory_order_release);
    }
  });
  for (auto& thread : threads) thread.join();
  const long expected = static_cast<long>(futures) * kHandlersPerFuture;
  ASSERT_TRUE(waitFor([&] { return total.load() >= expected; }, 60));
  for (const auto& queue : queues) drain(queue);
  EXPECT_EQ(total.load(), expected);
  EXPECT_EQ(wrongThread.load(), 0);
  EXPECT_EQ(wrongValue.load(), 0);
  int wrongCount = 0;
  for (const Slot& slot : slots) wrongCount += slot.runs.load() != kHandlersPerFuture ? 1 : 0;
  EXPECT_EQ(wrongCount, 0);
}

}  // namespace
}  // namespace mornik::Flow
