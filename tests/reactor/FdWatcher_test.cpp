#include "mornik/reactor/FdWatcher.hpp"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/DispatchSemaphore.hpp"

#include "tests/support/QueueGate.hpp"
#include "tests/support/RunLoopWait.hpp"

namespace mornik {
namespace {

struct Pipe {
  UniqueFd read, write;
  Pipe() {
    int ends[2];
    EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    read.reset(ends[0]);
    write.reset(ends[1]);
  }
  void put(std::string_view bytes) const {
    EXPECT_GT(::write(write.get(), bytes.data(), bytes.size()), 0);
  }
};

// Returns once every readiness that happened before the call has been
// dispatched: the watcher takes events in the order descriptors became
// ready (epoll's ready list), and this marker's handler runs on its thread.
void awaitDispatch() {
  Pipe marker;
  std::atomic<bool> seen{false};
  auto watch = FdWatcher::watchReadable(std::move(marker.read), std::nullopt,
                                        [&](FdWatch&) { return seen = false; });
  marker.put("m");
  ASSERT_TRUE(test::waitFor([&] { return watch.value()->isFinished(); }));
}

class FdWatcherChunks : public testing::TestWithParam<bool> {};

TEST_P(FdWatcherChunks, HandsOverEveryByteInBoundedChunksThenOneEmptyChunk) {
  const std::size_t before = FdWatcher::activeWatchCount();
  Pipe pipe;
  std::mutex lock;
  std::vector<std::string> chunks;
  const auto queue = GetParam() ? std::optional(DispatchQueue::global()) : std::nullopt;
  auto watch = FdWatcher::readChunks(std::move(pipe.read), queue, [&](std::string_view chunk) {
    std::lock_guard guard(lock);
    chunks.emplace_back(chunk);
  });
  std::string sent;
  for (int i = 0; sent.size() < 3 * FdWatcher::kChunkSize; ++i) sent += std::to_string(i) + ",";
  for (std::size_t at = 0; at < sent.size(); at += 1000) pipe.put(sent.substr(at, 1000));
  pipe.write.reset();
  ASSERT_TRUE(test::waitFor([&] { return watch.value()->isFinished(); }));
  std::string received;
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    EXPECT_LE(chunks[i].size(), FdWatcher::kChunkSize);
    EXPECT_EQ(chunks[i].empty(), i + 1 == chunks.size());
    received += chunks[i];
  }
  EXPECT_EQ(received, sent);
  EXPECT_EQ(FdWatcher::activeWatchCount(), before);
}

INSTANTIATE_TEST_SUITE_P(OnQueueAndOnTheWatcherThread, FdWatcherChunks, testing::Bool());

// With a larger limit, a chunk takes what the pipe holds (the buffer grows
// from 64 KiB as reads fill it) but never more than the limit, still every
// byte in order.
TEST(FdWatcher, ALargerLimitLetsAChunkTakeWhatThePipeHolds) {
  constexpr std::size_t kLimit = 2 * FdWatcher::kChunkSize;
  Pipe pipe;
  ASSERT_GE(::fcntl(pipe.write.get(), F_SETPIPE_SZ, 1 << 20), 1 << 20);
  std::string sent;
  for (int i = 0; sent.size() < 600 * 1024; ++i) sent += std::to_string(i) + ",";
  pipe.put(sent);
  pipe.write.reset();
  std::vector<std::string> chunks;  // the watcher's thread until the watch has finished
  auto watch = FdWatcher::readChunks(
      std::move(pipe.read), std::nullopt,
      [&](std::string_view chunk) { chunks.emplace_back(chunk); }, kLimit);
  ASSERT_TRUE(test::waitFor([&] { return watch.value()->isFinished(); }));
  std::string received;
  std::size_t largest = 0;
  for (const auto& chunk : chunks) {
    received += chunk;
    largest = std::max(largest, chunk.size());
  }
  EXPECT_EQ(received, sent);
  EXPECT_GT(largest, FdWatcher::kChunkSize);
  EXPECT_LE(largest, kLimit);
}

// With every other worker held, work that a chunk's handler passes on to a
// queue still runs before the next chunk: the turn stops and continues
// behind it instead of reading on.
TEST(FdWatcher, WorkAChunkPassesOnRunsBeforeTheNextChunk) {
  Pipe pipe;
  ASSERT_GE(::fcntl(pipe.write.get(), F_SETPIPE_SZ, 1 << 20), 1 << 20);
  pipe.put(std::string(3 * FdWatcher::kChunkSize, 'x'));
  pipe.write.reset();
  const int held = std::max(1, static_cast<int>(std::thread::hardware_concurrency())) - 1;
  std::atomic<int> holding{0};
  std::atomic<bool> release{false};
  for (int i = 0; i < held; ++i) {
    DispatchQueue::global().async([&] {
      ++holding;
      while (!release) std::this_thread::yield();
      --holding;
    });
  }
  ASSERT_TRUE(test::waitFor([&] { return holding == held; }));
  std::atomic<bool> passedOnRan{false};
  std::vector<bool> ranBeforeChunk;  // one turn at a time writes it
  std::atomic<bool> ended{false};
  auto watch = FdWatcher::readChunks(std::move(pipe.read), DispatchQueue::global(),
                                     [&](std::string_view chunk) {
                                       if (chunk.empty()) {
                                         ended = true;
                                         return;
                                       }
                                       ranBeforeChunk.push_back(passedOnRan);
                                       if (ranBeforeChunk.size() == 1) {
                                         DispatchQueue::global().async([&] { passedOnRan = true; });
                                       }
                                     });
  ASSERT_TRUE(test::waitFor([&] { return ended.load(); }));
  release = true;
  EXPECT_EQ(ranBeforeChunk, (std::vector<bool>{false, true, true}));
  ASSERT_TRUE(test::waitFor([&] { return holding == 0 && passedOnRan; }));
}

TEST(FdWatcher, NoHandlerStartsAfterCancelAndTheDescriptorCloses) {
  const DispatchQueue queue("test.fdwatcher");
  Pipe pipe;
  std::atomic<int> calls{0};
  auto watch =
      FdWatcher::watchReadable(std::move(pipe.read), queue, [&](FdWatch&) { return ++calls > 0; });
  {
    test::QueueGate gate(queue);
    pipe.put("x");
    awaitDispatch();  // the handler's turn now waits on the gated queue
    watch.value()->cancel();
  }
  test::drain(queue);
  EXPECT_EQ(calls.load(), 0);
  ::signal(SIGPIPE, SIG_IGN);
  EXPECT_EQ(::write(pipe.write.get(), "y", 1), -1);  // no reader left
  EXPECT_EQ(errno, EPIPE);
}

TEST(FdWatcher, OneWatchRunsOneHandlerAtATimeOnAConcurrentQueue) {
  Pipe pipe;
  std::atomic<int> calls{0};
  DispatchSemaphore entered;
  DispatchSemaphore finish;
  auto watch =
      FdWatcher::watchReadable(std::move(pipe.read), DispatchQueue::global(), [&](FdWatch& self) {
        if (++calls == 1) {
          entered.signal();
          finish.wait();
        }
        char buffer[16];
        while (::read(self.fd(), buffer, sizeof buffer) > 0) {
        }
        return true;
      });
  pipe.put("a");
  entered.wait();
  pipe.put("b");  // readable again while the first call runs
  awaitDispatch();
  // Widens the window for a second call that must not start (the assertion
  // holds however short it is).
  test::waitFor([&] { return calls.load() > 1; }, 0.3);
  EXPECT_EQ(calls.load(), 1);
  finish.signal();
  watch.value()->cancel();
  // The handler still runs on its queue and uses this frame's locals.
  ASSERT_TRUE(test::waitFor([&] { return watch.value()->isFinished(); }));
}

}  // namespace
}  // namespace mornik
