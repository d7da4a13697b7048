// Files: streaming lines, listing a large tree, copying a large file, each
// against its anchor in interleaved rounds.
//
//   readLn over 200 MB of 80-byte lines  vs std::getline on std::ifstream,
//                                        and vs `wc -l` (a memchr-bound floor)
//   getFiles over 100,000 entries        vs std::filesystem::recursive_directory_iterator
//   FS::copy of a 1 GB file              vs `cp`
//
// Each run reports its wall time and its CPU time (the calling thread's, or
// the child's for `wc` and `cp`); the goals are on CPU time, which a loaded
// machine does not blur (these runs are single-threaded and CPU-bound: the
// files are in the page cache). Wall time is printed beside it.

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "mornik/files/FS.hpp"
#include "mornik/files/FileStream.hpp"

#include "bench/support/Goals.hpp"
#include "bench/support/Interleaved.hpp"

extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace {

using Clock = std::chrono::steady_clock;

double threadCpuSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double seconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

// Wall time and this thread's CPU time since construction: {seconds, cpu_seconds}.
struct Stopwatch {
  Clock::time_point wall = Clock::now();
  double cpu = threadCpuSeconds();
  std::vector<double> read() const {
    return {std::chrono::duration<double>(Clock::now() - wall).count(), threadCpuSeconds() - cpu};
  }
};

// A scratch folder on the disk of the temporary folder (not tmpfs), removed
// with everything in it when the program ends.
struct Scratch {
  std::filesystem::path path;
  Scratch() {
    std::string pattern = (std::filesystem::temp_directory_path() / "mornik-files-bench-XXXXXX");
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    path = pattern;
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  ~Scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
};
const std::filesystem::path& scratch() {
  static const Scratch folder;
  return folder.path;
}

// Runs a program to its end with its output sent to /dev/null; returns the
// CPU time it used.
double runQuietly(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));  // NOLINT
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) std::abort();
  ::posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) std::abort();
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// ---- Lines ----

constexpr long kLines = 200L * 1000 * 1000 / 80;

const std::filesystem::path& textFile() {
  static const std::filesystem::path file = [] {
    auto path = scratch() / "lines.txt";
    std::ofstream out(path, std::ios::binary);
    std::string line(79, 'x');
    line += '\n';
    for (long i = 0; i < kLines; ++i) {
      line[i % 79] = static_cast<char>('a' + i % 26);
      out << line;
    }
    return path;
  }();
  return file;
}

std::vector<double> oursLines() {
  const Stopwatch watch;
  auto stream = mornik::FileStream::make(mornik::asURL(textFile().string()));
  long lines = 0;
  while (auto line = stream->readLn()) {
    benchmark::DoNotOptimize(line->data());
    ++lines;
  }
  if (lines != kLines) std::abort();
  return watch.read();
}

std::vector<double> getlineLines() {
  const Stopwatch watch;
  std::ifstream in(textFile(), std::ios::binary);
  std::string line;
  long lines = 0;
  while (std::getline(in, line)) {
    benchmark::DoNotOptimize(line.data());
    ++lines;
  }
  if (lines != kLines) std::abort();
  return watch.read();
}

std::vector<double> wcLines() {
  const Stopwatch watch;
  const double cpu = runQuietly({"wc", "-l", textFile().string()});
  return {watch.read()[0], cpu};
}

void BM_ReadLn200MB(benchmark::State& state) {
  textFile();
  mornik::bench::runInterleaved(state, {"seconds", "cpu_seconds"},
                                {{"ours", oursLines}, {"getline", getlineLines}, {"wc", wcLines}},
                                7);
}
BENCHMARK(BM_ReadLn200MB)->Iterations(1)->Unit(benchmark::kSecond);

// ---- Listing ----

constexpr int kFolders = 100;
constexpr int kFilesPerFolder = 999;  // with the folders: 100,000 entries

