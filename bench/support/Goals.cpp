#include "bench/support/Goals.hpp"

#include <cstdio>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

namespace mornik::bench {

namespace {

struct Goal {
  std::string name;
  std::string ours;
  std::string anchor;  // empty for a counter goal
  std::string metric;
  std::string counter;
  std::string op;
  double target = 0;
};

std::vector<Goal>& goals() {
  static std::vector<Goal> all;
  return all;
}

struct Measurement {
  double realTimeNs = 0;
  std::map<std::string, double> counters;
};

// "BM_x/iterations:1/repeats:5/threads:2" and "BM_x/threads:2" name the same
// benchmark: goals name benchmarks without their iteration and repetition
// settings.
std::string withoutRepeats(std::string name) {
  for (const char* setting : {"/repeats:", "/iterations:"}) {
    const auto at = name.find(setting);
    if (at == std::string::npos) continue;
    const auto end = name.find('/', at + 1);
    name.erase(at, end == std::string::npos ? std::string::npos : end - at);
  }
  return name;
}

// Console output as usual, plus the measurements kept for the goals: the
// median of repeated runs where there is one, else the plain run.
class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const std::string name = withoutRepeats(run.run_name.str());
      Measurement measurement;
      measurement.realTimeNs =
          run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e9;
      for (const auto& [counterName, counter] : run.counters) {
        measurement.counters[counterName] = counter.value;
      }
      if (run.run_type == Run::RT_Aggregate) {
        if (run.aggregate_name == "median") medians_[name] = measurement;
      } else {
        plain_[name] = measurement;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  std::optional<Measurement> find(const std::string& benchmark) const {
    const std::string name = withoutRepeats(benchmark);
    if (auto found = medians_.find(name); found != medians_.end()) return found->second;
    if (auto found = plain_.find(name); found != plain_.end()) return found->second;
    return std::nullopt;
  }

 private:
  std::map<std::string, Measurement> medians_;
  std::map<std::string, Measurement> plain_;
};

std::optional<double> metricOf(const Measurement& m, const std::string& metric) {
  if (metric == kRealTime) return m.realTimeNs;
  auto found = m.counters.find(metric);
  if (found == m.counters.end()) return std::nullopt;
  return found->second;
}

bool holds(double value, const std::string& op, double target) {
  if (op == "<") return value < target;
  if (op == "<=") return value <= target;
  if (op == ">") return value > target;
  return value >= target;
}

}  // namespace

void ratioGoal(std::string name, std::string ours, std::string anchor, std::string metric,
               std::string op, double target) {
  goals().push_back(Goal{std::move(name),
                         std::move(ours),
                         std::move(anchor),
                         std::move(metric),
                         {},
                         std::move(op),
                         target});
}

void counterGoal(std::string name, std::string benchmark, std::string counter, std::string op,
                 double target) {
  goals().push_back(Goal{
      std::move(name), std::move(benchmark), {}, {}, std::move(counter), std::move(op), target});
}

int runBenchmarksWithGoals(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  std::fflush(stdout);
  for (const Goal& goal : goals()) {
    std::optional<double> measured;
    const auto ours = reporter.find(goal.ours);
    if (goal.anchor.empty()) {
      if (ours) {
        if (auto found = ours->counters.find(goal.counter); found != ours->counters.end()) {
          measured = found->second;
        }
      }
    } else {
      const auto anchor = reporter.find(goal.anchor);
      if (ours && anchor) {
        const auto a = metricOf(*ours, goal.metric);
        const auto b = metricOf(*anchor, goal.metric);
        if (a && b && *b > 0) measured = *a / *b;
      }
    }
    if (measured) {
      std::printf("GOAL %s measured=%.3f target=%s%g %s\n", goal.name.c_str(), *measured,
                  goal.op.c_str(), goal.target,
                  holds(*measured, goal.op, goal.target) ? "PASS" : "MISS");
    } else {
      std::printf("GOAL %s measured=none target=%s%g MISS (benchmark not run)\n", goal.name.c_str(),
                  goal.op.c_str(), goal.target);
    }
  }
  std::fflush(stdout);
  return 0;
}

}  // namespace mornik::bench
