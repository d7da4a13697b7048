#pragma once

// Memory the process holds for the library's objects: the general
// allocator's heap in use (glibc's mallinfo2().uordblks: every block handed
// out by malloc and not freed, in all arenas) plus the slabs of the
// executor's small-block pool, which it maps itself (slabs holding blocks,
// and free slabs that keep their pages).

#include <malloc.h>

#include "mornik/concurrency/detail/ItemAllocator.hpp"

namespace mornik::bench {

inline double memoryInUse() {
  return static_cast<double>(mallinfo2().uordblks) +
         static_cast<double>(mornik::detail::itemSlabBytesHeld());
}

}  // namespace mornik::bench
