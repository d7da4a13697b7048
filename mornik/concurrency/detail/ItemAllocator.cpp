#include "mornik/concurrency/detail/ItemAllocator.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <new>
#include <vector>

#include <sys/mman.h>

#include "mornik/concurrency/UnfairLock.hpp"

namespace mornik::detail {

thread_local constinit std::array<ItemMagazine*, kItemClasses> tlsItemMagazines
    __attribute__((tls_model("initial-exec"))) = {};

namespace {

using Magazine = ItemMagazine;

// A 4 KiB block of same-size items, aligned to its size so that a block finds
// its slab by masking its address. The header counts blocks released for
// good; the last release frees the slab.
constexpr std::size_t kSlabSize = 4096;
// Slabs not yet given back, for the census. On a cache line of its own:
// every thread that carves or empties a slab writes it, and the globals
// that would otherwise share its line are read on hot paths (the clock seam
// by every idle worker, the singletons by every depot trade), each read a
// miss after such a write.
struct alignas(64) SlabCensus {
  std::atomic<long> inUse{0};
};
SlabCensus slabsInUse;
constexpr std::size_t kSlabHeader = 64;

struct Slab {
  std::atomic<int> released{0};
  int blocks = 0;
};

int blocksPerSlab(int c) {
  return static_cast<int>((kSlabSize - kSlabHeader) / kItemClassSize[static_cast<std::size_t>(c)]);
}

using Guard = ScopedLock<UnfairLock>;

// Where slabs come from: chunks mapped from the kernel, carved into slabs.
// Not the general allocator: it serves memory aligned to 4 KiB slowly (each
// such allocation splits and merges its free lists), and at a cost that
// depends on what the rest of the process allocated and freed before. Free
// slabs wait for reuse with their pages, so that a busy process does not
// fault the same memory in again and again. Beyond a bound the kernel may
// take their pages back when it needs them; when the workers go idle, the
// pages of every free slab go back at once. The address range stays mapped
// and is reused.
class SlabSource {
 public:
  static SlabSource& instance() {
    static auto* const source = new SlabSource();
    return *source;
  }

