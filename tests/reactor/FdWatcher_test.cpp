#include "mornik/reactor/FdWatcher.hpp"

#include <algorithm>
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
#include "tests/support/RunLoopWait.hpp"

namespace mornik {
namespace {

struct Pipe {
  UniqueFd read, write;
  explicit Pipe(bool socket = false) {
    int ends[2];
    EXPECT_EQ(socket ? ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends)
                     : ::pipe2(ends, O_CLOEXEC),
              0);
    read.reset(ends[0]);
    write.reset(ends[1]);
  }
  void put(std::string_view bytes) const {
    EXPECT_GT(::write(write.get(), bytes.data(), bytes.size()), 0);
  }
};

// What a watch reported: handler calls, then its ends (one expected).
struct Log {
  std::mutex lock;
  std::vector<std::string> events;
  std::vector<Result<void>> ends;
  std::string endThread;
  void add(std::string event) {
    std::lock_guard guard(lock);
    events.push_back(std::move(event));
  }
  FdWatcher::EndHandler onEnd() {
    return [this](const Result<void>& end) {
      char name[32] = {};
      pthread_getname_np(pthread_self(), name, sizeof name);
      std::lock_guard guard(lock);
      events.emplace_back("end");
      ends.push_back(end);
      endThread = DispatchQueue::current() ? DispatchQueue::currentLabel() : name;
    };
  }
  bool ended() {
    std::lock_guard guard(lock);
    return !ends.empty();
  }
  std::size_t count() {
    std::lock_guard guard(lock);
    return events.size();
  }
};

FdWatcher::Options on(std::optional<DispatchQueue> queue, Log* log = nullptr) {
  FdWatcher::Options options;
  options.queue = std::move(queue);
  if (log != nullptr) options.onEnd = log->onEnd();
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

class FdWatcherChunks : public testing::TestWithParam<bool> {
 protected:
  std::optional<DispatchQueue> queue() const {
    return GetParam() ? std::optional(DispatchQueue::global()) : std::nullopt;
  }
};

TEST_P(FdWatcherChunks, HandsOverEveryByteInBoundedChunksThenEndsOnce) {
  const std::size_t before = FdWatcher::activeWatchCount();
  Pipe pipe;
  Log log;
  std::vector<std::string> chunks;  // one turn at a time appends
  auto watch = FdWatcher::readChunks(
      std::move(pipe.read), queue(), [&](std::string_view chunk) { chunks.emplace_back(chunk); },
      log.onEnd());
  std::string sent;
  for (int i = 0; sent.size() < 3 * FdWatcher::kChunkSize; ++i) sent += std::to_string(i) + ",";
  for (std::size_t at = 0; at < sent.size(); at += 1000) pipe.put(sent.substr(at, 1000));
  pipe.write.reset();
  ASSERT_TRUE(test::waitFor([&] { return log.ended(); }));
  std::string received;
  for (const auto& chunk : chunks) {
    EXPECT_TRUE(!chunk.empty() && chunk.size() <= FdWatcher::kChunkSize);
    received += chunk;
  }
  EXPECT_EQ(received, sent);
  EXPECT_EQ(log.ends, std::vector<Result<void>>{Result<void>()});
  EXPECT_EQ(FdWatcher::activeWatchCount(), before);
}

// A socket whose peer closed with bytes unread reports the reset once, after
// the data it holds: a failure, not an end of file.
TEST_P(FdWatcherChunks, AReadErrorMidStreamEndsTheWatchWithThatErrorAfterTheData) {
  Pipe socket(true);
  socket.put("hello");
  ASSERT_EQ(::write(socket.read.get(), "unread", 6), 6);
  socket.write.reset();
  const int fd = socket.read.get();
  Log log;
  std::string received;
  auto watch = FdWatcher::readChunks(
      std::move(socket.read), queue(), [&](std::string_view chunk) { received += chunk; },
      log.onEnd());
  ASSERT_TRUE(test::waitFor([&] { return log.ended(); }));
  EXPECT_EQ(received, "hello");
  EXPECT_EQ(log.ends, std::vector<Result<void>>{Error::fromErrno(
                          ECONNRESET, "cannot read descriptor " + std::to_string(fd))});
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
  Log log;
  auto watch = FdWatcher::readChunks(
      std::move(pipe.read), DispatchQueue::global(),
      [&](std::string_view) {
        ranBeforeChunk.push_back(passedOnRan);
        if (ranBeforeChunk.size() == 1) DispatchQueue::global().async([&] { passedOnRan = true; });
      },
      log.onEnd());
  ASSERT_TRUE(test::waitFor([&] { return log.ended(); }));
  release = true;
  EXPECT_EQ(ranBeforeChunk, (std::vector<bool>{false, true, true}));
  ASSERT_TRUE(test::waitFor([&] { return holding == 0 && passedOnRan; }));
}

TEST(FdWatcher, NoHandlerStartsAfterCancelAndTheDescriptorCloses) {
  const DispatchQueue queue("test.fdwatcher");
  Pipe pipe;
  std::atomic<int> calls{0};
  auto watch = FdWatcher::watch(std::move(pipe.read), on(queue),
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

// However a watch ends, its end notification runs once, on its queue (a
// concurrent one here, or the watcher's thread), after the last handler call
// has returned; an owned
// descriptor is closed, a borrowed one left open and as it was.
TEST(FdWatcher, EveryEndIsNotifiedOnceAfterTheLastHandlerCall) {
  enum How { handlerReturnsFalse, cancelInsideHandler, cancelWhileHandlerRuns, cancelWhileIdle };
  for (const How how :
       {handlerReturnsFalse, cancelInsideHandler, cancelWhileHandlerRuns, cancelWhileIdle}) {
    for (const bool onQueue : {true, false}) {
      if (how == cancelWhileHandlerRuns && !onQueue) continue;  // would hold the watcher's thread
      for (const bool borrowed : {false, true}) {
        const std::string name = std::to_string(how) + (onQueue ? " queue" : " watcher") +
                                 (borrowed ? " borrowed" : " owned");
        Pipe pipe;
        const int fd = pipe.read.get();
        Log log;
        DispatchSemaphore entered;
        DispatchSemaphore proceed;
        auto options = on(onQueue ? std::optional(DispatchQueue::global()) : std::nullopt, &log);
        auto handler = [&](FdWatch& watch, FdEvents ready) {
          log.add(hasAny(ready, FdEvents::readable) ? "call" : "call?");
          if (how == cancelWhileHandlerRuns) {
            entered.signal();
            proceed.wait();
          }
          if (how == cancelInsideHandler) watch.cancel();
          log.add("return");
          return how != handlerReturnsFalse;
        };
        auto watch = borrowed ? FdWatcher::watchBorrowed(fd, options, handler)
                              : FdWatcher::watch(std::move(pipe.read), options, handler);
        if (how != cancelWhileIdle) pipe.put("x");
        if (how == cancelWhileHandlerRuns) {
          entered.wait();
          watch.value()->cancel();
          // Widens the window for an early end (the assertion holds however short).
          EXPECT_FALSE(test::waitFor([&] { return log.ended(); }, 0.2)) << name;
          proceed.signal();
        }
        if (how == cancelWhileIdle) watch.value()->cancel();
        ASSERT_TRUE(test::waitFor([&] { return log.ended(); })) << name;
        const std::vector<std::string> expected =
            how == cancelWhileIdle ? std::vector<std::string>{"end"}
                                   : std::vector<std::string>{"call", "return", "end"};
        EXPECT_EQ(log.events, expected) << name;
        EXPECT_EQ(log.ends, std::vector<Result<void>>{Result<void>()}) << name;
        EXPECT_EQ(log.endThread, onQueue ? DispatchQueue::global().label() : "mornik.fdwatch")
            << name;
        EXPECT_EQ(::fcntl(fd, F_GETFL) >= 0, borrowed) << name;
        if (borrowed) {
          EXPECT_EQ(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0) << name;
        }
      }
    }
  }
}

TEST(FdWatcher, OneWatchRunsOneHandlerAtATimeOnAConcurrentQueue) {
  Pipe pipe;
  std::atomic<int> calls{0};
  DispatchSemaphore entered;
  DispatchSemaphore finish;
  auto watch = FdWatcher::watch(std::move(pipe.read), on(DispatchQueue::global()),
                                [&](FdWatch& self, FdEvents) {
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

// A socket whose send buffer is full becomes writable when its peer drains
// it; the interest changes from another thread while the handler runs and
// from inside the handler, and none pauses the watch.
TEST(FdWatcher, WriteInterestAndInterestChangesWhileWatching) {
  Pipe pair(true);
  ASSERT_EQ(::fcntl(pair.write.get(), F_SETFL, O_NONBLOCK), 0);
  const std::string block(4096, 'w');
  while (::write(pair.write.get(), block.data(), block.size()) > 0) {
  }
  Log log;
  DispatchSemaphore entered;
  DispatchSemaphore proceed;
  const DispatchQueue queue("test.write");
  const auto toName = [](FdEvents ready) {
    return std::string(hasAny(ready, FdEvents::readable) ? "r" : "") +
           (hasAny(ready, FdEvents::writable) ? "w" : "");
  };
  auto watch = FdWatcher::watchBorrowed(pair.write.get(), on(queue, &log),
                                        [&](FdWatch& self, FdEvents ready) {
                                          log.add(toName(ready));
                                          if (log.count() == 1) {
                                            entered.signal();
                                            proceed.wait();
                                          }
                                          if (hasAny(ready, FdEvents::writable))
                                            self.setInterest(FdEvents::readable);
                                          char byte = 0;
                                          (void)!::read(self.fd(), &byte, 1);
                                          return true;
                                        });
  ASSERT_EQ(::write(pair.read.get(), "1", 1), 1);
  entered.wait();
  watch.value()->setInterest(FdEvents::readable | FdEvents::writable);  // applies at the re-arm
  proceed.signal();
  test::drain(queue);
  ASSERT_EQ(log.count(), 1U);  // still full: not writable yet
  std::vector<char> drained(1 << 20);
  while (::recv(pair.read.get(), drained.data(), drained.size(), MSG_DONTWAIT) > 0) {
  }
  ASSERT_TRUE(test::waitFor([&] { return log.count() == 2; }));
  ASSERT_TRUE(test::waitFor([&] { return watch.value()->interest() == FdEvents::readable; }));
  watch.value()->setInterest(FdEvents::none);
  ASSERT_EQ(::write(pair.read.get(), "2", 1), 1);
  awaitDispatch();
  test::drain(queue);
  EXPECT_EQ(log.count(), 2U);                      // paused
  watch.value()->setInterest(FdEvents::readable);  // writable all along, but not asked
  ASSERT_TRUE(test::waitFor([&] { return log.count() == 3; }));
  watch.value()->cancel();
  ASSERT_TRUE(test::waitFor([&] { return log.ended(); }));
  EXPECT_EQ(log.events, (std::vector<std::string>{"r", "w", "r", "end"}));
}

// epoll cannot watch regular files (always ready) or closed numbers, and a
// descriptor only once.
TEST(FdWatcher, DescriptorsThatCannotBeWatchedAreRefusedWithTheReason) {
  Pipe pipe;
  auto watched =
      FdWatcher::watchBorrowed(pipe.read.get(), {}, [](FdWatch&, FdEvents) { return true; });
  const int file = ::open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
  const int closed = ::dup(file);
  ::close(closed);
  const std::string prefix = "cannot watch descriptor ";
  for (const auto& [fd, code, reason] :
       {std::tuple(file, EPERM,
                   ": epoll refuses regular files and folders, which are always ready"),
        std::tuple(closed, EBADF, ": Bad file descriptor"),
        std::tuple(pipe.read.get(), EEXIST, ": File exists")}) {
    const auto refused = FdWatcher::watchBorrowed(fd, {}, [](FdWatch&, FdEvents) { return true; });
    ASSERT_TRUE(refused.isFailure());
    EXPECT_TRUE(refused.error().is(kPOSIXErrorDomain, code));
    EXPECT_EQ(refused.error().localizedDescription(), prefix + std::to_string(fd) + reason);
  }
  EXPECT_EQ(::fcntl(file, F_GETFD), FD_CLOEXEC);  // borrowed: still open
  EXPECT_TRUE(FdWatcher::watch(UniqueFd(file), {}, nullptr).isFailure());
  EXPECT_EQ(::fcntl(file, F_GETFD), -1);  // owned: closed on refusal
  watched.value()->cancel();
}

// A borrowed descriptor closed behind its watch: the watch ends with an
// error, its handler never sees whatever the number holds next, and the
// watch that gets the number next is not disturbed.
TEST(FdWatcher, ABorrowedDescriptorClosedBehindItsWatchEndsItWithAnError) {
  enum Then { cancelled, numberReusedAndOldFileReady, numberWatchedAgain };
  for (const Then then : {cancelled, numberReusedAndOldFileReady, numberWatchedAgain}) {
    Pipe old;
    Pipe next;
    const int fd = old.read.get();
    UniqueFd keptAlive(::dup(fd));  // elsewhere, the old file lives on
    Log log;
    auto watch = FdWatcher::watchBorrowed(fd, on(DispatchQueue("test.closed"), &log),
                                          [&](FdWatch&, FdEvents) {
                                            log.add("call");
                                            return true;
                                          });
    if (then == cancelled) keptAlive.reset();  // the last reference goes: epoll forgets it
    ::close(old.read.release());
    ASSERT_EQ(::dup2(next.read.get(), fd), fd);
    Log nextLog;
    std::shared_ptr<FdWatch> nextWatch;
    if (then == numberWatchedAgain) {
      nextWatch = FdWatcher::watchBorrowed(fd, on(DispatchQueue("test.next"), &nextLog),
                                           [&](FdWatch&, FdEvents) {
                                             nextLog.add("call");
                                             return false;
                                           })
                      .value();
    }
    if (then == cancelled) {
      watch.value()->cancel();
    } else {
      old.put("x");
    }
    ASSERT_TRUE(test::waitFor([&] { return log.ended(); })) << then;
    EXPECT_EQ(log.events, std::vector<std::string>{"end"}) << then;
    EXPECT_EQ(log.ends,
              std::vector<Result<void>>{Error::fromErrno(
                  EBADF, "descriptor " + std::to_string(fd) + " was closed while it was watched")})
        << then;
    if (nextWatch) {
      next.put("y");
      ASSERT_TRUE(test::waitFor([&] { return nextLog.ended(); }));
      EXPECT_EQ(nextLog.events, (std::vector<std::string>{"call", "end"}));
    }
    ::close(fd);
  }
}

TEST(FdWatcher, TenThousandWatchesAtOnce) {
  constexpr int kWatches = 10000;
  rlimit files{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &files), 0);
  if (files.rlim_max < kWatches + 1000U) GTEST_SKIP() << "the hard descriptor limit is too low";
  const rlimit raised{std::max<rlim_t>(files.rlim_cur, kWatches + 1000), files.rlim_max};
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &raised), 0);
  const std::size_t before = FdWatcher::activeWatchCount();
  std::atomic<int> calls{0};
  std::atomic<int> ends{0};
  std::vector<std::shared_ptr<FdWatch>> watches;
  for (int i = 0; i < kWatches; ++i) {
    FdWatcher::Options options;
    options.onEnd = [&](const Result<void>& end) { ends += end.isSuccess() ? 1 : 1000000; };
    watches.push_back(FdWatcher::watch(UniqueFd(::eventfd(0, EFD_CLOEXEC)), options,
                                       [&](FdWatch& watch, FdEvents) {
                                         std::uint64_t count = 0;
                                         calls += ::read(watch.fd(), &count, sizeof count) == 8;
                                         return true;
                                       })
                          .value());
  }
  EXPECT_EQ(FdWatcher::activeWatchCount(), before + kWatches);
  const std::uint64_t one = 1;
  for (const auto& watch : watches) ASSERT_EQ(::write(watch->fd(), &one, sizeof one), 8);
  EXPECT_TRUE(test::waitFor([&] { return calls == kWatches; }));
  for (const auto& watch : watches) watch->cancel();
  EXPECT_TRUE(test::waitFor([&] { return ends == kWatches; }));
  EXPECT_EQ(FdWatcher::activeWatchCount(), before);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &files), 0);
}

}  // namespace
}  // namespace mornik
