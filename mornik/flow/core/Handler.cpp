#include "mornik/flow/core/Handler.hpp"

namespace mornik::detail {

// The three one-byte fields share a word, so that a handler whose block is
// one shared pointer (a derived future's) fits a 64-byte block.
static_assert(sizeof(HandlerCore) <= 48);

void HandlerCore::release() noexcept {
  if (counted_) {
    settle(0, kReleased);
    return;
  }
  state_.fetch_or(kReleased, std::memory_order_release);
  if (called_.load(std::memory_order_relaxed)) {
    // Every delivery was submitted before this point (its submitter held an
    // owner), so on the serial queue they all run before this item; they see
    // the handler released and do nothing.
    queue_.async([this] {
      destroyBlock();
      destroyShell();
    });
  } else {
    destroyBlock();
    destroyShell();
  }
}

void HandlerCore::settle(std::uint64_t minus, std::uint64_t plus) noexcept {
  // The claim is part of the change itself: once a change has left the
  // block released and idle, a delivery queued behind it may begin, end and
  // destroy everything, so the caller may not come back for a second step.
  // The claim counts as a running delivery, so that the shell outlives the
  // block's destruction even if the last queued delivery ends meanwhile.
  std::uint64_t seen = state_.load(std::memory_order_relaxed);
  std::uint64_t next = 0;
  bool claims = false;
  do {
    next = (seen - minus) | plus;
    claims = (next & (kReleased | kBlockGone)) == kReleased && (next & kRunningMask) == 0;
    if (claims) next |= kBlockGone | kRunning;
  } while (!state_.compare_exchange_weak(seen, next, std::memory_order_acq_rel,
                                         std::memory_order_relaxed));
  if (plus == kReleased) {
    if (auto* seam = handlerReleaseSeam.load(std::memory_order_relaxed)) seam();
  }
  if (claims) {
    destroyBlock();
    next = state_.fetch_sub(kRunning, std::memory_order_acq_rel) - kRunning;
  }
  // Only the change that leaves nothing queued, running or unclaimed sees this.
  if (next == (kReleased | kBlockGone)) destroyShell();
}

}  // namespace mornik::detail
