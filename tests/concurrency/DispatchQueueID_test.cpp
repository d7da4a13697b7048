#include "mornik/concurrency/DispatchQueueID.hpp"

#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchSemaphore.hpp"

#include "tests/support/Concurrently.hpp"
#include "tests/support/ManualClock.hpp"
#include "tests/support/QueueGate.hpp"
#include "tests/support/RunLoopWait.hpp"

namespace mornik {
namespace {

using test::waitFor;

TEST(DispatchQueueID, OneQueuePerIdEvenWhenCallersRace) {
  EXPECT_EQ(DispatchQueueID{"test.same"}.queue(), DispatchQueueID{"test.same"}.queue());
  EXPECT_FALSE(DispatchQueueID{"test.one"}.queue() == DispatchQueueID{"test.two"}.queue());
  const DispatchQueue queue = DispatchQueueID{"test.labelled"}.queue();
  EXPECT_EQ(queue.label(), "test.labelled");
  EXPECT_EQ(queue.qos(), QoS::userInitiated);
  EXPECT_TRUE(queue.isSerial());

  std::mutex lock;
  std::set<const void*> seen;
  test::runConcurrently(8, [&](int) {
    const DispatchQueue raced = DispatchQueueID{"test.raced"}.queue();
    std::lock_guard guard(lock);
    seen.insert(raced.impl().get());
  });
  EXPECT_EQ(seen.size(), 1U);
}

TEST(QueueTests, IsMainQueueAndIsCurrentFollowTheRunningWork) {
  EXPECT_TRUE(isMainQueue());  // the main thread, outside any work
  std::atomic<int> checks{0};
  DispatchQueue::main().async([&] {
    if (isMainQueue() && isCurrent(DispatchQueue::main())) checks.fetch_add(1);
  });
  DispatchQueue::global().async([&] {
    if (!isMainQueue() && isCurrent(DispatchQueue::global()) && !isCurrent(DispatchQueue::main())) {
      checks.fetch_add(1);
    }
  });
  const DispatchQueue serial("test.current");
  serial.async([&] {
    if (isCurrent(serial) && !isCurrent(DispatchQueue::global())) checks.fetch_add(1);
  });
  EXPECT_TRUE(waitFor([&] { return checks.load() == 3; }));
  bool onPlainThread = true;
  std::thread([&] { onPlainThread = isMainQueue() || isCurrent(serial); }).join();
  EXPECT_FALSE(onPlainThread);
}

TEST(Debounce, ABurstRunsTheActionOnceAndALateCallRunsItAgain) {
  test::ManualClock clock;
  const DispatchQueue queue("test.debounce");
  std::atomic<int> runs{0};
  auto trigger = debounce(queue, std::chrono::milliseconds(50), [&] { runs.fetch_add(1); });
  for (int i = 0; i < 10; ++i) queue.async(trigger);
  test::drain(queue);
  clock.advance(0.05 - 1e-9);
  EXPECT_EQ(runs.load(), 0);
  clock.advance(1.0);
  EXPECT_EQ(runs.load(), 1) << "the burst gives one action";
  queue.async(trigger);  // long after the last run: at once
  EXPECT_TRUE(waitFor([&] { return runs.load() == 2; }));
  EXPECT_THROW((void)debounce(queue, std::nan(""), [] {}), std::invalid_argument);
}

TEST(ThreadName, DbgNameIsTheQueueLabelOrTheThread) {
  EXPECT_EQ(DispatchQueue("test.named").sync([] { return Thread::dbgName(); }), "test.named");
  EXPECT_EQ(DispatchQueue("caf\xC3\xA9").sync([] { return Thread::dbgName(); }), "caf\xC3\xA9");
  for (const char* notUtf8 :
       {"caf\xE9", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82"}) {
    EXPECT_EQ(DispatchQueue(notUtf8).sync([] { return Thread::dbgName(); }).rfind("<Thread ", 0),
              0U);
  }
  EXPECT_EQ(Thread::dbgName(), "mornik.main");
  std::string plain;
  std::thread([&] {
    pthread_setname_np(pthread_self(), "plain-worker");
    plain = Thread::dbgName();
  }).join();
  EXPECT_EQ(plain.rfind("<Thread ", 0), 0U) << plain;
  EXPECT_NE(plain.find("\"plain-worker\">"), std::string::npos) << plain;
}

}  // namespace
}  // namespace mornik
