#include "mornik/reactor/FdWatcher.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <csignal>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/DispatchSemaphore.hpp"

#include "tests/support/QueueGate.hpp"
#include "tests/support/Recorder.hpp"
#include "tests/support/RunLoopWait.hpp"

namespace mornik {
namespace {

struct Pipe {
  UniqueFd read, write;
  explicit Pipe(bool socket = false) {
    int ends[2];
    EXPECT_EQ(socket ? ::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) : ::pipe2(ends, O_CLOEXEC), 0);
    read.reset(ends[0]);
    write.reset(ends[1]);
  }
  void put(std::string_view bytes) const {
    EXPECT_GT(::write(write.get(), bytes.data(), bytes.size()), 0);
  }
};

using Log = std::shared_ptr<test::Recorder<std::string>>;
Log makeLog() { return std::make_shared<test::Recorder<std::string>>(); }

// Options whose end notification adds to `log` a line with its result and
// where it ran (a queue's label).
FdWatcher::Options endingIn(const Log& log, std::optional<DispatchQueue> queue = {}) {
  FdWatcher::Options options;
  options.queue = std::move(queue);
  options.onEnd = [log](const Result<void>& end) {  // no queue: the watcher's thread, no label
    log->add((end.isSuccess() ? "end" : "end " + end.error().detailedDescription()) + " on " +
             DispatchQueue::currentLabel());
  };
  return options;
}

// Returns once every readiness that happened before the call has been
// dispatched: the watcher takes events in the order descriptors became
// ready (epoll's ready list), and this marker's handler runs on its thread.
void awaitDispatch() {
  Pipe marker;
  auto watch =
      FdWatcher::watch(std::move(marker.read), {}, [](FdWatch&, FdEvents) { return false; });
  marker.put("m");
  ASSERT_TRUE(test::waitFor([&] { return watch.value()->isFinished(); }));
}

class FdWatcherChunks : public testing::TestWithParam<bool> {};

// (The end comes in as an empty chunk here.)
TEST_P(FdWatcherChunks, HandsOverEveryByteInBoundedChunksThenTheEnd) {
  const std::size_t before = FdWatcher::activeWatchCount();
  Pipe pipe;
  std::mutex lock;
  std::vector<std::string> chunks;
  const auto queue = GetParam() ? std::optional(DispatchQueue::global()) : std::nullopt;
  const auto add = [&](std::string_view chunk) {
    std::lock_guard guard(lock);
    chunks.emplace_back(chunk);
  };
  auto watch =
      FdWatcher::readChunks(std::move(pipe.read), queue, add,
                            [&](const Result<void>& end) { add(end.isSuccess() ? "" : "failed"); });
  std::string sent;
  for (int i = 0; sent.size() < 3 * FdWatcher::kChunkSize; ++i) sent += std::to_string(i) + ",";
  for (std::size_t at = 0; at < sent.size(); at += 1000) pipe.put(sent.substr(at, 1000));
  pipe.write.reset();
  ASSERT_TRUE(test::waitFor([&] {
    std::lock_guard guard(lock);
    return !chunks.empty() && chunks.back().empty();
  }));
  std::string received;
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    EXPECT_LE(chunks[i].size(), FdWatcher::kChunkSize);
    EXPECT_EQ(chunks[i].empty(), i + 1 == chunks.size());
    received += chunks[i];
  }
  EXPECT_EQ(received, sent);
  EXPECT_EQ(FdWatcher::activeWatchCount(), before);
}

// A socket whose peer closed with bytes unread reports the reset once, after
// the data it holds: a failure, not an end of file.
TEST_P(FdWatcherChunks, AReadErrorEndsTheStreamWithThatErrorAfterItsData) {
  Pipe socket(true);
  socket.put("hello");
  ASSERT_EQ(::write(socket.read.get(), "unread", 6), 6);
  socket.write.reset();
  const int fd = socket.read.get();
  auto log = makeLog();
  auto watch = FdWatcher::readChunks(
      std::move(socket.read), GetParam() ? std::optional(DispatchQueue::global()) : std::nullopt,
      [log](std::string_view chunk) { log->add(std::string(chunk)); }, endingIn(log).onEnd);
  ASSERT_TRUE(log->waitForSize(2));
  const Error reset = Error::fromErrno(ECONNRESET, "cannot read descriptor " + std::to_string(fd));
  EXPECT_EQ(log->values(), (std::vector<std::string>{
                               "hello", "end " + reset.detailedDescription() + " on " +
                                            (GetParam() ? DispatchQueue::global().label() : "")}));
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
      [&](std::string_view chunk) { chunks.emplace_back(chunk); }, nullptr, kLimit);
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
  auto watch = FdWatcher::readChunks(
      std::move(pipe.read), DispatchQueue::global(),
      [&](std::string_view) {
        ranBeforeChunk.push_back(passedOnRan);
        if (ranBeforeChunk.size() == 1) {
          DispatchQueue::global().async([&] { passedOnRan = true; });
        }
      },
      [&](const Result<void>&) { ended = true; });
  ASSERT_TRUE(test::waitFor([&] { return ended.load(); }));
  release = true;
  EXPECT_EQ(ranBeforeChunk, (std::vector<bool>{false, true, true}));
  ASSERT_TRUE(test::waitFor([&] { return holding == 0 && passedOnRan; }));
}

