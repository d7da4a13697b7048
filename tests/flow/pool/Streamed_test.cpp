// Tests of the three small blocks that put a value behind a signal:
// Streamed, Value and Reduce.
#include "mornik/flow/pool/Streamed.hpp"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/concurrency/LockedVar.hpp"
#include "mornik/flow/pool/Reduce.hpp"
#include "mornik/flow/pool/Value.hpp"

#include "tests/support/Concurrently.hpp"
#include "tests/support/Recorder.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik::Flow {
namespace {

using test::waitFor;

TEST(Streamed, PublishesEveryWriteReadsTheInitialValueFromAClearedBufferAndCopiesShareIt) {
  DispatchQueue queue("test.streamed");
  Streamed<int> count(1, queue);
  test::Recorder<int> recorder(queue);
  count.signal()->onUpdate(recorder.block());  // on the Streamed's queue
  count = 3;
  count = 3;  // equal values publish too
  count.signal()->clearBuffer();
  EXPECT_EQ(count.get(), 1);  // the initial value, not the last write
  EXPECT_EQ(count.modify([](int& n) { return n += 6; }), 7);
  EXPECT_EQ(recorder.values(), (std::vector<int>{1, 3, 3, 7}));
  EXPECT_EQ(recorder.lastQueue(), "test.streamed");

  Streamed<int> constructed = count;
  Streamed<int> assigned(0);
  const auto formerSignal = assigned.signal();
  assigned = count;
  constructed = 8;
  EXPECT_EQ(assigned.get(), 8);
  EXPECT_EQ(assigned.initialValue(), 1);
  EXPECT_EQ(formerSignal->currentValue(), 0);  // left alone
}

TEST(Value, AnnouncesTheInitialValueAndEachWriteFromTheMainQueueAfterItIsReadable) {
  auto box = Value<std::string>::make("a", [](Value<std::string>& v) { v.content = "b"; });
  DispatchQueue observer("test.value.observer");
  LockedVar<std::string> read{""};  // what the notifications found, in order
  Subscription subscription = box->objectWillChange().subscribe(
      observer, [&read, box] { read.access([&](std::string& r) { r += box->content.get(); }); });
  ASSERT_TRUE(waitFor([&] { return read.read() == "bb"; }));  // make() and its block's write
  std::thread([&] { box->content = "c"; }).join();
  observer.sync([] {});  // notices come from the main queue, which only this thread pumps
  EXPECT_EQ(read.read(), "bb");
  ASSERT_TRUE(waitFor([&] { return read.read() == "bbc"; }));

  // Only a binding keeps the box alive; its own registration holds it weakly.
  const std::weak_ptr<Value<std::string>> weak = box;
  auto signal = box->content.signal();
  Binding<std::string> binding = box->asBinding();
  subscription = Subscription();
  test::drain(observer);  // the released subscriber's block goes on its queue
  box.reset();
  binding.set("d");
  EXPECT_EQ(signal->currentValue(), "d");
  binding = Binding<std::string>::constant(std::string());
  EXPECT_TRUE(weak.expired());
}

// Folds publish in order and complete() keeps its first accumulator; two
// threads folding at once (as a process's output and error streams do) lose
// nothing, and on a serial queue of its own its handlers see the sums in fold
// order.
TEST(Reduce, PublishesEachFoldInFoldOrderAndCompletesOnceWithTheFirstCompletesAccumulator) {
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

  const int perThread = test::scaled(10'000);
  const DispatchQueue serial("test.reduce");
  auto sum = Reduce<std::int64_t, int>::make(
      0, [](std::int64_t total, int n) { return total + n; }, serial);
  test::Recorder<std::int64_t> sums(serial);
  sum->accumulator().signal()->onUpdate(sums.block());  // on the reduction's queue
  test::runConcurrently(2, [&](int /*thread*/) {
    for (int i = 1; i <= perThread; ++i) sum->update(i);
  });
  const std::vector<std::int64_t> seen = sums.values();
  ASSERT_EQ(seen.size(), 2U * perThread + 1);
  for (std::size_t i = 1; i < seen.size(); ++i) ASSERT_LT(seen[i - 1], seen[i]);
  EXPECT_EQ(seen.back(), std::int64_t{perThread} * (perThread + 1));
}

}  // namespace
}  // namespace mornik::Flow
