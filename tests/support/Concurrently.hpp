#pragma once

#include <barrier>
#include <thread>
#include <vector>

namespace mornik::test {

// Runs `body(threadIndex)` on `threads` new threads released together from a
// start barrier (so they really overlap), and joins them all.
template <class F>
void runConcurrently(int threads, F&& body) {
  std::barrier start(threads);
  std::vector<std::thread> running;
  running.reserve(static_cast<std::size_t>(threads));
  for (int t = 0; t < threads; ++t) {
    running.emplace_back([&, t] {
      start.arrive_and_wait();
      body(t);
    });
  }
  for (auto& thread : running) thread.join();
}

}  // namespace mornik::test
