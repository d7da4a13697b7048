#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "mornik/base/Export.hpp"
#include "mornik/text/URL.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// A text file read line by line, one line ahead.
//
//   if (auto stream = mornik::FileStream::make(mornik::asURL("/var/log/app.log"))) {
//     while (auto line = stream->readLn()) count(*line);   // "first\n", "second\n", ...
//   }
//
// Each line keeps its own line feed (a CRLF line keeps "\r\n"); the last
// line of a file that does not end with a line feed comes without one. A
// line is cut at its first NUL byte. Lines of any length are read whole.
//
// Reading is forward only and buffered: the file is read in large blocks
// and lines are handed out as views into a buffer the stream owns and
// reuses, so a warm stream allocates nothing per line. The line after the
// one returned is already read when readLn() returns. The end of the file
// (or a read error) is final: every later readLn() answers absent, even if
// the file grows. A file that shrinks while it is read ends where the read
// finds the end.
//
// Thread safety: one stream is used by one thread at a time.
// Lifetime: the view from readLn() stays valid until the next readLn() or
// the stream's destruction. Destruction closes the file. Move-only.
class FileStream {
 public:
  // Opens the file for reading; nothing when it cannot be opened.
  static std::optional<FileStream> make(const URL& url);

  FileStream(FileStream&&) noexcept;
  FileStream& operator=(FileStream&&) noexcept;
  FileStream(const FileStream&) = delete;
  FileStream& operator=(const FileStream&) = delete;
  ~FileStream();

  const URL& url() const { return url_; }

  // The next line, or absent at the end of the file and on read errors.
  std::optional<std::string_view> readLn();

 private:
  struct State;
  FileStream(URL url, int fd);
  URL url_;
  std::unique_ptr<State> state_;
};

}  // namespace mornik

MORNIK_EXPORTS_END
