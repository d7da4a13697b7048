#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "mornik/base/Export.hpp"
#include "mornik/concurrency/DispatchQueue.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// Counts outstanding pieces of work: `enter` before each, `leave` after it;
// `wait` blocks and `notify` schedules work until the count is back at zero.
//
//   mornik::DispatchGroup group;
//   for (auto& file : files) group.async(queue, [&file] { index(file); });
//   group.notify(mornik::DispatchQueue::main(), [] { showDone(); });
//   group.wait();
//
// Writes made by work before its leave() are visible after wait() returns and
// in notified work. A leave() without a matching enter() is a programming
// error and aborts.
//
// Thread safety: every member may be called from any thread. A DispatchGroup
// is a handle: copies refer to the same group.
class DispatchGroup {
 public:
  DispatchGroup();

  void enter() const noexcept;
  void leave() const noexcept;

  // Submits `work` to `queue` inside the group (enter now, leave after it).
  template <class F>
  void async(const DispatchQueue& queue, F&& work) const {
    enter();
    queue.async([group = *this, work = std::forward<F>(work)]() mutable {
      struct Leave {
        const DispatchGroup& group;
        ~Leave() { group.leave(); }
      } leave{group};
      work();
    });
  }

  // Waits until the count is zero.
  void wait() const noexcept;
  // Waits at most `timeoutSeconds` (+infinity: no limit); false on timeout.
  bool wait(double timeoutSeconds) const noexcept;
  template <class Rep, class Period>
  bool wait(std::chrono::duration<Rep, Period> timeout) const noexcept {
    return wait(std::chrono::duration<double>(timeout).count());
  }

  // Submits `work` to `queue` when the count next reaches zero (at once if it
  // is zero now).
  void notify(const DispatchQueue& queue, std::function<void()> work) const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace mornik

MORNIK_EXPORTS_END