TEST(FdWatcher, NoHandlerStartsAfterCancelAndTheDescriptorCloses) {
  const DispatchQueue queue("test.fdwatcher");
  Pipe pipe;
  std::atomic<int> calls{0};
  auto watch = FdWatcher::watch(std::move(pipe.read), endingIn(makeLog(), queue),
                                [&](FdWatch&, FdEvents) { return ++calls > 0; });
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

// A cancel from another thread while the handler runs: neither a second call
// nor the end before that call has returned.
TEST(FdWatcher, OneWatchRunsOneHandlerAtATimeOnAConcurrentQueue) {
  Pipe pipe;
  std::atomic<int> calls{0};
  DispatchSemaphore entered;
  DispatchSemaphore finish;
  auto log = makeLog();
  const auto onTheGlobalQueue = endingIn(log, DispatchQueue::global());
  auto watch =
      FdWatcher::watch(std::move(pipe.read), onTheGlobalQueue, [&](FdWatch& self, FdEvents) {
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
  watch.value()->cancel();
  // Widens the window for a second call or an early end (the assertion
  // holds however short it is).
  EXPECT_FALSE(test::waitFor([&] { return calls.load() > 1 || log->seen() > 0; }, 0.3));
  finish.signal();
  // The handler still runs on its queue and uses this frame's locals.
  ASSERT_TRUE(log->waitForSize(1));
  EXPECT_EQ(log->values(), std::vector<std::string>{"end on " + DispatchQueue::global().label()});
}

// A borrowed socket whose send buffer is full becomes writable when its
// peer drains it. The interest changes from another thread while the
// handler runs and from inside the handler; none pauses the watch. A
// handler cancels its own watch; the end follows its return, and the socket
// stays open and as it was.
TEST(FdWatcher, WriteInterestAndInterestChangesWhileWatching) {
  Pipe pair(true);
  const int fd = pair.write.get();
  ASSERT_EQ(::fcntl(fd, F_SETFL, O_NONBLOCK), 0);
  while (::write(fd, std::string(4096, 'w').data(), 4096) > 0) continue;
  auto log = makeLog();
  DispatchSemaphore entered;
  DispatchSemaphore proceed;
  const DispatchQueue queue("test.write");
  auto watch =
      FdWatcher::watchBorrowed(fd, endingIn(log, queue), [&](FdWatch& self, FdEvents ready) {
        const bool writable = hasAny(ready, FdEvents::writable);
        log->add(std::string(hasAny(ready, FdEvents::readable) ? "r" : "") + (writable ? "w" : ""));
        if (log->seen() == 1) entered.signal(), proceed.wait();
        if (writable) self.setInterest(FdEvents::readable);
        if (log->seen() == 3) self.cancel(), log->add("cancelled");
        char byte = 0;
        return ::read(fd, &byte, 1) != 0;
      });
  ASSERT_EQ(::write(pair.read.get(), "1", 1), 1);
  entered.wait();
  watch.value()->setInterest(FdEvents::readable | FdEvents::writable);  // applies at the re-arm
  proceed.signal();
  std::array<char, 1 << 16> drained{};
  while (::recv(pair.read.get(), drained.data(), drained.size(), MSG_DONTWAIT) > 0) continue;
  ASSERT_TRUE(test::waitFor([&] { return watch.value()->interest() == FdEvents::readable; }));
  watch.value()->setInterest(FdEvents::none);
  ASSERT_EQ(::write(pair.read.get(), "2", 1), 1);
  awaitDispatch();
  test::drain(queue);
  EXPECT_EQ(log->seen(), 2U);                      // paused
  watch.value()->setInterest(FdEvents::readable);  // writable all along, but not asked
  ASSERT_TRUE(log->waitForSize(5));
  EXPECT_EQ(log->values(),
            (std::vector<std::string>{"r", "w", "r", "cancelled", "end on test.write"}));
  EXPECT_EQ(::fcntl(fd, F_GETFL), O_RDWR | O_NONBLOCK);
}

// epoll cannot watch regular files (always ready) or closed numbers.
TEST(FdWatcher, DescriptorsThatCannotBeWatchedAreRefusedWithTheReason) {
  const auto watch = [](int fd) {
    return FdWatcher::watchBorrowed(fd, {}, [](FdWatch&, FdEvents) { return true; });
  };
  const int file = ::open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
  const int closed = 1 << 20;  // above the process's descriptor limit: never open
  for (const auto& [fd, code, reason] :
       {std::tuple(file, EPERM, "epoll refuses regular files and folders, which are always ready"),
        std::tuple(closed, EBADF, "Bad file descriptor")}) {
    const std::string description = "cannot watch descriptor " + std::to_string(fd) + ": " + reason;
    EXPECT_EQ(watch(fd).error(), Error(std::string(kPOSIXErrorDomain), code,
                                       {{std::string(kLocalizedDescriptionKey), description}}));
  }
}

// A borrowed descriptor closed behind its watch: the watch ends with an
// error, its handler never sees what the number holds next, and a watch
// that gets the number next is not disturbed.
TEST(FdWatcher, ABorrowedDescriptorClosedBehindItsWatchEndsItWithAnError) {
  enum Then { cancelled, numberReusedAndOldFileReady, numberWatchedAgain };
  for (const Then then : {cancelled, numberReusedAndOldFileReady, numberWatchedAgain}) {
    Pipe old;
    Pipe next;
    const int fd = old.read.get();
    UniqueFd keptAlive(::dup(fd));  // elsewhere, the old file lives on
    const std::array<Log, 2> logs{makeLog(), makeLog()};
    const auto watch = [&](const Log& log) {
      return FdWatcher::watchBorrowed(
          fd, endingIn(log, DispatchQueue("test.closed")),
          [log](FdWatch&, FdEvents) { return log->add("call"), false; });
    };
    auto first = watch(logs[0]);
    if (then == cancelled) keptAlive.reset();  // the last reference goes: epoll forgets it
    ::close(old.read.release());
    ASSERT_EQ(::dup2(next.read.get(), fd), fd);
    EXPECT_TRUE(then != numberWatchedAgain || watch(logs[1]).isSuccess());
    then == cancelled ? first.value()->cancel() : old.put("x");
    next.put("y");
    ASSERT_TRUE(logs[0]->waitForSize(1));
    const auto closed = Error::fromErrno(
        EBADF, "descriptor " + std::to_string(fd) + " was closed while it was watched");
    EXPECT_EQ(logs[0]->values(),
              std::vector<std::string>{"end " + closed.detailedDescription() + " on test.closed"});
    EXPECT_TRUE(then != numberWatchedAgain || logs[1]->waitForSize(2));
    EXPECT_EQ(logs[1]->seen(), then == numberWatchedAgain ? 2U : 0U);
    ::close(fd);
  }
}

TEST(FdWatcher, TenThousandWatchesAtOnce) {
  constexpr int kWatches = 10000;
  rlimit files{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &files), 0);
  const rlimit raised{std::max<rlim_t>(files.rlim_cur, kWatches + 1000), files.rlim_max};
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &raised), 0) << "a hard limit below " << raised.rlim_cur;
  const std::size_t before = FdWatcher::activeWatchCount();
  std::vector<UniqueFd> eventfds(kWatches);
  const auto once = [](FdWatch&, FdEvents) { return false; };  // ends at its first readiness
  for (auto& fd : eventfds) fd.reset(::eventfd(0, EFD_CLOEXEC));
  for (auto& fd : eventfds) ASSERT_TRUE(FdWatcher::watchBorrowed(fd.get(), {}, once).isSuccess());
  EXPECT_EQ(FdWatcher::activeWatchCount(), before + kWatches);
  for (const auto& fd : eventfds) ASSERT_EQ(::eventfd_write(fd.get(), 1), 0);
  EXPECT_TRUE(test::waitFor([&] { return FdWatcher::activeWatchCount() == before; }));
}

}  // namespace
}  // namespace mornik
