#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "mornik/base/Export.hpp"
#include "mornik/fileio/FileHandle.hpp"
#include "mornik/files/File.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// A chunked reader or writer over a file handle, with a delimiter, for
// showing progress through a large file.
//
//   mornik::FileOld reader(mornik::asURL("/data/big.csv"));
//   while (auto line = reader.readln()) show(reader.progress());
//
// Reads 4096 bytes at a time and drops returned lines from the front of its
// buffer, so memory stays bounded by the longest line. Lines are returned
// without the delimiter; a line that is not valid UTF-8 is absent (and ends
// nothing: reading goes on). A UTF-8 byte-order mark at the very start of
// the file is not part of the first line; a U+FEFF anywhere else is text. Operations on an object
// whose file could not be opened do nothing: write() still returns the byte count, readln() answers
// absent, progress() 0. progress() is 0 while size() is 0.
//
// Thread safety: one object is used from one thread at a time. Move-only.
class FileOld {
 public:
  // Opens `url` for reading and measures its size.
  explicit FileOld(const URL& url);
  // Replaces whatever is at `path` by an empty file opened for writing.
  struct ForWriting {};
  FileOld(ForWriting /*unused*/, const std::string& path);

  bool inited() const { return file_.has_value(); }
  bool notInited() const { return !inited(); }

  TextEncoding encoding = TextEncoding::utf8;
  std::string delimiter = "\n";
  std::size_t chunkSize = 4096;

  // Writes the text's bytes (no delimiter added); their count.
  std::size_t write(std::string_view text);
  // The next line without its delimiter, or absent.
  std::optional<std::string> readln();
  // Asks the system to put the file's data on disk (fsync).
  void flush();
  std::uint64_t size() const { return bytes_; }
  // The handle's offset divided by size().
  float progress() const;

 private:
  std::optional<FileHandle> file_;
  // Drops a byte-order mark at the start of the file, once enough bytes are
  // buffered to tell whether one is there.
  void dropLeadingMark();

  std::string buffer_;
  bool markSettled_ = false;
  bool atEof_ = false;
  std::uint64_t bytes_ = 0;
};

}  // namespace mornik

MORNIK_EXPORTS_END
