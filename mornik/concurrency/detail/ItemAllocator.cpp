#include "mornik/concurrency/detail/ItemAllocator.hpp"

#include <array>
#include <new>
#include <vector>

#include "mornik/concurrency/UnfairLock.hpp"

namespace mornik::detail {

namespace {

constexpr int kClasses = 3;
constexpr std::array<std::size_t, kClasses> kClassSize{64, 128, 256};
constexpr int kMagazineSlots = 64;
// Full magazines the depot keeps per class: at most 64 x 256 x 64 bytes
// (1 MiB) of the smallest class retained after a burst.
constexpr std::size_t kDepotLimit = 256;

int classOf(std::size_t size) noexcept {
  for (int c = 0; c < kClasses; ++c) {
    if (size <= kClassSize[c]) return c;
  }
  return -1;
}

struct Magazine {
  std::array<void*, kMagazineSlots> slots{};
  int count = 0;
};

class Depot {
 public:
  static Depot& instance() {
    static auto* const depot = new Depot();
    return *depot;
  }

  // Trades an empty magazine for a full one; null when the depot has none.
  Magazine* takeFull(int c, Magazine* empty) {
    detail::ScopedLock<UnfairLock> guard(lock_);
    auto& full = full_[c];
    if (full.empty()) return nullptr;
    Magazine* taken = full.back();
    full.pop_back();
    empty_.push_back(empty);
    return taken;
  }

  // Trades a full magazine for an empty one (the full one's blocks are freed
  // when the depot holds enough already).
  Magazine* giveFull(int c, Magazine* fullMagazine) {
    {
      detail::ScopedLock<UnfairLock> guard(lock_);
      if (full_[c].size() < kDepotLimit) {
        full_[c].push_back(fullMagazine);
        if (!empty_.empty()) {
          Magazine* empty = empty_.back();
          empty_.pop_back();
          return empty;
        }
        return new Magazine();
      }
    }
    for (int i = 0; i < fullMagazine->count; ++i) {
      ::operator delete(fullMagazine->slots[static_cast<std::size_t>(i)]);
    }
    fullMagazine->count = 0;
    return fullMagazine;
  }

  void giveBack(int c, Magazine* magazine) {
    if (magazine->count == 0) {
      detail::ScopedLock<UnfairLock> guard(lock_);
      empty_.push_back(magazine);
      return;
    }
    Magazine* empty = giveFull(c, magazine);
    detail::ScopedLock<UnfairLock> guard(lock_);
    empty_.push_back(empty);
  }

 private:
  UnfairLock lock_;
  std::array<std::vector<Magazine*>, kClasses> full_;
  std::vector<Magazine*> empty_;
};

// A thread's magazines, reached through initial-exec TLS (no function call
// on the fast path); handed to the depot when the thread ends.
thread_local constinit std::array<Magazine*, kClasses> tlsMagazines
    __attribute__((tls_model("initial-exec"))) = {};

struct MagazineReturner {
  ~MagazineReturner() {
    for (int c = 0; c < kClasses; ++c) {
      if (tlsMagazines[c] != nullptr) Depot::instance().giveBack(c, tlsMagazines[c]);
      tlsMagazines[c] = nullptr;
    }
  }
};

Magazine* firstMagazine(int c) {
  // Constructing the returner registers its destructor for this thread.
  static thread_local MagazineReturner returner;
  (void)returner;
  tlsMagazines[c] = new Magazine();
  return tlsMagazines[c];
}

Magazine* magazineOf(int c) {
  Magazine* magazine = tlsMagazines[c];
  return magazine != nullptr ? magazine : firstMagazine(c);
}

}  // namespace

void* allocateWorkItem(std::size_t size) {
  const int c = classOf(size);
  if (c < 0) return ::operator new(size);
  Magazine* magazine = magazineOf(c);
  if (magazine->count == 0) {
    if (Magazine* full = Depot::instance().takeFull(c, magazine)) {
      tlsMagazines[c] = full;
      magazine = full;
    } else {
      // Nothing to recycle (a burst is being queued): refill from the
      // general allocator, so the depot is asked once per magazine.
      for (void*& slot : magazine->slots) slot = ::operator new(kClassSize[c]);
      magazine->count = kMagazineSlots;
    }
  }
  return magazine->slots[static_cast<std::size_t>(--magazine->count)];
}

void freeWorkItem(void* block, std::size_t size) noexcept {
  const int c = classOf(size);
  if (c < 0) {
    ::operator delete(block);
    return;
  }
  Magazine* magazine = magazineOf(c);
  if (magazine->count == kMagazineSlots) {
    magazine = Depot::instance().giveFull(c, magazine);
    tlsMagazines[c] = magazine;
  }
  magazine->slots[static_cast<std::size_t>(magazine->count++)] = block;
}

}  // namespace mornik::detail
