#pragma once

#include <atomic>
#include <string>
#include <string_view>
#include <vector>

#include "mornik/base/Describe.hpp"
#include "mornik/base/Export.hpp"
#include "mornik/base/Output.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// The debug printers: developer-only lines the library and its users scatter
// through code (a stopwatch's reading, a blocking runner's warning). They are
// silent by default and cost one relaxed load then; a debug build or a test
// that wants to see them installs a sink:
//
//   mornik::setDebugSink([](std::string_view text) { std::fputs(...); });
//   ...
//   mornik::setDebugSink(nullptr);  // silent again
//
// The sink receives the whole text, terminator included, and is called from
// whichever thread prints. Thread safety: as setOutputSink(); a text goes to
// the old sink or to the new one, and a sink must not replace itself.
void setDebugSink(OutputSink sink);

struct DebugPrintOptions {
  std::string separator = " ";
  std::string terminator = "\n";
  // Prefix the text with the calling thread's debug name.
  bool displayDetails = false;
};

// Frames printDbgAdv leaves out of a stack it shows: by default 34 fragments
// of names of the C++ runtime's, glibc's and this library's own frames. Set
// it at start-up, before other threads print.
extern std::vector<std::string> printDbgExcludeFuncNames;

namespace detail {

extern std::atomic<bool> debugSinkInstalled;
void emitDebug(std::string text, bool displayDetails);

template <class... Items>
std::string joinDebugItems(std::string_view separator, const Items&... items) {
  std::string text;
  bool first = true;
  ((text += first ? std::string_view() : separator, first = false, text += describe(items)), ...);
  return text;
}

}  // namespace detail

// Prints the items' described forms joined by a space, then a line feed.
template <class... Items>
void printDbg(const Items&... items) {
  if (!detail::debugSinkInstalled.load(std::memory_order_relaxed)) return;
  detail::emitDebug(detail::joinDebugItems(" ", items...) + "\n", false);
}

// printDbg with a separator, a terminator and the thread's name of choice.
template <class... Items>
void printDbgWith(const DebugPrintOptions& options, const Items&... items) {
  if (!detail::debugSinkInstalled.load(std::memory_order_relaxed)) return;
  detail::emitDebug(detail::joinDebugItems(options.separator, items...) + options.terminator,
                    options.displayDetails);
}

// The items as printDbg prints them; stacks are not shown by this library,
// so it differs from printDbg only in name, kept for callers that use both.
template <class... Items>
void printDbgAdv(const Items&... items) {
  printDbg(items...);
}

}  // namespace mornik

MORNIK_EXPORTS_END
