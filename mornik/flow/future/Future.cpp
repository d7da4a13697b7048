#include "mornik/flow/future/Future.hpp"

#include <memory>
#include <utility>
#include <vector>

namespace mornik::detail {

std::atomic<FutureSeam> futureSeam{nullptr};

Error futureResultMissing() { return WTF("F.result can't be nil WTF", 0); }

namespace {

// Set when this thread's PendingReleases is destroyed. Trivially
// destructible, so it stays readable until the thread ends: a future released
// after that (by another thread-local object's destructor) simply releases
// its things in place.
thread_local bool pendingReleasesGone = false;

// What futures that died during an outer release on this thread handed over.
struct PendingReleases {
  PendingReleases() = default;
  PendingReleases(const PendingReleases&) = delete;
  PendingReleases& operator=(const PendingReleases&) = delete;
  ~PendingReleases() { pendingReleasesGone = true; }

  bool releasing = false;
  std::vector<HandlerCore*> handlerLists;
  std::vector<std::shared_ptr<const void>> objects;
  std::vector<RetainedNode*> retainedLists;
};

thread_local PendingReleases pendingReleases;

void releaseHandlers(HandlerCore* handler) noexcept {
  while (handler != nullptr) {
    HandlerCore* const next = handler->next;  // release() may free the handler
    handler->release();
    handler = next;
  }
}

void releaseRetained(RetainedNode* node) noexcept {
  while (node != nullptr) {
    RetainedNode* const next = node->next;
    node->~RetainedNode();
    PoolAllocator<RetainedNode>().deallocate(node, 1);
    node = next;
  }
}

}  // namespace

void releaseFutureEntries(HandlerCore* handlers, std::shared_ptr<const void>& firstRetained,
                          RetainedNode* retained) noexcept {
  if (pendingReleasesGone) {
    releaseHandlers(handlers);
    firstRetained.reset();
    releaseRetained(retained);
    return;
  }
  PendingReleases& pending = pendingReleases;
  if (pending.releasing) {
    if (handlers != nullptr) pending.handlerLists.push_back(handlers);
    if (firstRetained) pending.objects.push_back(std::move(firstRetained));
    if (retained != nullptr) pending.retainedLists.push_back(retained);
    return;
  }
  pending.releasing = true;
  releaseHandlers(handlers);
  firstRetained.reset();
  releaseRetained(retained);
  // Futures dying in the loop add their things to `pending`.
  while (!pending.handlerLists.empty() || !pending.objects.empty() ||
         !pending.retainedLists.empty()) {
    if (!pending.handlerLists.empty()) {
      HandlerCore* const list = pending.handlerLists.back();
      pending.handlerLists.pop_back();
      releaseHandlers(list);
    } else if (!pending.objects.empty()) {
      const std::shared_ptr<const void> object = std::move(pending.objects.back());
      pending.objects.pop_back();
    } else {
      RetainedNode* const list = pending.retainedLists.back();
      pending.retainedLists.pop_back();
      releaseRetained(list);
    }
  }
  pending.releasing = false;
}

}  // namespace mornik::detail