  void* take() {
    {
      Guard guard(lock_);
      if (!withPages_.empty()) return pop(withPages_);
      if (!withoutPages_.empty()) return pop(withoutPages_);
      if (next_ != end_) return carve();
    }
    // A new chunk, mapped without the lock.
    void* chunk =
        ::mmap(nullptr, kChunkSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (chunk == MAP_FAILED) throw std::bad_alloc();
    void* slab = nullptr;
    bool used = false;
    try {
      Guard guard(lock_);
      // Another thread may have mapped one meanwhile: carve that one first.
      if (next_ == end_) {
        // Room in the free lists for every slab first, so that giving a
        // slab back never allocates.
        withPages_.reserve(carved_ + kChunkSize / kSlabSize);
        withoutPages_.reserve(carved_ + kChunkSize / kSlabSize);
        carved_ += kChunkSize / kSlabSize;
        next_ = static_cast<char*>(chunk);
        end_ = next_ + kChunkSize;
        used = true;
      }
      slab = carve();
    } catch (...) {
      ::munmap(chunk, kChunkSize);
      throw;
    }
    if (!used) ::munmap(chunk, kChunkSize);
    return slab;
  }

  void give(void* slab) noexcept {
    std::array<void*, kReleaseBatch> released{};
    {
      Guard guard(lock_);
      withPages_.push_back(slab);  // within the room reserved by take()
      if (withPages_.size() <= kSlabsKeptWithPages) return;
      for (void*& one : released) one = pop(withPages_);
    }
    releasePages(released.data(), released.size(), MADV_FREE);
  }

  // The pages of every free slab go back to the kernel.
  void trim() noexcept {
    for (;;) {
      std::array<void*, kReleaseBatch> released{};
      std::size_t count = 0;
      {
        Guard guard(lock_);
        while (count < released.size() && !withPages_.empty()) released[count++] = pop(withPages_);
      }
      if (count == 0) return;
      releasePages(released.data(), count, MADV_DONTNEED);
    }
  }

  long withPages() noexcept {
    Guard guard(lock_);
    return static_cast<long>(withPages_.size());
  }

  // fork(): consistent while held; the child frees the lock the forking
  // thread took.
  void lockForFork() noexcept MORNIK_NO_THREAD_SAFETY_ANALYSIS { lock_.lock(); }
  void unlockInParent() noexcept MORNIK_NO_THREAD_SAFETY_ANALYSIS { lock_.unlock(); }
  void unlockInChild() noexcept { forceUnlockAfterFork(lock_); }

 private:
  static constexpr std::size_t kChunkSize = 1 << 20;
  // Free slabs that keep their pages while the process is busy (64 MiB), and
  // how many are offered back to the kernel at once beyond that.
  static constexpr std::size_t kSlabsKeptWithPages = 16384;
  static constexpr std::size_t kReleaseBatch = 256;

  static void* pop(std::vector<void*>& slabs) noexcept {
    void* slab = slabs.back();
    slabs.pop_back();
    return slab;
  }

  void* carve() MORNIK_REQUIRES(lock_) {
    void* slab = next_;
    next_ += kSlabSize;
    return slab;
  }

  // Returns the pages of `slabs` (one call per run of adjacent ones) and
  // lists them as free without pages.
  void releasePages(void** slabs, std::size_t count, int advice) noexcept MORNIK_EXCLUDES(lock_) {
    std::sort(slabs, slabs + count);
    for (std::size_t first = 0; first < count;) {
      std::size_t end = first + 1;
      while (end < count &&
             static_cast<char*>(slabs[end]) == static_cast<char*>(slabs[end - 1]) + kSlabSize) {
        ++end;
      }
      ::madvise(slabs[first], (end - first) * kSlabSize, advice);
      first = end;
    }
    Guard guard(lock_);
    withoutPages_.insert(withoutPages_.end(), slabs, slabs + count);
  }

  UnfairLock lock_;
  std::vector<void*> withPages_ MORNIK_GUARDED_BY(lock_);
  std::vector<void*> withoutPages_ MORNIK_GUARDED_BY(lock_);
  std::size_t carved_ MORNIK_GUARDED_BY(lock_) = 0;
  char* next_ MORNIK_GUARDED_BY(lock_) = nullptr;  // the chunk being carved
  char* end_ MORNIK_GUARDED_BY(lock_) = nullptr;
};

// Fills `magazine` (empty) with the blocks of a new slab.
void refillFromNewSlab(int c, Magazine& magazine) {
  // Not leaked: each block finds the slab by masking its own address, and
  // the last block released gives it back.
  void* memory = SlabSource::instance().take();
  // Counted before the header is written: the header's page is usually cold,
  // and the count's locked step would wait for that store to land.
  slabsInUse.inUse.fetch_add(1, std::memory_order_relaxed);
  auto* slab = new (memory) Slab();
  slab->blocks = std::min(blocksPerSlab(c), kItemMagazineSlots);
  auto* first = static_cast<char*>(memory) + kSlabHeader;
  for (int i = 0; i < slab->blocks; ++i) {
    magazine.slots[static_cast<std::size_t>(i)] =
        first + static_cast<std::size_t>(i) * kItemClassSize[static_cast<std::size_t>(c)];
  }
  magazine.count = slab->blocks;  // NOLINT(clang-analyzer-cplusplus.NewDeleteLeaks)
}

// A block leaves the pool for good.
void releaseBlock(void* block) noexcept {
  auto* slab = reinterpret_cast<Slab*>(  // NOLINT(performance-no-int-to-ptr): the slab's address
      reinterpret_cast<std::uintptr_t>(block) & ~static_cast<std::uintptr_t>(kSlabSize - 1));
  // Read before counting: once the count is in, another thread's last
  // release may free the slab.
  const int blocks = slab->blocks;
  if (slab->released.fetch_add(1, std::memory_order_acq_rel) + 1 == blocks) {
    slab->~Slab();
    slabsInUse.inUse.fetch_sub(1, std::memory_order_relaxed);
    SlabSource::instance().give(slab);
  }
}

// Full magazines the depot keeps per class, enough to hand blocks from
// consumers back to producers in steady state. It bounds what a burst leaves
// behind: 32 x 64 blocks per class, which keep at most that many slabs alive
// (typically a few, since blocks are recycled in bulk).
constexpr std::size_t kDepotLimit = 32;
// What the depot keeps per class once the workers have gone idle: enough for
// the next burst to start from, little enough that the blocks it holds pin
// few slabs. Everything beyond it goes back to the slabs, so
// that a long-running process returns to the same footprint whenever it is
// quiet, however the blocks were spread over slabs while it was busy.
constexpr std::size_t kIdleDepotReserve = 0;
// Empty magazines kept for trades; beyond them an empty magazine is deleted.
constexpr std::size_t kEmptyMagazineLimit = 2 * kDepotLimit * kItemClasses;

class Depot {
 public:
  static Depot& instance() {
    static auto* const depot = new Depot();
    return *depot;
  }

