// The logger against spdlog, the same text through the same channels:
// - a line to the journal and to a file flushed per line (spdlog: its
//   systemd sink and a basic file sink with flush_on(info));
// - a million lines to the file only;
// - a call whose title the filters leave out, beside spdlog's call below
//   its level.
// The program runs itself again beside a private systemd-journald
// (scripts/with-journald.sh in a private mount namespace); where that cannot
// start, the journal benchmark does not run and its goal is a MISS.

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include <spawn.h>
#include <spdlog/logger.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/systemd_sink.h>
#include <sys/wait.h>
#include <unistd.h>

#include "mornik/log/BasicLogger.hpp"
#include "mornik/platform/DesktopAdapters.hpp"
#include "mornik/platform/Journal.hpp"
#include "mornik/settings/AppIdentity.hpp"

#include "bench/support/Goals.hpp"
#include "bench/support/Interleaved.hpp"

extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace {

using Clock = std::chrono::steady_clock;
const std::string kMessage = "connected to mirror 7 after 3 attempts, 1532 bytes in 0.25 s";

class NoJournal final : public mornik::JournalSink {
 public:
  void send(const mornik::JournalEntry& /*entry*/) override {}
  bool isEnabled() const override { return false; }
};

std::filesystem::path scratch(const std::string& name) {
  static const std::filesystem::path folder = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "mornik-log-bench-XXXXXX");
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    return std::filesystem::path(pattern);
  }();
  return folder / name;
}

bool journalRuns() { return ::access("/run/systemd/journal/socket", F_OK) == 0; }

double nsPerLine(Clock::time_point start, int lines) {
  return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / lines;
}

// Ours: `lines` lines through BasicLogger to `journal` and a fresh file.
std::vector<double> ours(const std::shared_ptr<mornik::JournalSink>& journal, int lines) {
  const auto file = scratch("ours.txt");
  std::filesystem::remove(file);
  mornik::JournalSink::setShared(journal);
  mornik::BasicLogger::setLogFileUrl(mornik::URL::fileURL(file.string()));
  mornik::BasicLogger::setWriteLogToFile(true);
  const auto start = Clock::now();
  for (int i = 0; i < lines; ++i) mornik::BasicLogger::log("Net", kMessage);
  const double cost = nsPerLine(start, lines);
  mornik::BasicLogger::setWriteLogToFile(false);
  std::filesystem::remove(file);
  return {cost};
}

// spdlog: the same line, "HH:MM:SS.mmm [Net]: <msg>" in the file.
std::vector<double> spdlogLines(bool toJournal, int lines) {
  const auto file = scratch("spdlog.txt");
  std::filesystem::remove(file);
  std::vector<spdlog::sink_ptr> sinks;
  if (toJournal) {
    sinks.push_back(
        std::make_shared<spdlog::sinks::systemd_sink_mt>(mornik::AppIdentity::identifier()));
  }
  sinks.push_back(std::make_shared<spdlog::sinks::basic_file_sink_mt>(file.string()));
  spdlog::logger logger("bench", sinks.begin(), sinks.end());
  logger.set_pattern("%H:%M:%S.%e %v");
  logger.flush_on(spdlog::level::info);
  const auto start = Clock::now();
  for (int i = 0; i < lines; ++i) logger.info("[{}]: {}", "Net", kMessage);
  const double cost = nsPerLine(start, lines);
  std::filesystem::remove(file);
  return {cost};
}

void BM_JournalAndFile(benchmark::State& state) {
  if (!journalRuns()) {
    state.SkipWithError("no systemd-journald could be started here");
    return;
  }
  const auto journal = mornik::JournalSink::forDesktop();
  if (journal.isFailure()) {
    state.SkipWithError("no journal sink");
    return;
  }
  constexpr int kLines = 20000;
  mornik::bench::runInterleaved(state, {"ns_per_line"},
                                {{"ours", [&] { return ours(journal.value(), kLines); }},
                                 {"spdlog", [] { return spdlogLines(true, kLines); }}},
                                7);
}
BENCHMARK(BM_JournalAndFile)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_FileMillionLines(benchmark::State& state) {
  constexpr int kLines = 1000000;
  const auto none = std::make_shared<NoJournal>();
  mornik::bench::runInterleaved(state, {"ns_per_line"},
                                {{"ours", [&] { return ours(none, kLines); }},
                                 {"spdlog", [] { return spdlogLines(false, kLines); }}},
                                5);
}
BENCHMARK(BM_FileMillionLines)->Iterations(1)->Unit(benchmark::kSecond);

