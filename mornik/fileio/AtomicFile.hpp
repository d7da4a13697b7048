#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string_view>

#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"

MORNIK_EXPORTS_BEGIN

// Replacing a file's whole content so that nobody ever sees it half-written.
//
//   auto saved = mornik::writeAtomically("/home/me/.config/app/settings.json", text);
//   if (saved.isFailure()) show(saved.error().localizedDescription());
//   // "can't write /home/me/.config/app/settings.json: the disk is full"
//
// Every writer of the library that replaces a file goes through this one
// function. The protocol:
//   1. open the target's folder;
//   2. create a temporary file in that folder (an unnamed O_TMPFILE file where
//      the file system supports it, else ".<name>.<random>.tmp"), with the
//      target's permission bits and owner when the target exists;
//   3. write all bytes, then fsync the temporary file;
//   4. give the unnamed file a temporary name, rename it over the target
//      (atomic within one file system), then fsync the folder so that the
//      rename itself survives a power cut.
// Readers see the old or the new complete content, never a mix. A process
// killed at any point leaves the target with its old or its new content; a
// kill between steps 4's naming and its rename (or anywhere while the named
// fallback is in use) can leave a ".<name>.<random>.tmp" file beside it. On
// any failure the temporary file is removed and the target is untouched.
//
// A target that is a symbolic link is written through: the file at the end
// of the chain of links is replaced (or created, for a link to nothing), the
// links stay. Concurrent writers of one target each complete a whole
// replacement; the last rename wins.
//
// A new file gets newFilePermissions & 0666 less the umask: never an
// execute bit. Past RLIMIT_FSIZE the write fails with EFBIG and the target
// keeps its old content: SIGXFSZ is held back from the writing thread for
// the length of the call, so it does not end the process.
//
// Thread safety: may be called from any thread.
// Errors: domain POSIX, code = the errno of the failed step, description
// "can't write <path>: <reason>", where reason is
//   "the folder <folder> does not exist"           ENOENT, ENOTDIR (the folder)
//   "no permission to write in the folder <folder>" EACCES, EPERM
//   "the file system of <folder> is read-only"     EROFS
//   "the disk is full"                             ENOSPC, EDQUOT
//   "the file would exceed the size limit"         EFBIG (RLIMIT_FSIZE)
//   "it is a folder"                               EISDIR (or a path ending in '/')
//   otherwise the system's text for errno, for example
//   "Too many levels of symbolic links"            ELOOP (a chain of links that loops)

namespace mornik {

struct AtomicWriteOptions {
  // Permission bits of a file that does not exist yet; only the read and
  // write bits count (& 0666) and the process umask applies. An existing
  // target keeps its own bits.
  unsigned newFilePermissions = 0666;
};

// Replaces the content of the file at `path` with `contents` (see above).
Result<void> writeAtomically(const std::filesystem::path& path, std::string_view contents,
                             const AtomicWriteOptions& options = {});
Result<void> writeAtomically(const std::filesystem::path& path,
                             std::span<const std::uint8_t> contents,
                             const AtomicWriteOptions& options = {});

}  // namespace mornik

MORNIK_EXPORTS_END
