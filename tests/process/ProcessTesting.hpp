#pragma once

#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <sys/types.h>

#include "mornik/base/Output.hpp"

// Helpers of the process tests (tests/process and tests/platform).
namespace mornik::test {

// The test helper program (tests/support/ChildMain.cpp); its "chunks" mode
// writes output the tests control chunk by chunk.
inline const std::string kProcessChild = MORNIK_TEST_CHILD;

// How many processes of the group are alive (zombies do not count).
inline int liveMembers(pid_t group) {
  int live = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::string stat;
    std::getline(std::ifstream(entry.path() / "stat"), stat);
    std::istringstream fields(stat.substr(std::min(stat.size(), stat.rfind(')') + 2)));
    char state = 0;
    long parent = 0;
    long pgrp = 0;
    if (fields >> state >> parent >> pgrp && pgrp == group && state != 'Z') ++live;
  }
  return live;
}

// Whether the process exists, as a zombie too.
inline bool exists(pid_t pid) { return std::filesystem::exists("/proc/" + std::to_string(pid)); }

// Collects the lines printed through mornik::printLine while it lives.
class PrintedLines {
 public:
  PrintedLines() {
    setOutputSink([this](std::string_view line) {
      std::lock_guard guard(lock_);
      lines_.emplace_back(line);
    });
  }
  ~PrintedLines() { setOutputSink(nullptr); }
  std::vector<std::string> lines() {
    std::lock_guard guard(lock_);
    return lines_;
  }

 private:
  std::mutex lock_;
  std::vector<std::string> lines_;
};

}  // namespace mornik::test
