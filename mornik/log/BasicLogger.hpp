#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "mornik/base/Error.hpp"
#include "mornik/base/Export.hpp"
#include "mornik/text/URL.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// When the log file is set aside for a fresh one. Off by default.
//
// A file set aside keeps the day it was started in its name, beside the
// log file: "LogFile.txt" becomes "LogFile-2026-12-07-001.txt" (then -002,
// ... for more of the same day); of those, the `keep` most recent stay and
// older ones are deleted.
struct LogRotation {
  // Set the file aside before a line would take it past this size; 0: never.
  std::uint64_t maxBytes = 0;
  // Set the file aside at the first line of a new (local) day.
  bool daily = false;
  // How many files set aside are kept (at least 1).
  int keep = 7;

  friend bool operator==(const LogRotation&, const LogRotation&) = default;
};

// The process-wide logger: each line goes to the system journal and, when
// asked, to a plain-text log file with a time stamp.
//
//   mornik::BasicLogger::setWriteLogToFile(true);
//   mornik::BasicLogger::log("Net", "connected to " + host);
//   mornik::BasicLogger::log("Net", error, /*thread=*/true);
//
// Lines. A message line is "[<title>]: <msg>"; with `thread`, a blank,
// U+100194 and Thread::dbgName() follow. An error line is "[<title> ERROR]
// <description>", or with `thread` a line feed, then "[<title> ERROR]
// (<thread name>) <description>". An error line is framed by separators of
// 56 "#" on standard output (printLine(), so an output sink sees them) and
// in the file.
//
// Filters. While logFilters() is not empty, only lines whose title equals
// one of its entries (exactly, case included) are logged; onError still
// hears every error, filtered or not, before the filter applies.
//
// The journal (JournalSink::shared(); the desktop library's sends to
// systemd-journald) gets MESSAGE (the line), PRIORITY, SYSLOG_IDENTIFIER
// (AppIdentity::identifier()), MORNIK_TITLE, THREAD (Thread::dbgName()) and,
// for AppLogger::logAdvanced, CODE_FILE, CODE_LINE and CODE_FUNC. Message
// lines have priority 5 (notice); error lines have priority 3 (error)
// rather than the message lines' level, so that the journal can pick them
// out. Text that is not valid UTF-8 reaches the journal with each bad byte
// replaced by U+FFFD, and the file unchanged. Without a journal the lines go
// nowhere and the file works as ever.
//
// The file (only while writeLogToFile() is true; until then nothing touches
// the disk) is logFileUrl(), created with its folder when missing and then
// starting with an empty line. Each line is "<timestamp()> <line>" and a line
// feed. The file stays open for appending (O_APPEND), and each line, or an
// error's separator, line and separator, is written with one write(): a line
// whose log() has returned is in the file even if the process is killed
// the next moment, and lines of several threads or processes sharing the
// file never mix within a line. A file moved or deleted while open is
// noticed within milliseconds (the descriptor watcher's thread watches it)
// and the next line starts a new one at logFileUrl(); lines logged in that
// short while go to the old file. A logFileUrl() that is a folder, a FIFO or
// anything but a regular file is not written. Failures (a folder that cannot
// be made, no permission, a full disk) are swallowed: logging never fails.
//
// Thread safety: every member may be called from any thread, the setters
// too; a line logged while a setting changes sees the old or the new value.
// onError is called on the logging thread, outside the logger's locks, and
// may log.
class BasicLogger {
 public:
  BasicLogger() = delete;

  using ErrorHandler = std::function<void(std::string_view title, const Error& error)>;

  // Logs "[<title>]: <msg>".
  static void log(std::string_view title, std::string_view msg, bool thread = false);
  // Logs an error line (see above) after handing the error to onError.
  static void log(std::string_view title, const Error& error, bool thread = false);

  static std::vector<std::string> logFilters();
  static void setLogFilters(std::vector<std::string> titles);

  // Called with every error logged; empty: none (the start).
  static void setOnError(ErrorHandler handler);

  static bool writeLogToFile();
  static void setWriteLogToFile(bool write);

  // The log file: by default "LogFile.txt" in the user's home folder as the
  // user database records it (getpwuid_r), else in $HOME, else in /tmp.
  static URL logFileUrl();
  // Later lines go to `url` (a file URL).
  static void setLogFileUrl(const URL& url);

  static LogRotation rotation();
  static void setRotation(const LogRotation& rotation);

  // The current local time as "HH:mm:ss.SSS".
  static std::string timestamp();

  // The clock of time stamps and daily rotation; null: the system clock.
  // For tests that move through days.
  using Clock = std::chrono::system_clock::time_point (*)();
  static void setClock(Clock clock);
};

namespace detail {

// Where a line was logged from (AppLogger::logAdvanced).
struct LogSource {
  std::string_view file;
  int line = 0;
  std::string_view function;
};

// Logs a message line; with `source`, the journal also gets the CODE_ fields.
void logMessage(std::string_view title, std::string_view msg, bool thread, const LogSource* source);

}  // namespace detail

}  // namespace mornik

MORNIK_EXPORTS_END
