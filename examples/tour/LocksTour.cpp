#include <map>
#include <string>
#include <thread>
#include <vector>

#include "mornik/concurrency/Locked.hpp"
#include "mornik/concurrency/LockedVar.hpp"

#include "tour/Tour.hpp"

namespace tour {

void locks() {
  heading("Locks and locked values");

  // Four threads count words into one shared dictionary.
  mornik::LockedVar<std::map<std::string, int>> counts;
  const std::vector<std::string> words{"apple", "pear", "apple", "fig", "pear", "apple"};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (const auto& word : words) counts.access([&](auto& m) { ++m[word]; });
    });
  }
  for (auto& thread : threads) thread.join();
  counts.read([](const auto& m) {
    for (const auto& [word, n] : m) say(word + ": " + std::to_string(n));
  });

  // item() builds a missing entry once, under the lock.
  mornik::LockedVar<std::map<int, std::string>> squares;
  int built = 0;
  for (int round = 0; round < 3; ++round) {
    (void)squares.item(12, [&](int n) {
      ++built;
      return std::to_string(n * n);
    });
  }
  say("square of 12 = " + squares.get(12).value_or("?") + ", built " + std::to_string(built) +
      " time(s)");

  // An out-of-range index reads as none and writes nothing.
  mornik::LockedVar<std::vector<int>> array(std::vector<int>{1, 2, 3});
  array[7] = 70;
  say("array[7] is " + std::string(array[7].get() ? "present" : "none") + ", size stays " +
      std::to_string(array.read().size()));

  // A recursive lock may be taken again by its owner.
  mornik::Locked<int> depth(0, mornik::LockType::recursive);
  depth.lock().locked([&] { depth.modify([](int& d) { d += 2; }); });
  say("nested recursive update: depth = " + std::to_string(depth.get()));
}

}  // namespace tour
