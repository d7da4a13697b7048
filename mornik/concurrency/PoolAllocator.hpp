#pragma once

#include <cstddef>
#include <new>

#include "mornik/base/Export.hpp"
#include "mornik/concurrency/detail/ItemAllocator.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::detail {

// A standard allocator over the executor's small-block pool. Futures and
// handlers are made on one thread and freed on another (a registrar and a
// completer, a worker); the pool keeps that cheap, where the general
// allocator's per-thread caches do not.
template <class T>
struct PoolAllocator {
  static_assert(alignof(T) <= alignof(std::max_align_t), "pool blocks have standard alignment");
  using value_type = T;

  PoolAllocator() = default;
  template <class U>
  PoolAllocator(const PoolAllocator<U>& /*other*/) noexcept {
  }  // NOLINT(google-explicit-constructor)

  T* allocate(std::size_t n) { return static_cast<T*>(allocateWorkItem(n * sizeof(T))); }
  void deallocate(T* block, std::size_t n) noexcept { freeWorkItem(block, n * sizeof(T)); }

  template <class U>
  friend bool operator==(const PoolAllocator& /*a*/, const PoolAllocator<U>& /*b*/) noexcept {
    return true;
  }
};

}  // namespace mornik::detail

MORNIK_EXPORTS_END
