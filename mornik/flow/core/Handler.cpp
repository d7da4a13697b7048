#include "mornik/flow/core/Handler.hpp"

namespace mornik::detail {

void HandlerCore::release() noexcept {
  released_.store(true, std::memory_order_release);
  if (counted_) {
    if (inFlight_.fetch_sub(1, std::memory_order_acq_rel) == 1) destroy();
  } else if (called_.load(std::memory_order_relaxed)) {
    // Every delivery was submitted before this point (its submitter held an
    // owner), so on the serial queue they all run before this item; they see
    // the handler released and do nothing.
    queue_.async([this] { destroy(); });
  } else {
    destroy();
  }
}

}  // namespace mornik::detail
