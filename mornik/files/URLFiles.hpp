#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"
#include "mornik/fileio/FileHandle.hpp"
#include "mornik/text/Date.hpp"
#include "mornik/text/URL.hpp"

MORNIK_EXPORTS_BEGIN

// File operations on URLs, temporary folders, and what the process may
// touch.
//
//   auto folder = mornik::tmp(mornik::TmpDir::systemUnique, "export");  // /tmp/export<UUID>/
//   auto saved = mornik::write(mornik::asURL("/tmp/a.txt"), "hello");    // atomic
//   auto text = mornik::readToString(mornik::asURL("/tmp/a.txt"));       // "hello"
//
// Errors are the system's, untouched (domain POSIX, code errno), unless a
// message is given. write(url, text) is atomic (fileio/AtomicFile.hpp);
// write(url, data) and append() write in place.
//
// Thread safety: stateless; every function may be called from any thread.

namespace mornik {

using Data = std::vector<std::uint8_t>;

// Where a temporary folder goes (see tmp()).
enum class TmpDir {
  userRoot,      // tempDir() + prefix
  userUnique,    // tempDir() + prefix + a fresh UUID
  systemRoot,    // "/tmp/" + prefix
  systemUnique,  // "/tmp/" + prefix + a fresh UUID
};

// The process's temporary folder ($TMPDIR, else /tmp) as a folder URL.
URL tempDir();
// The folder URL of the table above; always succeeds and creates nothing.
Result<URL> tmp(TmpDir kind, const std::string& prefix);
// tempDir() + a fresh UUID, created.
Result<URL> randomTempDirectory();

// Whether the process may read (write) the item: access(R_OK) (W_OK).
bool isSandboxAccessible(const URL& url);
bool isSandboxAccessibleWrite(const URL& url);
bool isSandboxAccessibleLegacy(const URL& url);
bool isSandboxAccessibleWriteLegacy(const URL& url);

// Whether an item (not a dangling link) is at the path.
bool exists(const URL& url);
bool exist(const URL& url);
bool existAt(const std::string& path);
// Whether a folder is at the path.
bool isDirectory(const URL& url);
bool isDirExist(const URL& url);
// Whether the item can be reached (its status can be read) and exists.
bool isFileExists(const URL& url);

// Creates the folder with its parents.
Result<URL> mkdir(const URL& url);
// Succeeds at once when the folder exists, else mkdir().
Result<URL> makeSureDirExists(const URL& url);
// makeSureDirExists() of url/name.
Result<URL> createSubDir(const URL& url, const std::string& name);
// Create the folder at the path: "Dir already exist: <path>" when something
// is there, "Can't create dir at path : <path>. \nError: <text>" on a
// creation error (code 0).
Result<URL> createDir(const std::string& path);
Result<URL> mkDir(const std::string& path);

// The user's home folder from the user database (not $HOME); when the
// database has no entry, $HOME, else "/".
URL userHome();
std::string userHomePath();

// The file's text (files/File.hpp's encoding detection) or bytes.
Result<std::string> readToString(const URL& url);
Result<Data> readToData(const URL& url);
// Replaces the file's content with the text, atomically.
Result<URL> write(const URL& url, std::string_view contents);
// Replaces the file's content with the bytes, in place (truncate, write).
Result<URL> write(const URL& url, const Data& data);
// Adds the text's bytes at the end of an existing file (no line feed added).
Result<void> append(const URL& url, std::string_view contents);
// An open handle on the file, for reading and writing.
Result<FileHandle> fileHande(const URL& url);  // NOLINT(readability-identifier-naming)

// Renames (across file systems, copies then removes); fails when the
// destination exists.
Result<void> moveFile(const URL& url, const URL& destination);
// Fails with "copy URL source doesn't exists" (code 0) when nothing is at
// the source, touching nothing; with `replace` removes the destination
// first (ignoring the outcome); then copies.
Result<void> copy(const URL& url, const URL& destination, bool replace);
// Removes the item; a missing item is no failure.
Result<void> rm(const URL& url);

// The names of the folder's direct children, hidden ones included.
Result<std::vector<std::string>> files(const URL& url);
// The names whose extension (after the last ".") is one of `extensions`; a
// dot name such as ".md" has no extension, as on the desktop.
Result<std::vector<std::string>> files(const URL& url, const std::set<std::string>& extensions);
// The folder's direct sub-folders (hidden ones left out); empty on errors.
std::vector<URL> getSubDirectories(const URL& url);
// True when the folder lists at least one child; false also when it cannot
// be listed.
bool isDirContainsFiles(const URL& url);
bool isEmptyDirectory(const URL& url);

// The item's size in bytes, 0 when it cannot be read.
std::uint64_t fileSize(const URL& url);
std::uint64_t fileSizeAt(const std::string& path);

// What the file system records of an item (a link itself, not followed).
struct FileAttributes {
  enum class Type { regular, directory, symbolicLink, other };
  Type type = Type::other;
  std::uint64_t size = 0;
  unsigned permissions = 0;  // the mode's permission bits
  std::uint32_t ownerID = 0;
  std::uint32_t groupID = 0;
  Date modificationDate;
  std::optional<Date> creationDate;  // where the file system records it
};
// Absent when they cannot be read; then "FileAttribute error: <text>" is
// printed to standard output.
std::optional<FileAttributes> attributes(const URL& url);
// The space the item takes on disk (a folder: with everything in it) as the
// byte-count formatter writes it, and " on disk" ("12 KB on disk").
std::string sizeOnDisk(const URL& url);

// The path with the user's home folder written "~" ("~/notes.txt").
std::string pathAbbreviatingHomeWithTilde(const URL& url);
// The path with the user's home folder for a leading "~" ("~", "~/notes");
// the relative reference URL::parse("~/notes") gives such a path. Any other
// "~" is a name: "/tmp/~" is a folder of that name, and "~name" is left as
// it is rather than guessed to be another user's home.
std::string pathExpandingHomeWithTilde(const URL& url);
// The last path component as it is shown: bytes that are not UTF-8 shown
// as U+FFFD.
std::string lastPathComponentOSLocalized(const URL& url);
// The authority part of the URL's text ("example.org" of
// "https://example.org/x"); "" when there is none.
Result<std::string> urlHost(const URL& url);
// "mailto:<email>?subject=<subject>&body=<body>", the query percent-encoded
// as a whole; "mailto:<email>" when that does not make a URL; absent when
// neither does.
std::optional<URL> generageEmailUrl(const std::string& email, const std::string& subject,
                                    const std::string& body);

// Orders URLs by their paths.
bool operator<(const URL& a, const URL& b);

}  // namespace mornik

MORNIK_EXPORTS_END