const std::filesystem::path& tree() {
  static const std::filesystem::path root = [] {
    auto path = scratch() / "tree";
    for (int d = 0; d < kFolders; ++d) {
      const auto folder = path / ("folder-" + std::to_string(d));
      std::filesystem::create_directories(folder);
      for (int f = 0; f < kFilesPerFolder; ++f) {
        const auto file = folder / ("file-" + std::to_string(f) + ".txt");
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) std::abort();
        ::close(fd);
      }
    }
    return path;
  }();
  return root;
}

std::vector<double> oursListing() {
  const Stopwatch watch;
  const auto all = mornik::getFiles(mornik::asURLdir(tree().string()));
  auto measured = watch.read();
  if (all.size() != kFolders * (kFilesPerFolder + 1)) std::abort();
  return measured;
}

std::vector<double> stdListing() {
  const Stopwatch watch;
  std::vector<std::filesystem::path> all;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(tree())) {
    all.push_back(entry.path());
  }
  auto measured = watch.read();
  if (all.size() != kFolders * (kFilesPerFolder + 1)) std::abort();
  return measured;
}

void BM_ListTree100k(benchmark::State& state) {
  tree();
  mornik::bench::runInterleaved(state, {"seconds", "cpu_seconds"},
                                {{"ours", oursListing}, {"std", stdListing}}, 9);
}
BENCHMARK(BM_ListTree100k)->Iterations(1)->Unit(benchmark::kSecond);

// ---- Copy ----

const std::filesystem::path& bigFile() {
  static const std::filesystem::path file = [] {
    auto path = scratch() / "big.bin";
    std::ofstream out(path, std::ios::binary);
    std::string block(1 << 20, '\0');
    for (int i = 0; i < 1000; ++i) {
      block[static_cast<std::size_t>(i)] = static_cast<char>(i);  // not all zeros
      out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
    return path;
  }();
  return file;
}

std::vector<double> oursCopy() {
  const auto target = scratch() / "copy-ours.bin";
  ::sync();  // the previous copy's writeback is not charged to this one
  const Stopwatch watch;
  if (mornik::FS::copy(bigFile().string(), target.string(), false).isFailure()) std::abort();
  auto measured = watch.read();
  std::filesystem::remove(target);
  return measured;
}

std::vector<double> cpCopy() {
  const auto target = scratch() / "copy-cp.bin";
  ::sync();
  const Stopwatch watch;
  const double cpu = runQuietly({"cp", bigFile().string(), target.string()});
  const double wall = watch.read()[0];
  std::filesystem::remove(target);
  return {wall, cpu};
}

void BM_Copy1GB(benchmark::State& state) {
  bigFile();
  mornik::bench::runInterleaved(state, {"seconds", "cpu_seconds"},
                                {{"ours", oursCopy}, {"cp", cpCopy}}, 9);
}
BENCHMARK(BM_Copy1GB)->Iterations(1)->Unit(benchmark::kSecond);

const bool kGoals = [] {
  using mornik::bench::counterGoal;
  // CPU-time ratios: ours / anchor. 2x getline's throughput is <= 0.5 of its time.
  counterGoal("readln_200mb_time_vs_ifstream_getline", "BM_ReadLn200MB",
              "cpu_seconds_ratio_vs_getline", "<=", 0.5);
  counterGoal("readln_200mb_time_vs_wc_l", "BM_ReadLn200MB", "cpu_seconds_ratio_vs_wc", "<=", 2.0);
  counterGoal("get_files_100k_time_vs_recursive_directory_iterator", "BM_ListTree100k",
              "cpu_seconds_ratio_vs_std", "<=", 1.0);
  counterGoal("copy_1gb_time_vs_cp", "BM_Copy1GB", "cpu_seconds_ratio_vs_cp", "<=", 1.0 / 0.9);
  return true;
}();

}  // namespace

MORNIK_BENCH_MAIN()
