#pragma once

#include <concepts>
#include <string>
#include <string_view>

#include "mornik/base/Error.hpp"
#include "mornik/base/Export.hpp"
#include "mornik/log/BasicLogger.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// Logging under a type's own name, through BasicLogger: a type derives from
// AppLogger and its lines are titled with its (dynamic, unqualified) type
// name.
//
//   class Downloader : public mornik::AppLogger { ... };
//   downloader.log("started");                  // [Downloader]: started
//   downloader.log(error);                      // [Downloader ERROR] ...
//   MORNIK_LOG_ADVANCED(downloader, "retrying");
//   // [Downloader]: file:Downloader.cpp|line:42|func:fetch|Msg: retrying
//
// A type that derives from LoggerID instead adds its loggerId() to the title
// of logAdvanced and error lines: "Downloader+eu-1".
//
// Thread safety: as BasicLogger; loggerId() is called on the logging thread.
class AppLogger {
 public:
  virtual ~AppLogger() = default;

  // Logs `msg` titled with the type's name.
  void log(std::string_view msg) const { log(msg, false); }
  // The same; with `thread`, the thread's name follows. (A template so that
  // log("title", "msg") is never taken for this one.)
  template <std::same_as<bool> Bool>
  void log(std::string_view msg, Bool thread) const {
    BasicLogger::log(typeTitle(), msg, thread);
  }
  // BasicLogger::log(title, msg, thread).
  void log(std::string_view title, std::string_view msg, bool thread = false) const {
    BasicLogger::log(title, msg, thread);
  }
  // Logs an error titled with idTitle().
  void log(const Error& error, bool thread = false) const;

  // Logs "file:<fileName>|line:<lineNumber>|func:<functionName>|Msg: <msg>"
  // titled with idTitle(); the journal also gets the position as its
  // CODE_FILE, CODE_LINE and CODE_FUNC fields. MORNIK_LOG_ADVANCED fills in
  // the caller's position.
  void logAdvanced(std::string_view msg, bool thread, std::string_view fileName, int lineNumber,
                   std::string_view functionName) const;

  // The dynamic type's unqualified name.
  std::string typeTitle() const;
  // typeTitle(), then "+" and loggerId() for a LoggerID.
  std::string idTitle() const;

 protected:
  AppLogger() = default;
  AppLogger(const AppLogger&) = default;
  AppLogger& operator=(const AppLogger&) = default;
};

// An AppLogger whose instances name themselves in their lines.
class LoggerID : public AppLogger {
 public:
  virtual std::string loggerId() const = 0;
};

}  // namespace mornik

// logger.logAdvanced(msg, false, <this file>, <this line>, <this function>).
#define MORNIK_LOG_ADVANCED(logger, msg) \
  (logger).logAdvanced((msg), false, __FILE__, __LINE__, static_cast<const char*>(__func__))

MORNIK_EXPORTS_END
