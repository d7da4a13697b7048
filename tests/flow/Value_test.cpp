#include "mornik/flow/Value.hpp"

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/QoS.hpp"

#include "tests/support/QueueGate.hpp"
#include "tests/support/RunLoopWait.hpp"

namespace mornik::Flow {
namespace {

using test::drain;
using test::waitFor;

// What the notifications of a box read, recorded on a serial queue other
// than main.
class Recorder {
 public:
  Subscription subscribe(const Value<std::string>::Pointer& box) {
    return box->objectWillChange().subscribe(queue_, [this, box] {
      std::lock_guard<std::mutex> guard(mutex_);
      read_.push_back(box->content.get());
    });
  }
  std::vector<std::string> read() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return read_;
  }
  bool waitForCount(std::size_t n) const {
    return waitFor([&] { return read().size() >= n; });
  }
  const DispatchQueue& queue() const { return queue_; }

 private:
  DispatchQueue queue_{"test.value.observer"};
  mutable std::mutex mutex_;
  std::vector<std::string> read_;
};

TEST(Value, AnnouncesTheInitialValueAndThenEachWriteFromAnyThreadViaTheMainQueue) {
  auto box = Value<std::string>::make("a");
  EXPECT_EQ(box->content.signal()->queue(), DispatchQueue::global(QoS::userInteractive));
  Recorder recorder;
  Subscription subscription = recorder.subscribe(box);
  ASSERT_TRUE(recorder.waitForCount(1));
  std::thread([&] { box->content = "b"; }).join();
  // The box sends from the main queue, which only runs while this thread
  // pumps it: nothing can have reached the observer yet.
  recorder.queue().sync([] {});
  EXPECT_EQ(recorder.read().size(), 1U);
  ASSERT_TRUE(recorder.waitForCount(2));
  box->content = "b";  // an equal value is announced too
  ASSERT_TRUE(recorder.waitForCount(3));
  drain(DispatchQueue::main());
  drain(recorder.queue());
  // Each notification found its new value readable.
  EXPECT_EQ(recorder.read(), (std::vector<std::string>{"a", "b", "b"}));
}

TEST(Value, MakeWithABlockRunsItOnceBeforeReturningWithTheBoxComplete) {
  int calls = 0;
  std::string readInside;
  std::shared_ptr<Value<std::string>> seenInside;
  auto box = Value<std::string>::make("start", [&](const std::shared_ptr<Value<std::string>>& v) {
    ++calls;
    readInside = v->content.get();
    seenInside = v;
    v->content = "configured";
  });
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(readInside, "start");
  EXPECT_EQ(seenInside, box);
  EXPECT_EQ(box->content.get(), "configured");

  auto byReference =
      Value<int>::make(1, [](Value<int>& v) { v.content.modify([](int& n) { ++n; }); });
  EXPECT_EQ(byReference->content.get(), 2);
}

TEST(Value, TheBindingReadsAndWritesTheContentAndKeepsTheBoxAlive) {
  auto box = Value<int>::make(1);
  const std::weak_ptr<Value<int>> weak = box;
  Binding<int> binding = box->asBinding();
  auto signal = box->content.signal();
  box.reset();
  ASSERT_FALSE(weak.expired());
  EXPECT_EQ(binding.get(), 1);
  binding.set(4);
  EXPECT_EQ(weak.lock()->content.get(), 4);
  EXPECT_EQ(signal->currentValue(), 4);
}

TEST(Value, ItsOwnRegistrationDoesNotKeepTheBoxAliveAndWritesAfterItIsGoneAreHarmless) {
  auto box = Value<int>::make(1);
  const std::weak_ptr<Value<int>> weak = box;
  auto signal = box->content.signal();
  box.reset();
  EXPECT_TRUE(weak.expired());
  signal->update(2);
  int seen = 0;
  signal->onUpdate(DispatchQueue::main(), [&](int value) { seen = value; });
  ASSERT_TRUE(waitFor([&] { return seen == 2; }));
}

}  // namespace
}  // namespace mornik::Flow
