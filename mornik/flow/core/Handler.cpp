#include "mornik/flow/core/Handler.hpp"

namespace mornik::detail {

void HandlerCore::release() noexcept {
  if (counted_) {
    settle(state_.fetch_or(kReleased, std::memory_order_acq_rel) | kReleased);
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

void HandlerCore::settle(std::uint64_t state) noexcept {
  // `state` is what the caller's own change produced: only a change that
  // produces the final state may destroy the shell, or two could. The claim
  // of the block counts as a running delivery, so that the shell outlives
  // the block's destruction even if the last queued delivery ends meanwhile.
  std::uint64_t seen = state;
  while ((seen & (kReleased | kBlockGone)) == kReleased && (seen & kRunningMask) == 0) {
    if (state_.compare_exchange_weak(seen, seen | kBlockGone | kRunning, std::memory_order_acq_rel,
                                     std::memory_order_acquire)) {
      destroyBlock();
      state = state_.fetch_sub(kRunning, std::memory_order_acq_rel) - kRunning;
      break;
    }
    // Another change came first; if it left the block to someone, that
    // someone settles from here on.
    state = 0;
  }
  if (state == (kReleased | kBlockGone)) destroyShell();
}

}  // namespace mornik::detail
