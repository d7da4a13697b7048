#pragma once

#include <cstddef>

namespace mornik::detail {

// Memory for work items. Items are typically allocated on one thread and
// freed on another (a producer and a worker), which defeats the per-thread
// caches of the general allocator. Here each thread keeps small magazines of
// free blocks per size class (64, 128, 256 bytes) and trades whole magazines
// with a shared depot, so a block costs a few instructions on both sides and
// the depot lock is taken once per 64 blocks. The depot keeps a bounded
// number of magazines; beyond that, blocks go back to the general allocator.
// Larger requests go straight to operator new.
//
// Blocks are aligned for any standard type (alignof(std::max_align_t)).
void* allocateWorkItem(std::size_t size);
void freeWorkItem(void* block, std::size_t size) noexcept;

}  // namespace mornik::detail
