#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/RunLoopWait.hpp"
#include "tests/support/TempDir.hpp"

extern char** environ;  // NOLINT(readability-redundant-declaration)

// The private desktop each test runs in (DesktopSession.cpp) and what tests
// do with it.
namespace mornik::test {

inline constexpr const char* kRootVariable = "MORNIK_DESKTOP_ROOT";

inline std::string environment(const char* name) {
  const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe)
  return value != nullptr ? value : "";
}

inline std::filesystem::path desktopRoot() { return environment(kRootVariable); }

inline bool onPath(const std::string& program) {
  std::stringstream path(environment("PATH"));
  for (std::string folder; std::getline(path, folder, ':');) {
    if (!folder.empty() && ::access((folder + "/" + program).c_str(), X_OK) == 0) return true;
  }
  return false;
}

// The arguments of each start of the fake application `name` (or the calls
// the fake service took: "service"), one line each.
inline std::string record(const std::string& name) {
  return readFile(desktopRoot() / "records" / (name + ".log"));
}
inline bool waitForRecord(const std::string& name, const std::string& text) {
  return waitFor([&] { return record(name).find(text) != std::string::npos; });
}

// Runs a program to its end, `input` on its standard input; its exit code and
// output. Through files: programs that leave children behind hold no pipe.
struct Ran {
  int exitCode = -1;
  std::string output;
};
inline Ran run(const std::vector<std::string>& argv, const std::string& input = {}) {
  const std::string base = (desktopRoot() / ("run-" + std::to_string(::getpid()))).string();
  std::ofstream(base + ".in") << input;
  std::string command;
  for (const auto& arg : argv) command += "'" + arg + "' ";
  command += "< '" + base + ".in' > '" + base + ".out' 2>/dev/null";
  const int status = std::system(command.c_str());  // NOLINT(concurrency-mt-unsafe)
  return Ran{WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(base + ".out")};
}

// A small file in the home folder, its folders made.
inline std::filesystem::path homeFile(const std::string& name) {
  const std::filesystem::path path = desktopRoot() / "home" / name;
  writeFile(path, "content\n");
  return path;
}

// A sine tone of `seconds` (22050 Hz, mono) that sox writes to `name` in the
// desktop's root.
inline std::filesystem::path tone(const std::string& name, double seconds) {
  const std::filesystem::path path = desktopRoot() / name;
  run({"sox", "-n", "-r", "22050", "-c", "1", path.string(), "synth", std::to_string(seconds),
       "sine", "440", "vol", "0.5"});
  return path;
}

// How many of this process's threads are named `name`.
inline int threadsNamed(const std::string& name) {
  int count = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    count += readFile(task.path() / "comm") == name + "\n" ? 1 : 0;
  }
  return count;
}

// A program started in the background, ended (SIGTERM) when the object goes.
class Background {
 public:
  explicit Background(std::vector<std::string> argv) {
    std::vector<char*> args;
    for (auto& arg : argv) args.push_back(arg.data());
    args.push_back(nullptr);
    if (posix_spawnp(&pid_, args[0], nullptr, nullptr, args.data(), environ) != 0) pid_ = -1;
  }
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;
  ~Background() {
    if (pid_ > 0 && ::kill(pid_, SIGTERM) == 0) ::waitpid(pid_, nullptr, 0);
  }
  bool started() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
};

// The fake file manager and portal (FakeDesktopService.cpp) on this run's
// bus; its record starts empty.
class FakeService : public Background {
 public:
  explicit FakeService(std::vector<std::string> options = {})
      : Background(withRecord(std::move(options))) {}
  bool ready() const { return started() && waitForRecord("service", "ready"); }

 private:
  static std::vector<std::string> withRecord(std::vector<std::string> options) {
    const std::filesystem::path log = desktopRoot() / "records" / "service.log";
    std::filesystem::remove(log);
    options.insert(options.begin(), {MORNIK_FAKE_SERVICE, log.string()});
    return options;
  }
};

// A test that needs a service skips, saying why, only when it cannot run here.
#define MORNIK_NEED_BUS()                                              \
  if (::mornik::test::environment("DBUS_SESSION_BUS_ADDRESS").empty()) \
  GTEST_SKIP() << "no session bus: dbus-run-session (package dbus-daemon) is not installed"
#define MORNIK_NEED_DISPLAY()                         \
  if (::mornik::test::environment("DISPLAY").empty()) \
  GTEST_SKIP() << "no X display: Xvfb (package xvfb) is not installed"
#define MORNIK_NEED_PROGRAM(program)    \
  if (!::mornik::test::onPath(program)) \
  GTEST_SKIP() << program << " is not installed (see scripts/common.sh's test packages)"

// An environment variable changed for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;  // NOLINT(concurrency-mt-unsafe)
    set(value);
  }
  ~ScopedEnv() { set(old_ ? old_->c_str() : nullptr); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  void set(const char* value) {
    // NOLINTNEXTLINE(concurrency-mt-unsafe)
    value != nullptr ? ::setenv(name_, value, 1) : ::unsetenv(name_);
  }
  const char* name_;
  std::optional<std::string> old_;
};

}  // namespace mornik::test
