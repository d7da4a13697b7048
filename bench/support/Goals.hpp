#pragma once

#include <string>

// Goals of the benchmark programs: each compares a measurement of ours with
// an anchor measured in the same run (or with a fixed bound) and prints
//   GOAL <name> measured=<value> target=<op><value> PASS|MISS
// after all benchmarks ran. A benchmark with repetitions contributes its
// median.

namespace mornik::bench {

// What a ratio goal compares: kRealTime (real time per iteration, in
// nanoseconds) or the name of a counter of both benchmarks
// ("items_per_second", or a user counter such as "ns_per_item").
inline constexpr const char* kRealTime = "real_time";

// ratio = ours / anchor of the metric; PASS when `ratio <op> target`, where
// op is one of "<", "<=", ">", ">=".
void ratioGoal(std::string name, std::string ours, std::string anchor, std::string metric,
               std::string op, double target);

// A user counter of one benchmark against a fixed bound.
void counterGoal(std::string name, std::string benchmark, std::string counter, std::string op,
                 double target);

// Runs the registered benchmarks (command-line flags as Google Benchmark's
// own) and prints the goal lines. Returns the process exit code.
int runBenchmarksWithGoals(int argc, char** argv);

}  // namespace mornik::bench

// Defines main() for a benchmark program.
#define MORNIK_BENCH_MAIN() \
  int main(int argc, char** argv) { return ::mornik::bench::runBenchmarksWithGoals(argc, argv); }
