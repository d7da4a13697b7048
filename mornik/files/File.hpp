#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"
#include "mornik/text/URL.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// The text encodings files are written in.
enum class TextEncoding { utf8 };

// A whole text file: read, written and appended to line by line.
//
//   mornik::File notes(mornik::asURL("/home/me/notes.txt"));
//   notes.setContentR("first").onFailure(report);   // the file holds "first\n"
//   notes.appendR("second");                        // "first\nsecond\n"
//   notes.getContent();                             // "first\nsecond"
//
// The newline rule: every text written ends with exactly one line feed (one
// is added unless the text already ends with one; an empty text becomes a
// single line feed), and a read removes one trailing line feed, so a read
// returns what was written. Whole-file writes are atomic (fileio/AtomicFile.hpp):
// readers see the old or the new content. Texts are written as their bytes
// (UTF-8 in, UTF-8 out; bytes that are not UTF-8 are written as they are).
//
// Reading detects the encoding: a UTF-8 byte-order mark is dropped, a
// UTF-16 one (either byte order) is decoded, text that is valid UTF-8 is
// taken as is, anything else is decoded as ISO-8859-1.
//
// Errors: the system's, untouched (fileio/AtomicFile.hpp's and FileHandle's).
//
// Thread safety: one object is used from one thread at a time; distinct
// objects may be used from any thread.
class File {
 public:
  explicit File(URL url) : url_(std::move(url)) {}
  const URL& url() const { return url_; }
  TextEncoding encoding = TextEncoding::utf8;

  bool exists() const;
  // The whole text, one trailing line feed removed; absent when the file
  // cannot be read.
  std::optional<std::string> getContent() const;
  // Writes the text atomically (creating missing folders); throws the Error.
  void setContent(std::string_view text) const;
  Result<void> setContentR(std::string_view text) const;
  // Appends the text and a line feed unless it ends with one. Does nothing
  // when the file is missing or cannot be opened.
  void append(std::string_view text) const;
  // The same, but a missing file is first created holding a single line
  // feed (so it starts with an empty line), and failures are returned.
  Result<void> appendR(std::string_view text) const;
  // Removes the file if it exists; errors are ignored.
  void remove() const;

 private:
  URL url_;
};

// The text of bytes as File reads it (see the encoding rule above).
std::string decodeText(std::string bytes);

}  // namespace mornik

MORNIK_EXPORTS_END
