// A document under a stream of edits.
//
// 100,000 assignments to the content of a JSON-file document, spread evenly
// over 2 s (50 at the start of every millisecond; in between the main run
// loop runs, as in an application, delivering the document's change
// notifications). The document writes through the library's JSON file codec
// (atomic replacement with fsync) wrapped to count its writes. Reported:
// - writes: how many writes the whole series caused, counted once the
//   document has been quiet for 1.5 s after the file held the last value
//   (at most 3 expected: the first value at once, then one per second);
// - final_file_is_last: whether the file then holds the last value assigned;
// - cpu_ns_per_assignment: the CPU time of the whole process (every thread:
//   the assignments, the document's queue, its throttle, the writes, the
//   main queue's notifications, idle workers) from the first assignment
//   until the file holds the last value, divided by the assignments.
// Three runs: the most writes of any run, whether every run ended with the
// last value, and the median CPU time.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/RunLoop.hpp"
#include "mornik/flow/document/Codecs.hpp"
#include "mornik/flow/document/Document.hpp"
#include "mornik/flow/pool/Streamed.hpp"
#include "mornik/text/Json.hpp"

#include "bench/support/Goals.hpp"
#include "bench/support/Interleaved.hpp"

namespace {

using Clock = std::chrono::steady_clock;

struct Edit {
  long revision = 0;
  std::string text;
};
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(Edit, revision, text)

constexpr long kAssignments = 100'000;
constexpr int kMilliseconds = 2000;
constexpr long kPerMillisecond = kAssignments / kMilliseconds;

double processCpuNs() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

// Makes kPerMillisecond numbered edits at the start of each millisecond for
// kMilliseconds, hands each to `assign` and pumps the main run loop in
// between. Returns the number of edits.
template <class Assign>
long assignPaced(Assign assign) {
  auto& loop = mornik::RunLoop::main();
  const auto start = Clock::now();
  long assigned = 0;
  for (int ms = 1; ms <= kMilliseconds; ++ms) {
    while (assigned < ms * kPerMillisecond) {
      ++assigned;
      assign(Edit{assigned, "line " + std::to_string(assigned)});
    }
    loop.runUntil([&] { return Clock::now() >= start + std::chrono::milliseconds(ms); }, 0.01);
  }
  return assigned;
}

void BM_DocumentAssignments(benchmark::State& state) {
  double writes = 0;
  double finalIsLast = 1;
  std::vector<double> cpuNsPerAssignment;
  std::string folder = (std::filesystem::temp_directory_path() / "mornik-bench-XXXXXX").string();
  if (::mkdtemp(folder.data()) == nullptr) {
    state.SkipWithError("mkdtemp failed");
    return;
  }
  const auto file = std::filesystem::path(folder) / "document.json";
  for (auto _ : state) {
    std::filesystem::remove(file);
    auto count = std::make_shared<std::atomic<int>>(0);
    auto lastWritten = std::make_shared<std::atomic<long>>(0);
    const auto json = mornik::Flow::jsonFileIO<Edit>(mornik::asURL(file.string()));
    const mornik::Flow::IO<Edit> counted{json.read, [json, count, lastWritten](const Edit& edit) {
                                           count->fetch_add(1);
                                           auto written = json.writeContent(edit);
                                           if (written.isSuccess())
                                             lastWritten->store(edit.revision);
                                           return written;
                                         }};
    auto document = mornik::Flow::Document<Edit>::make(counted, Edit{}, nullptr, "bench");
    auto& loop = mornik::RunLoop::main();

    const double cpuBefore = processCpuNs();
    const long assigned = assignPaced([&](Edit edit) { document->content = std::move(edit); });
    loop.runUntil([&] { return lastWritten->load() == assigned; }, 5.0);
    const double cpuAfter = processCpuNs();
    loop.runFor(1.5);  // a write that should not come would come by now

    writes = std::max(writes, static_cast<double>(count->load()));
    const auto stored = json.readContent();
    if (!stored.isSuccess() || stored.value().revision != assigned) finalIsLast = 0;
    cpuNsPerAssignment.push_back((cpuAfter - cpuBefore) / static_cast<double>(assigned));
  }
  std::filesystem::remove_all(folder);
  state.counters["writes"] = writes;
  state.counters["final_file_is_last"] = finalIsLast;
  state.counters["cpu_ns_per_assignment"] = mornik::bench::median(cpuNsPerAssignment);
}

// The anchor: the same assignments, paced the same way, into a Streamed
// whose signal has one handler on a serial queue that keeps the value (one
// queue hop per assignment, nothing saved).
void BM_StreamedAssignments(benchmark::State& state) {
  std::vector<double> cpuNsPerAssignment;
  for (auto _ : state) {
    const mornik::DispatchQueue queue("bench.streamed");
    mornik::Streamed<Edit> content(Edit{}, queue);
    auto last = std::make_shared<std::atomic<long>>(0);
    content.signal()->onUpdate([last](const Edit& edit) { last->store(edit.revision); });
    auto& loop = mornik::RunLoop::main();
    const double cpuBefore = processCpuNs();
    const long assigned = assignPaced([&](Edit edit) { content = std::move(edit); });
    loop.runUntil([&] { return last->load() == assigned; }, 5.0);
    cpuNsPerAssignment.push_back((processCpuNs() - cpuBefore) / static_cast<double>(assigned));
  }
  state.counters["cpu_ns_per_assignment"] = mornik::bench::median(cpuNsPerAssignment);
}

BENCHMARK(BM_DocumentAssignments)->Iterations(3)->Unit(benchmark::kSecond);
BENCHMARK(BM_StreamedAssignments)->Iterations(3)->Unit(benchmark::kSecond);

const bool kGoals = [] {
  using mornik::bench::counterGoal;
  counterGoal("document_assignments_writes", "BM_DocumentAssignments", "writes", "<=", 3);
  counterGoal("document_assignments_final_file_is_last", "BM_DocumentAssignments",
              "final_file_is_last", ">=", 1);
  counterGoal("document_assignments_cpu_ns_per_assignment", "BM_DocumentAssignments",
              "cpu_ns_per_assignment", "<=", 2000);
  return true;
}();

}  // namespace

MORNIK_BENCH_MAIN()
