#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

namespace mornik::bench {

// One implementation of a scenario: a run returns one value per metric (a
// duration or a cost per item: smaller is better).
struct Contender {
  std::string name;
  std::function<std::vector<double>()> run;
};

inline double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  if (n == 0) return 0;
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Runs the contenders in alternation, `rounds` times, rotating which goes
// first, so that a change of machine load hits them alike; the first
// contender is ours. Each run starts after a 100 ms pause, so that threads
// of the previous contender's pool have stopped spinning. For each metric m
// and contender c it sets the counters
//   "<c>_<m>"             the median of c's values;
//   "<m>_ratio_vs_<c>"    (c other than ours) the median over rounds of
//                         ours / c: below 1 means ours is cheaper.
inline void runInterleaved(benchmark::State& state, const std::vector<std::string>& metrics,
                           const std::vector<Contender>& contenders, int rounds) {
  const std::size_t n = contenders.size();
  const std::size_t m = metrics.size();
  std::vector<std::vector<std::vector<double>>> values(n, std::vector<std::vector<double>>(m));
  std::vector<std::vector<std::vector<double>>> ratios(n, std::vector<std::vector<double>>(m));
  for (auto _ : state) {
    for (int round = 0; round < rounds; ++round) {
      std::vector<std::vector<double>> thisRound(n);
      for (std::size_t k = 0; k < n; ++k) {
        const std::size_t c = (k + static_cast<std::size_t>(round)) % n;
        // Let the previous contender's idle threads stop spinning first.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        thisRound[c] = contenders[c].run();
      }
      for (std::size_t c = 0; c < n; ++c) {
        for (std::size_t j = 0; j < m; ++j) {
          values[c][j].push_back(thisRound[c][j]);
          if (c > 0) ratios[c][j].push_back(thisRound[0][j] / thisRound[c][j]);
        }
      }
    }
  }
  for (std::size_t c = 0; c < n; ++c) {
    for (std::size_t j = 0; j < m; ++j) {
      state.counters[contenders[c].name + "_" + metrics[j]] = median(values[c][j]);
      if (c > 0) {
        state.counters[metrics[j] + "_ratio_vs_" + contenders[c].name] = median(ratios[c][j]);
      }
    }
  }
}

}  // namespace mornik::bench
