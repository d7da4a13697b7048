// Tests of the three small blocks that put a value behind a signal:
// Streamed, Value and Reduce.
#include "mornik/flow/pool/Streamed.hpp"

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/LockedVar.hpp"
#include "mornik/flow/pool/Reduce.hpp"
#include "mornik/flow/pool/Value.hpp"

#include "tests/support/Concurrently.hpp"
#include "tests/support/QueueGate.hpp"
#include "tests/support/Recorder.hpp"
#include "tests/support/RunLoopWait.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik::Flow {
namespace {

using test::waitFor;

TEST(Streamed, PublishesEveryWriteAndReadsTheInitialValueFromAClearedBuffer) {
  DispatchQueue queue("test.streamed");
  Streamed<int> count(1, queue);
  test::Recorder<int> recorder(queue);
  count.signal()->onUpdate(recorder.block());  // on the Streamed's queue
  count = 3;
  count = 3;  // equal values publish too
  EXPECT_EQ(static_cast<int>(count), 3);
  count.signal()->clearBuffer();
  EXPECT_EQ(count.get(), 1);  // the initial value, not the last write
  EXPECT_EQ(count.modify([](int& n) { return n += 6; }), 7);
  EXPECT_EQ(count.get(), 7);
  EXPECT_EQ(recorder.values(), (std::vector<int>{1, 3, 3, 7}));
  EXPECT_EQ(recorder.lastQueue(), "test.streamed");
}

TEST(Streamed, CopiesShareOneSignalWhetherConstructedOrAssigned) {
  Streamed<std::string> original("untitled");
  Streamed<std::string> constructed = original;
  Streamed<std::string> assigned("other");
  const auto formerSignal = assigned.signal();
  assigned = original;
  EXPECT_EQ(assigned.signal(), original.signal());
  EXPECT_EQ(assigned.initialValue(), "untitled");
  constructed = "notes";
  EXPECT_EQ(assigned.get(), "notes");
  assigned = "draft";
  EXPECT_EQ(original.get(), "draft");
  EXPECT_EQ(formerSignal->currentValue(), "other");  // left alone
}

TEST(Value, AnnouncesTheInitialValueAndEachWriteFromTheMainQueueAfterItIsReadable) {
  auto box = Value<std::string>::make("a");
  DispatchQueue observer("test.value.observer");
  LockedVar<std::string> read{""};  // what the notifications found, in order
  Subscription subscription = box->objectWillChange().subscribe(
      observer, [&read, box] { read.access([&](std::string& r) { r += box->content.get(); }); });
  ASSERT_TRUE(waitFor([&] { return read.read() == "a"; }));
  std::thread([&] { box->content = "b"; }).join();
  observer.sync([] {});  // the main queue runs only while this thread pumps it
  EXPECT_EQ(read.read(), "a");
  box->content = "b";
  ASSERT_TRUE(waitFor([&] { return read.read() == "abb"; }));
}

TEST(Value, MakeRunsTheBlockOnTheFinishedBoxAndOnlyTheBindingKeepsItAlive) {
  auto box = Value<int>::make(1, [&](Value<int>& v) { v.content.modify([](int& n) { ++n; }); });
  EXPECT_EQ(box->content.get(), 2);
  const std::weak_ptr<Value<int>> weak = box;
  auto signal = box->content.signal();
  Binding<int> binding = box->asBinding();
  box.reset();
  binding.set(4);
  EXPECT_EQ(signal->currentValue(), 4);
  EXPECT_EQ(binding.get(), 4);
  binding = Binding<int>::constant(0);
  EXPECT_TRUE(weak.expired());  // its own registration holds it weakly
  signal->update(5);            // and does nothing once it is gone
  test::drain(DispatchQueue::main());
}

TEST(Reduce, PublishesEachFoldAndCompletesOnceWithTheAccumulatorOfTheFirstComplete) {
  auto lines =
      Reduce<std::string, std::string>::make(">", [](std::string text, const std::string& line) {
        if (line.empty()) throw std::invalid_argument("empty line");
        return text + line;
      });
  test::Recorder<std::string> recorder;
  recorder.on(*lines->accumulator().signal());
  lines->update("a");
  lines->complete();
  EXPECT_THROW(lines->update(""), std::invalid_argument);  // leaves the accumulator
  lines->update("b");  // the lock was released; updates go on after complete()
  lines->complete();   // ignored
  EXPECT_EQ(lines->completed()->wait().maybeSuccess(), ">a");
  EXPECT_EQ(recorder.values(), (std::vector<std::string>{">", ">a", ">ab"}));

  auto untouched = Reduce<int, int>::make(7, [](int sum, int n) { return sum + n; });
  untouched->complete();
  EXPECT_EQ(untouched->completed()->wait().maybeSuccess(), 7);
}

// Two threads fold at once (as a process's output and error streams do):
// nothing is lost, and a serial queue sees the sums in fold order.
TEST(Reduce, ConcurrentUpdatesLoseNothingAndPublishInFoldOrder) {
  const int perThread = test::scaled(10'000);
  auto sum =
      Reduce<std::int64_t, int>::make(0, [](std::int64_t total, int n) { return total + n; });
  test::Recorder<std::int64_t> recorder;
  recorder.on(*sum->accumulator().signal());
  test::runConcurrently(2, [&](int /*thread*/) {
    for (int i = 1; i <= perThread; ++i) sum->update(i);
  });
  const std::int64_t expected = std::int64_t{perThread} * (perThread + 1);
  EXPECT_EQ(sum->accumulator().get(), expected);
  const std::vector<std::int64_t> seen = recorder.values();
  ASSERT_EQ(seen.size(), 2U * perThread + 1);
  for (std::size_t i = 1; i < seen.size(); ++i) ASSERT_LT(seen[i - 1], seen[i]);
}

}  // namespace
}  // namespace mornik::Flow
