#include "mornik/flow/Future.hpp"

#include <climits>
#include <memory>
#include <utility>
#include <vector>

#include "mornik/concurrency/detail/Executor.hpp"
#include "mornik/concurrency/detail/Futex.hpp"

namespace mornik::detail {

void CompletionLatch::open() noexcept {
  state_.store(1, std::memory_order_seq_cst);
  // Pairs with the waiter's increment before its check of state_: either the
  // waiter sees the latch open, or this sees the waiter and wakes it.
  if (waiters_.load(std::memory_order_seq_cst) != 0) futexWake(state_, INT_MAX);
}

void CompletionLatch::wait() noexcept {
  if (isOpen()) return;
  BlockingRegion blocking;
  waiters_.fetch_add(1, std::memory_order_seq_cst);
  while (state_.load(std::memory_order_seq_cst) == 0) futexWait(state_, 0);
  waiters_.fetch_sub(1, std::memory_order_relaxed);
}

Error futureResultMissing() { return WTF("F.result can't be nil WTF", 0); }

void FutureEntries::clear() noexcept {
  for (std::size_t i = 0; i < inlineCount_; ++i) inline_[i].object.reset();
  inlineCount_ = 0;
  overflow_.clear();
}

void FutureEntries::moveObjectsTo(std::vector<std::shared_ptr<const void>>& out) {
  for (std::size_t i = 0; i < inlineCount_; ++i) out.push_back(std::move(inline_[i].object));
  for (FutureEntry& entry : overflow_) out.push_back(std::move(entry.object));
  inlineCount_ = 0;
  overflow_.clear();
}

namespace {

// Set when this thread's PendingReleases is destroyed. Trivially
// destructible, so it stays readable until the thread ends: a future released
// after that (by another thread-local object's destructor) simply releases
// its entries in place.
thread_local bool pendingReleasesGone = false;

// The entries handed over by futures that died during an outer release on
// this thread.
struct PendingReleases {
  PendingReleases() = default;
  PendingReleases(const PendingReleases&) = delete;
  PendingReleases& operator=(const PendingReleases&) = delete;
  ~PendingReleases() { pendingReleasesGone = true; }

  bool releasing = false;
  std::vector<std::shared_ptr<const void>> objects;
};

thread_local PendingReleases pendingReleases;

}  // namespace

void releaseFutureEntries(FutureEntries& entries) noexcept {
  if (entries.empty()) return;
  if (pendingReleasesGone) {
    entries.clear();
    return;
  }
  PendingReleases& pending = pendingReleases;
  if (pending.releasing) {
    entries.moveObjectsTo(pending.objects);
    return;
  }
  pending.releasing = true;
  entries.clear();
  while (!pending.objects.empty()) {
    std::vector<std::shared_ptr<const void>> batch;
    batch.swap(pending.objects);
    batch.clear();  // futures dying here add their entries to pending.objects
    if (pending.objects.empty()) pending.objects.swap(batch);  // keep the capacity
  }
  pending.releasing = false;
}

}  // namespace mornik::detail
