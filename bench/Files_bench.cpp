// Files: streaming lines, listing a large tree, copying a large file, each
// against its anchor in interleaved rounds.
//
//   readLn over 200 MB of 80-byte lines  vs std::getline on std::ifstream,
//                                        and vs `wc -l` (a memchr-bound floor)
//   getFiles over 100,000 entries        vs std::filesystem::recursive_directory_iterator
//   FS::copy of a 1 GB file              vs `cp`

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "mornik/files/FS.hpp"
#include "mornik/files/FileStream.hpp"

#include "bench/support/Goals.hpp"
#include "bench/support/Interleaved.hpp"

extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace {

using Clock = std::chrono::steady_clock;
double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

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

// Runs a program to its end with its output sent to /dev/null.
void runQuietly(const std::vector<std::string>& args) {
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
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) std::abort();
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
  const auto start = Clock::now();
  auto stream = mornik::FileStream::make(mornik::asURL(textFile().string()));
  long lines = 0;
  while (auto line = stream->readLn()) {
    benchmark::DoNotOptimize(line->data());
    ++lines;
  }
  if (lines != kLines) std::abort();
  return {secondsSince(start)};
}

std::vector<double> getlineLines() {
  const auto start = Clock::now();
  std::ifstream in(textFile(), std::ios::binary);
  std::string line;
  long lines = 0;
  while (std::getline(in, line)) {
    benchmark::DoNotOptimize(line.data());
    ++lines;
  }
  if (lines != kLines) std::abort();
  return {secondsSince(start)};
}

std::vector<double> wcLines() {
  const auto start = Clock::now();
  runQuietly({"wc", "-l", textFile().string()});
  return {secondsSince(start)};
}

void BM_ReadLn200MB(benchmark::State& state) {
  textFile();
  mornik::bench::runInterleaved(
      state, {"seconds"}, {{"ours", oursLines}, {"getline", getlineLines}, {"wc", wcLines}}, 7);
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
  const auto start = Clock::now();
  const auto all = mornik::getFiles(mornik::asURLdir(tree().string()));
  const double seconds = secondsSince(start);
  if (all.size() != kFolders * (kFilesPerFolder + 1)) std::abort();
  return {seconds};
}

std::vector<double> stdListing() {
  const auto start = Clock::now();
  std::vector<std::filesystem::path> all;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(tree())) {
    all.push_back(entry.path());
  }
  const double seconds = secondsSince(start);
  if (all.size() != kFolders * (kFilesPerFolder + 1)) std::abort();
  return {seconds};
}

void BM_ListTree100k(benchmark::State& state) {
  tree();
  mornik::bench::runInterleaved(state, {"seconds"}, {{"ours", oursListing}, {"std", stdListing}},
                                9);
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
  const auto start = Clock::now();
  if (mornik::FS::copy(bigFile().string(), target.string(), false).isFailure()) std::abort();
  const double seconds = secondsSince(start);
  std::filesystem::remove(target);
  return {seconds};
}

std::vector<double> cpCopy() {
  const auto target = scratch() / "copy-cp.bin";
  ::sync();
  const auto start = Clock::now();
  runQuietly({"cp", bigFile().string(), target.string()});
  const double seconds = secondsSince(start);
  std::filesystem::remove(target);
  return {seconds};
}

void BM_Copy1GB(benchmark::State& state) {
  bigFile();
  mornik::bench::runInterleaved(state, {"seconds"}, {{"ours", oursCopy}, {"cp", cpCopy}}, 5);
}
BENCHMARK(BM_Copy1GB)->Iterations(1)->Unit(benchmark::kSecond);

const bool kGoals = [] {
  using mornik::bench::counterGoal;
  // Time ratios: ours / anchor. 2x getline's throughput is <= 0.5 of its time.
  counterGoal("readln_200mb_time_vs_ifstream_getline", "BM_ReadLn200MB", "seconds_ratio_vs_getline",
              "<=", 0.5);
  counterGoal("readln_200mb_time_vs_wc_l", "BM_ReadLn200MB", "seconds_ratio_vs_wc", "<=", 2.0);
  counterGoal("get_files_100k_time_vs_recursive_directory_iterator", "BM_ListTree100k",
              "seconds_ratio_vs_std", "<=", 1.0);
  counterGoal("copy_1gb_time_vs_cp", "BM_Copy1GB", "seconds_ratio_vs_cp", "<=", 1.0 / 0.9);
  return true;
}();

}  // namespace

MORNIK_BENCH_MAIN()
