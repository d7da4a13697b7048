#pragma once

#include <array>
#include <cstddef>
#include <new>

#include "mornik/base/Export.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::detail {

// Memory for work items. Items are typically allocated on one thread and
// freed on another (a producer and a worker), which defeats the per-thread
// caches of the general allocator. Here each thread keeps small magazines of
// free blocks per size class (64, 128, 192, 256 bytes) and trades whole magazines
// with a shared depot, so a block costs a few instructions on both sides and
// the depot lock is taken once per 64 blocks. The depot keeps a bounded
// number of magazines; beyond that, blocks go back to their slabs.
// Larger requests go straight to operator new.
//
// New blocks come from 4 KiB slabs (one slab per magazine's worth), carved
// from memory mapped for the pool alone, and a slab is free again once every
// block of it left the pool. Free slabs keep their pages up to a bound. Blocks are aligned for any
// standard type (alignof(std::max_align_t)). The fast paths are inline so that submitting work
// makes no library call.
//
// Under AddressSanitizer every block is a plain allocation, so that the
// sanitizer sees each item's lifetime.

// 192: a promise of a small value with its control block (184 bytes).
inline constexpr int kItemClasses = 4;
inline constexpr std::array<std::size_t, kItemClasses> kItemClassSize{64, 128, 192, 256};
inline constexpr int kItemMagazineSlots = 64;

struct ItemMagazine {
  std::array<void*, kItemMagazineSlots> slots{};
  int count = 0;
};

extern thread_local constinit std::array<ItemMagazine*, kItemClasses> tlsItemMagazines
    __attribute__((tls_model("initial-exec")));

void* allocateWorkItemSlow(int sizeClass);
// Called by a thread about to sleep for want of work: releases the blocks of
// its own magazines (trimThreadItemCaches), and with trimItemCaches also the
// depot's beyond a small reserve and the pages of the free slabs, which every
// thread shares: that part only once the whole process is quiet. Then what
// the cache holds while the process is quiet does not depend on how busy it
// was (blocks left in caches keep whole slabs alive).
void trimThreadItemCaches() noexcept;
void trimItemCaches() noexcept;
// Whether the caches all threads share hold what trimItemCaches() would
// release.
bool sharedItemCachesHoldSpare() noexcept;
// Census for tests: the slabs holding blocks, and the free slabs whose pages
// were not given back yet.
long itemSlabsInUse() noexcept;
long itemFreeSlabsWithPages() noexcept;
// Census for benchmarks: the bytes of those slabs together, memory the pool
// holds outside the general allocator's heap.
long itemSlabBytesHeld() noexcept;
void freeWorkItemSlow(void* block, int sizeClass) noexcept;

// The executor's fork handler: before fork(), after it in the parent, after
// it in the child.
enum class ForkStep { prepare, parent, child };
void itemDepotFork(ForkStep step) noexcept;

constexpr int itemClassOf(std::size_t size) noexcept {
  for (int c = 0; c < kItemClasses; ++c) {
    if (size <= kItemClassSize[static_cast<std::size_t>(c)]) return c;
  }
  return -1;
}

#if defined(__SANITIZE_ADDRESS__)
#define MORNIK_PLAIN_ITEM_ALLOCATION 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MORNIK_PLAIN_ITEM_ALLOCATION 1
#endif
#endif

inline void* allocateWorkItem(std::size_t size) {
#if defined(MORNIK_PLAIN_ITEM_ALLOCATION)
  return ::operator new(size);
#endif
  const int c = itemClassOf(size);
  if (c < 0) return ::operator new(size);
  ItemMagazine* magazine = tlsItemMagazines[static_cast<std::size_t>(c)];
  if (magazine != nullptr && magazine->count > 0) {
    return magazine->slots[static_cast<std::size_t>(--magazine->count)];
  }
  return allocateWorkItemSlow(c);
}

inline void freeWorkItem(void* block, std::size_t size) noexcept {
#if defined(MORNIK_PLAIN_ITEM_ALLOCATION)
  ::operator delete(block);
  return;
#endif
  const int c = itemClassOf(size);
  if (c < 0) {
    ::operator delete(block);
    return;
  }
  ItemMagazine* magazine = tlsItemMagazines[static_cast<std::size_t>(c)];
  if (magazine != nullptr && magazine->count < kItemMagazineSlots) {
    magazine->slots[static_cast<std::size_t>(magazine->count++)] = block;
    return;
  }
  freeWorkItemSlow(block, c);
}

}  // namespace mornik::detail

MORNIK_EXPORTS_END
