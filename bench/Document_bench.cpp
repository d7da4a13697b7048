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
//
// Also a long stream of 1,000,000 assignments, for the memory it leaves
// behind (BM_DocumentLongStream below).
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
#include "bench/support/Memory.hpp"

namespace {

using Clock = std::chrono::steady_clock;

struct Edit {
  long revision = 0;
  std::string text;
};
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(Edit, revision, text)

constexpr long kAssignments = 100'000;
constexpr int kMilliseconds = 2000;

double processCpuNs() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

// Makes `total` numbered edits, an equal share at the start of each of
// `milliseconds` milliseconds, hands each to `assign` and pumps the main run
// loop in between. Returns the number of edits.
template <class Assign>
long assignPaced(Assign assign, long total = kAssignments, int milliseconds = kMilliseconds) {
  auto& loop = mornik::RunLoop::main();
  const auto start = Clock::now();
  const long perMillisecond = total / milliseconds;
  long assigned = 0;
  for (int ms = 1; ms <= milliseconds; ++ms) {
    while (assigned < ms * perMillisecond) {
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

// A long stream: 1,000,000 assignments paced over 4 s (250 at the start of
// every millisecond) to a document whose codec writes nothing, so that what
// the stream leaves behind is the library's own. Reported:
// - max_pool_futures: the most futures the document's pool held at any of
//   the samples taken every 1,000 assignments and at the end;
// - heap_growth_bytes: the memory in use (the heap in use plus the
//   executor's and the futures' small-block slabs, see
//   bench/support/Memory.hpp) once the document has
//   settled after the stream, minus the same figure after the first 10,000
//   assignments had settled (the warm-up fills the block caches, the
//   throttle's timer and the queues' first allocations);
// - heap_growth_from_start_bytes: the same from before the first assignment,
//   without a goal;
// - settled: whether the last value reached the codec both times (within a
//   minute).
void BM_DocumentLongStream(benchmark::State& state) {
  constexpr long kLong = 1'000'000;
  constexpr long kWarmUp = 10'000;
  double maxFutures = 0;
  double growth = 0;
  double growthFromStart = 0;
  double settled = 1;
  for (auto _ : state) {
    auto written = std::make_shared<std::atomic<long>>(0);
    const mornik::Flow::IO<Edit> io{[] { return mornik::Result<Edit>(Edit{}); },
                                    [written](const Edit& edit) {
                                      written->store(edit.revision);
                                      return mornik::Result<void>();
                                    }};
    auto document = mornik::Flow::Document<Edit>::make(io, Edit{}, nullptr, "bench.long");
    auto& loop = mornik::RunLoop::main();
    const auto heap = [] { return mornik::bench::memoryInUse(); };
    const auto settle = [&](long last) {
      if (!loop.runUntil([&] { return written->load() == last; }, 60.0)) settled = 0;
      loop.runFor(2.5);  // the write's future leaves the pool; idle threads trim their caches
    };
    const double atStart = heap();
    long revision = 0;
    const auto assign = [&](Edit edit) {
      edit.revision = ++revision;
      document->content = std::move(edit);
      if (revision % 1000 == 0) {
        maxFutures = std::max(maxFutures, static_cast<double>(document->pool()->futureCount()));
      }
    };
    assignPaced(assign, kWarmUp, 40);
    settle(revision);
    const double afterWarmUp = heap();
    assignPaced(assign, kLong - kWarmUp, 4000);
    settle(revision);
    maxFutures = std::max(maxFutures, static_cast<double>(document->pool()->futureCount()));
    growth = heap() - afterWarmUp;
    growthFromStart = heap() - atStart;
  }
  state.counters["max_pool_futures"] = maxFutures;
  state.counters["heap_growth_bytes"] = growth;
  state.counters["heap_growth_from_start_bytes"] = growthFromStart;
  state.counters["settled"] = settled;
}

BENCHMARK(BM_DocumentAssignments)->Iterations(3)->Unit(benchmark::kSecond);
BENCHMARK(BM_StreamedAssignments)->Iterations(3)->Unit(benchmark::kSecond);
BENCHMARK(BM_DocumentLongStream)->Iterations(1)->Unit(benchmark::kSecond);

const bool kGoals = [] {
  using mornik::bench::counterGoal;
  counterGoal("document_assignments_writes", "BM_DocumentAssignments", "writes", "<=", 3);
  counterGoal("document_assignments_final_file_is_last", "BM_DocumentAssignments",
              "final_file_is_last", ">=", 1);
  counterGoal("document_assignments_cpu_ns_per_assignment", "BM_DocumentAssignments",
              "cpu_ns_per_assignment", "<=", 2000);
  counterGoal("document_long_stream_heap_growth_bytes", "BM_DocumentLongStream",
              "heap_growth_bytes", "<=", 64 * 1024);
  counterGoal("document_long_stream_max_pool_futures", "BM_DocumentLongStream", "max_pool_futures",
              "<=", 2);
  counterGoal("document_long_stream_settled", "BM_DocumentLongStream", "settled", ">=", 1);
  return true;
}();

}  // namespace

MORNIK_BENCH_MAIN()
