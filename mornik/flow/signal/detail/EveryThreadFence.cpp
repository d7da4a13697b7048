#include "mornik/flow/signal/detail/EveryThreadFence.hpp"

#include <atomic>

#include <linux/membarrier.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "mornik/base/Fatal.hpp"

namespace mornik::detail {

namespace {

long membarrier(int command) { return syscall(SYS_membarrier, command, 0U, 0); }

// Registers the process for private expedited barriers, once; false where
// the kernel (or a sandbox) offers none.
bool registerForBarriers() noexcept {
  const long commands = membarrier(MEMBARRIER_CMD_QUERY);
  if (commands < 0 || (commands & MEMBARRIER_CMD_PRIVATE_EXPEDITED) == 0) return false;
  return membarrier(MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED) == 0;
}

}  // namespace

bool fencesEveryThread() noexcept {
  static const bool registered = registerForBarriers();
  return registered;
}

void fenceEveryThread() noexcept {
  std::atomic_thread_fence(std::memory_order_seq_cst);
  // Registered, the call cannot fail; if it did, deliveries would run
  // unfenced against a release.
  if (fencesEveryThread() && membarrier(MEMBARRIER_CMD_PRIVATE_EXPEDITED) != 0) {
    fatal("membarrier failed after registration");
  }
}

}  // namespace mornik::detail