  // Trades an empty magazine for a full one; null when the depot has none.
  Magazine* takeFull(int c, Magazine* empty) {
    Guard guard(lock_);
    auto& full = full_[static_cast<std::size_t>(c)];
    if (full.empty()) return nullptr;
    Magazine* taken = full.back();
    full.pop_back();
    fullCount_.fetch_sub(1, std::memory_order_relaxed);
    keepEmpty(empty);
    return taken;
  }

  // Trades a full magazine for an empty one (the full one's blocks are freed
  // when the depot holds enough already).
  Magazine* giveFull(int c, Magazine* fullMagazine) {
    {
      Guard guard(lock_);
      auto& full = full_[static_cast<std::size_t>(c)];
      if (full.size() < kDepotLimit) {
        full.push_back(fullMagazine);
        fullCount_.fetch_add(1, std::memory_order_relaxed);
        if (!empty_.empty()) {
          Magazine* empty = empty_.back();
          empty_.pop_back();
          return empty;
        }
        return new Magazine();
      }
    }
    for (int i = 0; i < fullMagazine->count; ++i) {
      releaseBlock(fullMagazine->slots[static_cast<std::size_t>(i)]);
    }
    fullMagazine->count = 0;
    return fullMagazine;
  }

  void giveBack(int c, Magazine* magazine) {
    if (magazine->count > 0) magazine = giveFull(c, magazine);
    Guard guard(lock_);
    keepEmpty(magazine);
  }

  // Whether the depot holds full magazines beyond the idle reserve.
  bool holdsSurplus() const noexcept {
    return fullCount_.load(std::memory_order_relaxed) >
           kIdleDepotReserve * static_cast<std::size_t>(kItemClasses);
  }

  // Releases the full magazines beyond the idle reserve. The count read
  // without the lock only spares the lock when there is nothing to do.
  void trim() noexcept {
    if (!holdsSurplus()) return;
    std::array<Magazine*, kDepotLimit * kItemClasses> surplus{};
    std::size_t taken = 0;
    {
      Guard guard(lock_);
      for (auto& full : full_) {
        while (full.size() > kIdleDepotReserve) {
          surplus[taken++] = full.back();
          full.pop_back();
        }
      }
      fullCount_.fetch_sub(taken, std::memory_order_relaxed);
    }
    for (std::size_t k = 0; k < taken; ++k) {
      Magazine* magazine = surplus[k];
      for (int i = 0; i < magazine->count; ++i) {
        releaseBlock(magazine->slots[static_cast<std::size_t>(i)]);
      }
      magazine->count = 0;
    }
    Guard guard(lock_);
    for (std::size_t k = 0; k < taken; ++k) keepEmpty(surplus[k]);
  }

  // fork(): consistent while held; the child frees the lock the forking
  // thread took.
  void lockForFork() noexcept MORNIK_NO_THREAD_SAFETY_ANALYSIS { lock_.lock(); }
  void unlockInParent() noexcept MORNIK_NO_THREAD_SAFETY_ANALYSIS { lock_.unlock(); }
  void unlockInChild() noexcept { forceUnlockAfterFork(lock_); }

