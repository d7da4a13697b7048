#include "mornik/platform/detail/Tools.hpp"

#include <cmath>

#include "mornik/base/Error.hpp"
#include "mornik/reactor/ChildProcess.hpp"

namespace mornik::detail {

namespace {

ChildProcess::Options toolOptions() {
  ChildProcess::Options options;
  options.searchPath = true;
  return options;
}

}  // namespace

Result<ChildOutput> runChild(const std::vector<std::string>& argv, std::string_view input,
                             double timeoutSeconds) {
  if (argv.empty()) return WTF("no program to start", 0);
  ChildProcess::Options options = toolOptions();
  options.input = ChildProcess::Input::bytes;
  options.inputBytes = input;
  options.discardErrors = true;
  options.timeLimit = timeoutSeconds;
  auto ran = ChildProcess::runToEnd(argv.front(), {argv.begin() + 1, argv.end()}, options);
  if (ran.isFailure()) return ran.error();
  const ExitStatus status = ran.value()->waitUntilExit();
  if (status.timedOut) {
    return WTF(argv.front() + " did not finish within " +
                   std::to_string(static_cast<long>(std::ceil(timeoutSeconds))) + " s",
               0);
  }
  ChildOutput result;
  if (status.known) result.exitCode = status.signal != 0 ? -status.signal : status.code;
  for (const std::string& chunk : ran.value()->capturedOutput().output) result.output += chunk;
  return result;
}

Result<void> startDetached(const std::vector<std::string>& argv,
                           const std::filesystem::path& folder) {
  if (argv.empty()) return WTF("no program to start", 0);
  ChildProcess::Options options = toolOptions();
  options.workDir = folder.string();
  options.output = ChildProcess::Output::inherit;
  options.input = ChildProcess::Input::null;
  auto started = ChildProcess::spawn(argv.front(), {argv.begin() + 1, argv.end()}, options);
  if (started.isFailure()) return started.error();
  return {};
}

std::optional<std::filesystem::path> findProgram(std::string_view program) {
  auto found = ChildProcess::findProgram(program);
  if (!found) return std::nullopt;
  return std::filesystem::path(*found);
}

}  // namespace mornik::detail
