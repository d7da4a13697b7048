// Start-up: what linking mornik costs a program that starts and ends at
// once, in interleaved rounds.
// - ours: a program linked against mornik (which loads ICU and the C++
//   runtime itself, and initialises its own statics);
// - anchor: the same program linked against ICU and the C++ runtime only.
// Each is started with posix_spawn and waited for with waitpid, one start
// after another; a round starts each 20 times, ten rounds in all. Ours runs
// from the build tree, so the loader also searches its run path's
// subfolders for libmornik before it finds it, which an installed program
// does not: the ratio is, if anything, on the high side.
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include <spawn.h>
#include <sys/wait.h>

#include "bench/support/Goals.hpp"
#include "bench/support/Interleaved.hpp"

extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace {

constexpr int kStartsPerRound = 20;
constexpr int kRounds = 10;

// Microseconds per start of `program`, over kStartsPerRound starts.
double usPerStart(const char* program) {
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kStartsPerRound; ++i) {
    char* argv[] = {const_cast<char*>(program), nullptr};  // NOLINT
    pid_t pid = -1;
    if (::posix_spawn(&pid, program, nullptr, nullptr, argv, environ) != 0) std::abort();
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::abort();
    }
  }
  const auto elapsed = std::chrono::steady_clock::now() - start;
  return std::chrono::duration<double, std::micro>(elapsed).count() / kStartsPerRound;
}

void BM_StartToMain(benchmark::State& state) {
  mornik::bench::runInterleaved(
      state, {"us_per_start"},
      {{"ours", [] { return std::vector<double>{usPerStart(MORNIK_START_PROBE_OURS)}; }},
       {"anchor", [] { return std::vector<double>{usPerStart(MORNIK_START_PROBE_ANCHOR)}; }}},
      kRounds);
}
BENCHMARK(BM_StartToMain)->Iterations(1)->Unit(benchmark::kMillisecond);

const bool kGoals = [] {
  mornik::bench::counterGoal("start_to_main_linked_to_mornik_vs_icu_and_cxx_runtime",
                             "BM_StartToMain", "us_per_start_ratio_vs_anchor", "<=", 1.2);
  return true;
}();

}  // namespace

MORNIK_BENCH_MAIN();
