#include "mornik/flow/pool/Value.hpp"

#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/LockedVar.hpp"

#include "tests/support/QueueGate.hpp"
#include "tests/support/RunLoopWait.hpp"

namespace mornik::Flow {
namespace {

using test::waitFor;

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

}  // namespace
}  // namespace mornik::Flow
