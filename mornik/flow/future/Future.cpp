#include "mornik/flow/future/Future.hpp"

#include <climits>
#include <memory>
#include <utility>
#include <vector>

namespace mornik::detail {

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
