// Child processes, in interleaved rounds.
//
// Start, run and collect /bin/true, per child:
// - ours: Aux::Shell::run2 (two pipes drained by the library, the child in
//   its own group, reaped through its pidfd, the output collected);
// - bare: posix_spawn + waitpid, nothing else;
// - popen: popen("/bin/true") + pclose, which runs it through sh -c;
// - glib: g_spawn_sync with both streams captured.
//
// Output throughput: a child (dd) writes 1 GiB to standard output in 64 KiB
// blocks;
// - ours: Flow::Shell, until both end-of-file futures succeed: every chunk
//   (what the pipe holds when it is read, up to 128 KiB) through the
//   library's descriptor watcher, a background queue, the
//   UTF-8 check, the reduction that keeps the last two chunks and the debug
//   line (printed into a sink that only counts);
// - bare: a blocking read loop of 64 KiB reads on the same kind of pipe
//   (1 MiB, the capacity the watcher gives a pipe its writer keeps full);
// - watcher: the library's descriptor watcher alone (FdWatcher::readChunks
//   on the global queue, the chunks only counted): what the chunk path
//   costs before Flow::Shell's own work.
// The goal is on time: ours / bare <= 1.25 is a throughput >= 0.8x bare.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <glib.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "mornik/base/Output.hpp"
#include "mornik/process/AuxShell.hpp"
#include "mornik/process/Shell.hpp"
#include "mornik/reactor/ChildProcess.hpp"
#include "mornik/reactor/FdWatcher.hpp"

#include "bench/support/Goals.hpp"
#include "bench/support/Interleaved.hpp"

extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// ---- Start, run and collect /bin/true ----

constexpr int kChildren = 200;
constexpr int kSpawnRounds = 9;

template <class F>
std::vector<double> microsPerChild(F runOne) {
  const auto start = Clock::now();
  for (int i = 0; i < kChildren; ++i) runOne();
  return {secondsSince(start) * 1e6 / kChildren};
}

std::vector<double> oursTrue() {
  const mornik::Aux::Shell shell("/bin/true", mornik::asURLdir("/"));
  return microsPerChild([&] {
    if (shell.run2().isFailure()) std::abort();
  });
}

std::vector<double> bareTrue() {
  return microsPerChild([] {
    char* argv[] = {const_cast<char*>("/bin/true"), nullptr};  // NOLINT
    pid_t pid = -1;
    if (::posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ) != 0) std::abort();
    ::waitpid(pid, nullptr, 0);
  });
}

std::vector<double> popenTrue() {
  return microsPerChild([] {
    FILE* pipe = ::popen("/bin/true", "r");
    if (pipe == nullptr) std::abort();
    char buffer[256];
    while (std::fread(buffer, 1, sizeof buffer, pipe) > 0) {
    }
    ::pclose(pipe);
  });
}

std::vector<double> glibTrue() {
  return microsPerChild([] {
    char* argv[] = {const_cast<char*>("/bin/true"), nullptr};  // NOLINT
    gchar* out = nullptr;
    gchar* err = nullptr;
    gint status = 0;
    if (!g_spawn_sync("/", argv, nullptr, G_SPAWN_DEFAULT, nullptr, nullptr, &out, &err, &status,
                      nullptr)) {
      std::abort();
    }
    g_free(out);
    g_free(err);
  });
}

void BM_SpawnTrue(benchmark::State& state) {
  mornik::bench::runInterleaved(
      state, {"us_per_child"},
      {{"ours", oursTrue}, {"bare", bareTrue}, {"popen", popenTrue}, {"glib", glibTrue}},
      kSpawnRounds);
}
BENCHMARK(BM_SpawnTrue)->Iterations(1)->Unit(benchmark::kSecond);

// ---- 1 GiB of output ----

constexpr int kThroughputRounds = 5;
const std::vector<std::string> kDd{"if=/dev/zero", "bs=64k", "count=16384", "status=none"};

std::vector<double> oursGiB() {
  std::atomic<long> lines{0};
  mornik::setOutputSink([&](std::string_view) { ++lines; });
  const auto start = Clock::now();
  auto shell = mornik::Flow::Shell::make("/bin/dd", mornik::asURLdir("/"));
  shell->run(kDd);
  if (shell->stdEOF()->wait().isFailure() || shell->errEOF()->wait().isFailure()) std::abort();
  const double seconds = secondsSince(start);
  mornik::setOutputSink(nullptr);
  if (lines.load() < 1) std::abort();  // chunks were handled
  return {seconds};
}

std::vector<double> bareGiB() {
  const auto start = Clock::now();
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) std::abort();
  ::fcntl(ends[0], F_SETPIPE_SZ, 1024 * 1024);  // as the watcher widens a full pipe
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
  std::vector<char*> argv{const_cast<char*>("/bin/dd")};                       // NOLINT
  for (const auto& arg : kDd) argv.push_back(const_cast<char*>(arg.c_str()));  // NOLINT
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) std::abort();
  ::posix_spawn_file_actions_destroy(&actions);
  ::close(ends[1]);
  std::vector<char> buffer(64 * 1024);
  long total = 0;
  for (ssize_t got = 0; (got = ::read(ends[0], buffer.data(), buffer.size())) > 0;) total += got;
  ::close(ends[0]);
  ::waitpid(pid, nullptr, 0);
  if (total != 1L << 30) std::abort();
  return {secondsSince(start)};
}

std::vector<double> watcherGiB() {
  const auto start = Clock::now();
  auto child =
      mornik::ChildProcess::spawn("/bin/dd", kDd, "/", mornik::ChildProcess::Output::pipes);
  std::atomic<long> total{0};
  std::atomic<bool> ended{false};
  auto watch = mornik::FdWatcher::readChunks(
      child.value()->takeOutputPipe(), mornik::DispatchQueue::global(),
      [&](std::string_view chunk) { total += static_cast<long>(chunk.size()); },
      [&](const mornik::Result<void>& end) { ended = end.isSuccess(); });
  child.value()->waitUntilExit();
  while (!ended) std::this_thread::yield();
  if (total != 1L << 30) std::abort();
  return {secondsSince(start)};
}

void BM_OutputGiB(benchmark::State& state) {
  mornik::bench::runInterleaved(state, {"seconds"},
                                {{"ours", oursGiB}, {"bare", bareGiB}, {"watcher", watcherGiB}},
                                kThroughputRounds);
}
BENCHMARK(BM_OutputGiB)->Iterations(1)->Unit(benchmark::kSecond);

const bool kGoals = [] {
  using mornik::bench::counterGoal;
  counterGoal("spawn_true_cost_vs_posix_spawn_waitpid", "BM_SpawnTrue",
              "us_per_child_ratio_vs_bare", "<=", 1.1);
  counterGoal("spawn_true_cost_vs_popen_sh", "BM_SpawnTrue", "us_per_child_ratio_vs_popen",
              "<=", 0.5);
  counterGoal("spawn_true_cost_vs_g_spawn_sync", "BM_SpawnTrue", "us_per_child_ratio_vs_glib",
              "<=", 1.0);
  counterGoal("shell_1gib_output_time_vs_bare_read_loop", "BM_OutputGiB", "seconds_ratio_vs_bare",
              "<=", 1.25);
  return true;
}();

}  // namespace

MORNIK_BENCH_MAIN()
