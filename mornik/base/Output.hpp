#pragma once

#include <functional>
#include <string_view>

#include "mornik/base/Export.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// Where the lines the library prints go: a Result's dump(), the messages a
// codec or a document prints on failure, and every other text the library
// writes for a developer to read. By default each line goes to standard
// output, followed by a line feed, and the stream is flushed. An application
// that keeps standard output for its own use, or logs elsewhere, installs a
// sink once at start-up:
//
//   mornik::setOutputSink([](std::string_view line) { myLog.info(line); });
//   ...
//   mornik::setOutputSink(nullptr);  // back to standard output
//
// Thread safety: printLine() may be called from any thread, also while
// another thread replaces the sink; a line goes either to the old sink or to
// the new one. A sink is called from whichever thread prints, possibly from
// several at once, and must not call setOutputSink() itself.
using OutputSink = std::function<void(std::string_view line)>;

// Installs `sink` for every later line; an empty sink restores standard output.
void setOutputSink(OutputSink sink);

// Hands one line (without its line feed) to the current sink.
void printLine(std::string_view line);

}  // namespace mornik

MORNIK_EXPORTS_END
