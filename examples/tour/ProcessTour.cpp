#include <string>
#include <vector>

#include "mornik/concurrency/RunLoop.hpp"
#include "mornik/process/AuxShell.hpp"
#include "mornik/process/Shell.hpp"

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
}

}  // namespace tour