 private:
  // Called with the lock held.
  void keepEmpty(Magazine* magazine) {
    if (empty_.size() < kEmptyMagazineLimit) {
      empty_.push_back(magazine);
    } else {
      delete magazine;
    }
  }

  UnfairLock lock_;
  std::array<std::vector<Magazine*>, kItemClasses> full_;
  std::vector<Magazine*> empty_;
  std::atomic<std::size_t> fullCount_{0};
};

// Hands a thread's magazines to the depot when the thread ends.
struct MagazineReturner {
  ~MagazineReturner() {
    for (int c = 0; c < kItemClasses; ++c) {
      auto& slot = tlsItemMagazines[static_cast<std::size_t>(c)];
      if (slot != nullptr) Depot::instance().giveBack(c, slot);
      slot = nullptr;
    }
  }
};

Magazine& magazineOf(int c) {
  auto& slot = tlsItemMagazines[static_cast<std::size_t>(c)];
  if (slot == nullptr) {
    // Constructing the returner registers its destructor for this thread.
    static thread_local MagazineReturner returner;
    (void)returner;
    slot = new Magazine();
  }
  return *slot;
}

}  // namespace

void itemDepotFork(ForkStep step) noexcept {
  switch (step) {
    case ForkStep::prepare:
      Depot::instance().lockForFork();
      SlabSource::instance().lockForFork();
      break;
    case ForkStep::parent:
      SlabSource::instance().unlockInParent();
      Depot::instance().unlockInParent();
      break;
    case ForkStep::child:
      SlabSource::instance().unlockInChild();
      Depot::instance().unlockInChild();
      break;
  }
}

long itemSlabsInUse() noexcept { return slabsInUse.inUse.load(std::memory_order_relaxed); }

long itemFreeSlabsWithPages() noexcept { return SlabSource::instance().withPages(); }

bool sharedItemCachesHoldSpare() noexcept {
  return Depot::instance().holdsSurplus() || itemFreeSlabsWithPages() > 0;
}

long itemSlabBytesHeld() noexcept {
  return (itemSlabsInUse() + itemFreeSlabsWithPages()) * static_cast<long>(kSlabSize);
}

void trimThreadItemCaches() noexcept {
  for (int c = 0; c < kItemClasses; ++c) {
    Magazine* magazine = tlsItemMagazines[static_cast<std::size_t>(c)];
    if (magazine == nullptr) continue;
    for (int i = 0; i < magazine->count; ++i) {
      releaseBlock(magazine->slots[static_cast<std::size_t>(i)]);
    }
    magazine->count = 0;
  }
}

void trimItemCaches() noexcept {
  trimThreadItemCaches();
  Depot::instance().trim();
  SlabSource::instance().trim();
}

void* allocateWorkItemSlow(int c) {
  Magazine* magazine = &magazineOf(c);
  if (magazine->count == 0) {
    if (Magazine* full = Depot::instance().takeFull(c, magazine)) {
      tlsItemMagazines[static_cast<std::size_t>(c)] = full;
      magazine = full;
    } else {
      // Nothing to recycle (a burst is being queued): take a new slab. The
      // depot kept the magazine only when it handed out a full one.
      refillFromNewSlab(c, *magazine);  // NOLINT(clang-analyzer-cplusplus.NewDelete)
    }
  }
  return magazine->slots[static_cast<std::size_t>(--magazine->count)];
}

void freeWorkItemSlow(void* block, int c) noexcept {
  Magazine* magazine = &magazineOf(c);
  if (magazine->count == kItemMagazineSlots) {
    magazine = Depot::instance().giveFull(c, magazine);
    tlsItemMagazines[static_cast<std::size_t>(c)] = magazine;
  }
  magazine->slots[static_cast<std::size_t>(magazine->count++)] = block;
}

}  // namespace mornik::detail
