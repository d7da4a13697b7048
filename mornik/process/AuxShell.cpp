#include "mornik/process/AuxShell.hpp"

#include <algorithm>
#include <functional>
#include <string_view>

#include "mornik/base/Error.hpp"
#include "mornik/log/Debug.hpp"
#include "mornik/process/detail/Chunks.hpp"

namespace mornik::Aux {

namespace {

std::size_t totalSize(const std::vector<std::string>& chunks) {
  std::size_t size = 0;
  for (const std::string& chunk : chunks) size += chunk.size();
  return size;
}

// The valid chunks, each trimmed, with nothing between them.
std::string joinTrimmed(const std::vector<std::string>& chunks) {
  std::string text;
  text.reserve(totalSize(chunks));
  for (const std::string& chunk : chunks) {
    if (detail::isUTF8Chunk(chunk)) text += detail::trimBlanksAndTabs(chunk);
  }
  return text;
}

// Whether the chunk mentions a failing xcrun, which is not reported. (A
// skipping search: error output can be megabytes of one repeated byte.)
bool isXcrunError(std::string_view chunk) {
  static constexpr std::string_view kMark = "xcrun: error";
  static const std::boyer_moore_horspool_searcher kSearcher(kMark.begin(), kMark.end());
  return std::search(chunk.begin(), chunk.end(), kSearcher) != chunk.end();
}

}  // namespace

Result<ChildProcess::Pointer> Shell::run(const std::vector<std::string>& args,
                                         bool waitUntilExit) const {
  if (waitUntilExit) return ChildProcess::runToEnd(cmd_, args, workDir_.path());
  return ChildProcess::spawn(cmd_, args, workDir_.path(), ChildProcess::Output::capture);
}

Result<std::string> Shell::run2(const std::vector<std::string>& args) const {
  return run(args, true).flatMap([](const ChildProcess::Pointer& child) {
    return outputAsString(*child);
  });
}

Result<std::string> Shell::run3(const std::vector<std::string>& args) const {
  auto child = run(args, true);
  if (child.isFailure()) return child.error();
  const ExitStatus status = child.value()->waitUntilExit();
  const CapturedOutput& captured = child.value()->capturedOutput();
  std::string output;
  output.reserve(totalSize(captured.output));
  for (const std::string& chunk : captured.output) {
    if (detail::isUTF8Chunk(chunk)) output += chunk;
  }
  std::string errors;
  bool anyError = false;
  for (const std::string& chunk : captured.error) {
    if (!detail::isUTF8Chunk(chunk) || isXcrunError(chunk)) continue;
    if (anyError) errors += "\n\n";
    errors += chunk;
    anyError = true;
  }
  if (status.terminationStatus() != 0 && anyError) return WTF(std::move(errors), 0);
  if (anyError) printDbg("Warning: " + errors + " ");
  return output;
}

Result<std::string> outputAsString(const ChildProcess& process) {
  process.waitUntilExit();
  const CapturedOutput& captured = process.capturedOutput();
  std::string errors = joinTrimmed(captured.error);
  if (!errors.empty()) return WTF(std::move(errors), 0);
  return joinTrimmed(captured.output);
}

}  // namespace mornik::Aux
