#include <string>
#include <vector>

#include "mornik/concurrency/RunLoop.hpp"
#include "mornik/process/AuxShell.hpp"
#include "mornik/process/Shell.hpp"
#include "mornik/reactor/ChildProcess.hpp"

#include "tour/Tour.hpp"

namespace tour {

void processes() {
  heading("Child processes");

  // A streamed child: each chunk it writes is folded into `tail` (the last
  // two chunks, refreshed on the main queue at most every 3 seconds), and
  // each stream's end completes a future. Chunks of standard output are
  // echoed as debug lines (thread name, then the chunk's end).
  auto build = mornik::Flow::Shell::make("/bin/sh", mornik::asURLdir("/tmp"));
  int refreshes = 0;
  auto subscription = build->objectWillChange().subscribe([&] { ++refreshes; });
  say("a child that compiles, warns and links:");
  build->run(
      {"-c", "echo compiling; sleep 0.2; echo 'unused variable' >&2; sleep 0.2; echo linked"});
  mornik::RunLoop::main().runUntil(
      [&] { return build->tail.get().size() == 2 && build->stdEOF()->maybeSuccess(); }, 10.0);
  for (const auto& chunk : build->tail.get()) {
    std::string text = chunk.text();
    if (!text.empty() && text.back() == '\n') text.pop_back();
    say(std::string("tail ") + (chunk.isErr() ? "err: " : "std: ") + text);
  }
  say("notifications so far: " + std::to_string(refreshes));

  // A blocking run that returns the trimmed output, or the error output as an error.
  const mornik::Aux::Shell uname("/bin/uname", mornik::asURLdir("/"));
  std::string system = uname.run2({"-s"}).value();
  if (!system.empty() && system.back() == '\n') system.pop_back();
  say("uname -s: " + system);
  const auto missing = mornik::Aux::Shell("/no/such/tool", mornik::asURLdir("/")).run2();
  say("a missing program: " + missing.error().localizedDescription());

  // The library's one launcher: found on PATH, given its input, held to a
  // time limit (then SIGTERM to its group, SIGKILL a second later).
  mornik::ChildProcess::Options options;
  options.searchPath = true;
  options.input = mornik::ChildProcess::Input::bytes;
  options.inputBytes = "banana\napple\n";
  const auto sorted = mornik::ChildProcess::runToEnd("sort", {}, options);
  std::string first = sorted.value()->capturedOutput().output.at(0);
  say("sort, fed two lines: " + first.substr(0, first.find('\n')) + " first");
  options.input = mornik::ChildProcess::Input::null;
  options.timeLimit = 0.2;
  const auto slow = mornik::ChildProcess::runToEnd("sleep", {"5"}, options);
  const mornik::ExitStatus status = slow.value()->waitUntilExit();
  say(std::string("sleep 5 with a 0.2 s limit: ") +
      (status.timedOut ? "stopped at its limit by signal " + std::to_string(status.signal)
                       : "ran to its end"));
}

}  // namespace tour
