#pragma once

#include <string>
#include <vector>

#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"
#include "mornik/reactor/ChildProcess.hpp"
#include "mornik/text/URL.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::Aux {

// Runs an executable to completion, blocking the calling thread, and hands
// back its standard output as one string, or its error output as an error.
//
//   Aux::Shell git("/usr/bin/git", asURLdir("/home/me/src"));
//   Result<std::string> branch = git.run2({"branch", "--show-current"});
//
// Every entry point starts `cmd` by path with argv = cmd, then `args` (no
// shell, no word splitting; blanks, quotes and line breaks reach the child
// unchanged) in workDir, with standard input and the environment inherited
// (ChildProcess::spawn). Both output streams are read concurrently from the
// start, so no pattern of output can hang a run, and once the child has
// ended what is left in its pipes is read and the run returns, also when
// processes the child started still hold the pipes.
//
// Chunks: each read of a stream (up to 64 KiB, whatever the child had
// written by then) is one chunk; where the entry points trim, they trim each
// chunk, so blanks at chunk borders go. Chunks that are not valid UTF-8 on
// their own are dropped.
//
// A child that cannot be started makes run() and every runner fail with the
// error of ChildProcess::spawn, which names the path and the system's reason
// ("cannot start /no/such/tool: No such file or directory").
//
// Blocking: the runners must not be called where the caller keeps the child
// from ending. A run that waits reads the output on the calling thread
// (ChildProcess::runToEnd) and depends on no dispatch queue; one that does
// not is read on a serial queue of the child's own (ChildProcess::spawn).
// Thread safety: an immutable value; any number of runs may go on at once.
class Shell {
 public:
  Shell(std::string cmd, URL workDir) : cmd_(std::move(cmd)), workDir_(std::move(workDir)) {}

  const std::string& cmd() const noexcept { return cmd_; }
  const URL& workDir() const noexcept { return workDir_; }

  // Starts the child, and with `waitUntilExit` waits until it has ended;
  // outputAsString() then reads what it wrote.
  Result<ChildProcess::Pointer> run(const std::vector<std::string>& args, bool waitUntilExit) const;

  // run(args, true), then outputAsString(): the trimmed standard output, or a
  // failure made with WTF from the trimmed error output when there is any,
  // whatever the exit status.
  Result<std::string> run2(const std::vector<std::string>& args = {}) const;

  // Runs the child to its end: the standard output's chunks unchanged, joined.
  // Error chunks containing "xcrun: error" are dropped; when the exit status
  // is not 0 and error chunks remain, fails with WTF of those chunks joined
  // by two line feeds (code 0). Otherwise succeeds, and remaining error
  // chunks go to the debug printer (printDbg) as "Warning: " + the chunks
  // joined by two line feeds + " ".
  Result<std::string> run3(const std::vector<std::string>& args = {}) const;

 private:
  std::string cmd_;
  URL workDir_;
};

// Waits until a child started by Shell::run has ended, then joins the
// chunks of its standard output, each trimmed of blanks and tabs at both
// ends (line breaks stay), with nothing between them. Fails with a WTF error
// (code 0) made the same way from its error output, when that is not empty.
// A child whose pipes the caller took (ChildProcess::Output::pipes) has
// nothing to read here: success with "".
Result<std::string> outputAsString(const ChildProcess& process);

}  // namespace mornik::Aux

MORNIK_EXPORTS_END
