#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "mornik/base/Output.hpp"
#include "mornik/platform/DesktopAdapters.hpp"
#include "mornik/text/URL.hpp"

#include "tests/support/ResultMatchers.hpp"
#include "tests/support/TempDir.hpp"

// What the file tests share: file URLs and the lines the library prints
// (whole-file reads and writes: tests/support/TempDir.hpp).
namespace mornik::test {

// The trash and the file information are the desktop's.
inline const bool kDesktopAdapters = (useDesktopAdapters(), true);

inline URL url(const std::filesystem::path& path) { return URL::fileURL(path.string()); }
inline URL dirUrl(const std::filesystem::path& path) { return URL::fileURL(path.string(), true); }

// Collects the lines the library prints while it lives.
class CapturedOutput {
 public:
  CapturedOutput() {
    setOutputSink([this](std::string_view line) { lines_.emplace_back(line); });
  }
  ~CapturedOutput() { setOutputSink(nullptr); }
  CapturedOutput(const CapturedOutput&) = delete;
  CapturedOutput& operator=(const CapturedOutput&) = delete;
  const std::vector<std::string>& lines() const { return lines_; }

 private:
  std::vector<std::string> lines_;
};

}  // namespace mornik::test