// The calling thread's CPU time in nanoseconds: a call of a few nanoseconds
// measured on the wall clock would mostly measure preemption on a busy
// machine.
double threadCpuNs() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

void BM_FilteredOut(benchmark::State& state) {
  constexpr int kCalls = 10000000;
  mornik::BasicLogger::setLogFilters({"Net", "Disk"});
  auto logger = std::make_shared<spdlog::logger>(
      "below", std::make_shared<spdlog::sinks::basic_file_sink_mt>(scratch("below.txt").string()));
  logger->set_level(spdlog::level::warn);
  mornik::bench::runInterleaved(state, {"ns_per_call"},
                                {{"ours",
                                  [] {
                                    const double start = threadCpuNs();
                                    for (int i = 0; i < kCalls; ++i) {
                                      mornik::BasicLogger::log("Other", kMessage);
                                    }
                                    return std::vector<double>{(threadCpuNs() - start) / kCalls};
                                  }},
                                 {"spdlog",
                                  [&] {
                                    const double start = threadCpuNs();
                                    for (int i = 0; i < kCalls; ++i) {
                                      logger->info("[{}]: {}", "Other", kMessage);
                                    }
                                    return std::vector<double>{(threadCpuNs() - start) / kCalls};
                                  }}},
                                5);
  mornik::BasicLogger::setLogFilters({});
}
BENCHMARK(BM_FilteredOut)->Iterations(1)->Unit(benchmark::kMillisecond);

// Runs this program again beside a private journald; false when that
// cannot start (the benchmarks then run here, without a journal).
bool ranBesideJournald(int argc, char** argv, int* status) {
  if (std::getenv("MORNIK_BENCH_BESIDE_JOURNALD") != nullptr) return false;  // NOLINT
  ::setenv("MORNIK_BENCH_BESIDE_JOURNALD", "1",
           1);  // NOLINT(concurrency-mt-unsafe): no threads yet
  std::vector<std::string> args{"/usr/bin/unshare",   "--mount", "--propagation", "private",
                                MORNIK_WITH_JOURNALD, "-",       "/proc/self/exe"};
  args[6] = std::filesystem::read_symlink("/proc/self/exe").string();
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  std::vector<char*> raw;
  for (auto& arg : args) raw.push_back(arg.data());
  raw.push_back(nullptr);
  pid_t pid = -1;
  if (::posix_spawn(&pid, raw[0], nullptr, nullptr, raw.data(), environ) != 0) return false;
  int waited = 0;
  if (::waitpid(pid, &waited, 0) != pid || !WIFEXITED(waited) || WEXITSTATUS(waited) == 77) {
    return false;
  }
  *status = WEXITSTATUS(waited);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int status = 0;
  if (ranBesideJournald(argc, argv, &status)) return status;
  mornik::useDesktopAdapters();
  // Cost ratios (ours / spdlog per line): <= 1 is throughput >= spdlog's.
  mornik::bench::counterGoal("log_journal_and_file_cost_vs_spdlog", "BM_JournalAndFile",
                             "ns_per_line_ratio_vs_spdlog", "<=", 1.0);
  mornik::bench::counterGoal("log_file_1M_lines_cost_vs_spdlog", "BM_FileMillionLines",
                             "ns_per_line_ratio_vs_spdlog", "<=", 1.0);
  mornik::bench::counterGoal("log_filtered_out_call_ns", "BM_FilteredOut", "ours_ns_per_call",
                             "<=", 20.0);
  return mornik::bench::runBenchmarksWithGoals(argc, argv);
}
