#include "mornik/concurrency/detail/ItemAllocator.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/detail/Executor.hpp"

#include "tests/support/Concurrently.hpp"
#include "tests/support/RunLoopWait.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik::detail {
namespace {

TEST(ItemAllocator, BlocksAreDistinctAlignedAndWritableInEveryClass) {
  for (std::size_t size : {8U, 64U, 65U, 128U, 192U, 200U, 256U, 257U, 4000U}) {
    std::vector<void*> blocks;
    std::set<void*> seen;
    for (int i = 0; i < 500; ++i) {
      void* block = allocateWorkItem(size);
      ASSERT_EQ(reinterpret_cast<std::uintptr_t>(block) % alignof(std::max_align_t), 0U);
      std::memset(block, i & 0xFF, size);
      EXPECT_TRUE(seen.insert(block).second) << "block handed out twice, size " << size;
      blocks.push_back(block);
    }
    for (int i = 0; i < 500; ++i) {
      const auto* bytes = static_cast<const unsigned char*>(blocks[static_cast<std::size_t>(i)]);
      EXPECT_EQ(bytes[size - 1], static_cast<unsigned char>(i & 0xFF)) << "blocks overlap";
    }
    for (void* block : blocks) freeWorkItem(block, size);
  }
}

// A producer allocates, consumers free: blocks travel between threads through
// the depot, bursts overflow it and release whole slabs, and every block in
// use at one time is distinct (each carries its owner's stamp until freed).
TEST(ItemAllocator, BlocksMovingBetweenThreadsStayDistinct) {
  const int rounds = test::scaled(20);
  const int perRound = 20000;
  for (int round = 0; round < rounds; ++round) {
    std::vector<std::uint64_t*> blocks;
    blocks.reserve(perRound);
    std::thread producer([&] {
      for (int i = 0; i < perRound; ++i) {
        auto* block = static_cast<std::uint64_t*>(allocateWorkItem(64));
        block[0] = static_cast<std::uint64_t>(round) << 32 | static_cast<std::uint64_t>(i);
        blocks.push_back(block);
      }
    });
    producer.join();
    std::atomic<int> failures{0};
    test::runConcurrently(2, [&](int c) {
      for (std::size_t i = static_cast<std::size_t>(c); i < blocks.size(); i += 2) {
        const std::uint64_t expected = static_cast<std::uint64_t>(round) << 32 | i;
        if (blocks[i][0] != expected) failures.fetch_add(1);
        freeWorkItem(blocks[i], 64);
      }
    });
    EXPECT_EQ(failures.load(), 0) << "a block was reused while still in use";
  }
}

// A burst leaves blocks in the thread's magazines and the depot, which keep
// their slabs alive; once the thread has been idle a while (a worker, or the
// main run loop), the slabs go back, and their pages to the kernel. Without
// that, a long-running process keeps whatever its busiest moment took.
TEST(ItemAllocator, AThreadIdleAfterABurstGivesItsSlabsBack) {
  if (test::kUnderAddressSanitizer) GTEST_SKIP() << "blocks are plain allocations under ASan";
  const auto burst = [] {
    std::vector<void*> blocks;
    for (std::size_t size : {64U, 128U, 192U, 256U}) {
      for (int i = 0; i < 5000; ++i) blocks.push_back(allocateWorkItem(size));
      for (void* block : blocks) freeWorkItem(block, size);
      blocks.clear();
    }
  };
  for (const auto& queue : {DispatchQueue::global(QoS::utility), DispatchQueue::main()}) {
    trimItemCaches();  // this thread's caches and the depot start empty
    // Submitting takes a slab for this thread's magazine: take it first.
    std::atomic<bool> ran{false};
    queue.async([&ran] { ran = true; });
    ASSERT_TRUE(test::waitFor([&] { return ran.load(); }));
    const long before = itemSlabsInUse();
    queue.async(burst);
    EXPECT_TRUE(test::waitFor([&] { return itemSlabsInUse() > before; })) << queue.label();
    EXPECT_TRUE(test::waitFor([&] { return itemSlabsInUse() <= before; }))
        << queue.label() << " " << before << " " << itemSlabsInUse();
    EXPECT_TRUE(test::waitFor([] { return itemFreeSlabsWithPages() == 0; }))
        << queue.label() << " " << itemFreeSlabsWithPages();
  }
}

// An idle thread that finds the pool busy leaves the shared caches alone and
// says so while they hold spare memory, so that an idle worker tries again
// later (the last worker to fall idle may have tried already).
TEST(ItemAllocator, AnIdleTrimThatFindsThePoolBusySaysWhetherSpareMemoryRemains) {
  if (test::kUnderAddressSanitizer) GTEST_SKIP() << "blocks are plain allocations under ASan";
  std::atomic<bool> ran{false};  // the pool exists
  DispatchQueue::global().async([&ran] { ran = true; });
  ASSERT_TRUE(test::waitFor([&] { return ran.load(); }));
  trimItemCaches();
  std::vector<void*> blocks;
  for (int i = 0; i < 5000; ++i) blocks.push_back(allocateWorkItem(64));
  for (void* block : blocks) freeWorkItem(block, 64);  // beyond this thread's magazine: the depot
  const std::uint64_t busy = poolActivity() + 1;       // activity since: not quiet
  EXPECT_FALSE(trimItemCachesAfterIdle(busy));
  EXPECT_TRUE(sharedItemCachesHoldSpare());
  trimItemCaches();
  EXPECT_TRUE(trimItemCachesAfterIdle(busy));
}

}  // namespace
}  // namespace mornik::detail
