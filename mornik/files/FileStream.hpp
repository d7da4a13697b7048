#pragma once

#include <cstddef>
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
  std::optional<std::string_view> readLn() {
    // Inline for the common case: the line ahead holds no NUL and the line
    // after it is found already. One store: a stored pair reloaded at once
    // would stall the next call.
    Cursor& at = ahead_;
    if (at.next + 1 < at.count) {
      const std::size_t* line = at.ends + at.next;
      if (at.nul >= line[1]) {
        ++at.next;
        return std::string_view(at.data + line[0], line[1] - line[0]);
      }
    }
    return readLnSlowly();
  }

 private:
  // Where the stream stands in its block: the lines found so far are listed
  // in ends (line i is [ends[i], ends[i + 1]), i < count); line `next` is the
  // line ahead; the first NUL at or after it is at nul.
  struct Cursor {
    const char* data = nullptr;
    const std::size_t* ends = nullptr;
    std::size_t next = 0;
    std::size_t count = 0;
    std::size_t nul = 0;
  };
  struct State;
  FileStream(URL url, int fd);
  std::optional<std::string_view> readLnSlowly();
  URL url_;
  Cursor ahead_;
  std::unique_ptr<State> state_;
};

}  // namespace mornik

MORNIK_EXPORTS_END
