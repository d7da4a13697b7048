#pragma once

#include "mornik/base/Export.hpp"
#include "mornik/concurrency/detail/Executor.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// Marks the calling thread as blocked for the scope, around a wait the
// executor cannot see (a system call that sleeps until a descriptor is
// ready or a child ends). On a pool worker the pool may start another
// worker, so that queued work keeps running meanwhile; on any other thread
// it does nothing. Scopes nest.
//
//   {
//     const BlockingScope blocking;
//     ::poll(fds, count, -1);
//   }
class BlockingScope {
 public:
  BlockingScope() noexcept = default;
  BlockingScope(const BlockingScope&) = delete;
  BlockingScope& operator=(const BlockingScope&) = delete;

 private:
  detail::BlockingRegion region_;
};

}  // namespace mornik

MORNIK_EXPORTS_END
