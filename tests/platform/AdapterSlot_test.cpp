#include "mornik/platform/detail/AdapterSlot.hpp"

#include <array>
#include <atomic>
#include <barrier>
#include <memory>

#include <gtest/gtest.h>

#include "tests/support/Concurrently.hpp"

namespace mornik {
namespace {

struct Adapter {
  explicit Adapter(bool real) : real(real) { ++alive; }
  ~Adapter() { --alive; }
  Adapter(const Adapter&) = delete;
  Adapter& operator=(const Adapter&) = delete;
  const bool real;
  static inline std::atomic<int> alive{0};
};

using Slot = detail::AdapterSlot<Adapter>;

std::shared_ptr<Adapter> fallback(const Error& /*why*/) { return std::make_shared<Adapter>(false); }

// The desktop's factory; while `gEntering` is set, each call waits until
// every caller is inside, so that all of them make an adapter.
std::barrier<>* gEntering = nullptr;
std::atomic<int> gMade{0};
Result<std::shared_ptr<Adapter>> factory() {
  if (gEntering != nullptr) gEntering->arrive_and_wait();
  ++gMade;
  return std::make_shared<Adapter>(true);
}

// (What each adapter answers without the desktop library: Adapters_test.cpp.)
TEST(AdapterSlot, TheDefaultIsMadeOnceAndAnInstalledOneWins) {
  Slot slot("the test adapter", fallback);
  EXPECT_FALSE(slot.get()->real);
  // A factory registered later serves once the default is asked for again.
  slot.setFactory(factory);
  EXPECT_FALSE(slot.get()->real);
  slot.set(nullptr);
  gMade = 0;
  EXPECT_TRUE(slot.get()->real);
  EXPECT_EQ(slot.get(), slot.get());
  EXPECT_EQ(gMade, 1);  // made once, on first use
  auto mine = std::make_shared<Adapter>(false);
  slot.set(mine);
  EXPECT_EQ(slot.get(), mine);
  EXPECT_TRUE(slot.forDesktop().value()->real);  // a new one; the installed one stays
  EXPECT_EQ(slot.get(), mine);
}

// Threads that ask for the default at once each make one (outside the lock),
// and all get the first one installed; the others' are released.
TEST(AdapterSlot, ConcurrentFirstUsesAgreeOnOneAdapter) {
  constexpr int kThreads = 4;
  {
    Slot slot("the test adapter", fallback);
    slot.setFactory(factory);
    std::barrier<> entering(kThreads);
    gEntering = &entering;
    gMade = 0;
    std::array<std::shared_ptr<Adapter>, kThreads> got;
    test::runConcurrently(kThreads, [&](int t) { got[static_cast<std::size_t>(t)] = slot.get(); });
    gEntering = nullptr;
    EXPECT_EQ(gMade, kThreads);
    for (const auto& each : got) EXPECT_EQ(each, got[0]);
    for (auto& each : got) each.reset();
    EXPECT_EQ(Adapter::alive, 1);  // the slot's
  }
  EXPECT_EQ(Adapter::alive, 0);
}

}  // namespace
}  // namespace mornik
