// A helper program for tests that need a second process (built as
// mornik_test_child; tests start it through tests/support/Child.hpp).
//
//   rewrite-loop <file> <first version>   rewrites the file atomically, forever,
//                                         printing "ready" after the first write
//   fsize-limit <file> <limit> <size>     under RLIMIT_FSIZE (SIGXFSZ left at its
//                                         default), writes <size> bytes atomically,
//                                         then through a FileHandle to <file>.handle
//   defaults-fsize <file> <limit> <size>  sets a <size>-byte value in a settings
//                                         store under RLIMIT_FSIZE
//   tiny-disk <folder> <old> <size>       in a private mount namespace, mounts a
//                                         64 KiB tmpfs on <folder>, writes <old>,
//                                         then tries <size> bytes over it
//   as-user <uid> <file>                  writes the file as another user
//   defaults-set <file> <prefix> <n>      sets n keys in a settings store
//   document-exit <file> <a> <b>          assigns versions a and b to a JSON
//                                         document (b is held back by the
//                                         throttle) and returns from main
//   chunks <piece>...                     writes each piece, "o:<text>" to standard
//                                         output or "e:<text>" to standard error,
//                                         and waits until the reader has taken it
//                                         before the next, so that each arrives as
//                                         a chunk of its own; "x:<code>" exits
//                                         with that code
//
// Results are printed as "code=<errno or 0>" and the error's description.
// Exit 77 when the machine does not allow the experiment.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

#include "mornik/fileio/AtomicFile.hpp"
#include "mornik/fileio/FileContents.hpp"
#include "mornik/fileio/FileHandle.hpp"
#include "mornik/flow/document/Document.hpp"
#include "mornik/settings/UserDefaults.hpp"

#include "tests/support/VersionedContent.hpp"

namespace {

constexpr int kUnsupported = 77;

int report(const mornik::Result<void>& result) {
  if (result.isSuccess()) {
    std::printf("code=0\nok\n");
  } else {
    std::printf("code=%lld\n%s\n", static_cast<long long>(result.error().code()),
                result.error().localizedDescription().c_str());
  }
  std::fflush(stdout);
  return 0;
}

int rewriteLoop(const std::string& file, long first) {
  for (long version = first;; ++version) {
    auto written = mornik::writeAtomically(file, mornik::test::versionedContent(version));
    if (written.isFailure()) return report(written), 1;
    if (version == first) {
      std::printf("ready\n");
      std::fflush(stdout);
    }
  }
}

bool limitFileSize(long limit) {
  const rlimit bound{static_cast<rlim_t>(limit), static_cast<rlim_t>(limit)};
  return ::setrlimit(RLIMIT_FSIZE, &bound) == 0;
}

int fsizeLimit(const std::string& file, long limit, long size) {
  const std::string bytes(static_cast<std::size_t>(size), 'x');
  if (mornik::writeAtomically(file + ".handle", "").isFailure()) return 2;
  if (!limitFileSize(limit)) return kUnsupported;
  report(mornik::writeAtomically(file, bytes));
  auto handle = mornik::FileHandle::forWritingAtPath(file + ".handle");
  return handle ? report(mornik::write_r(*handle, bytes)) : 3;
}

int defaultsFsize(const std::string& file, long limit, long size) {
  if (!limitFileSize(limit)) return kUnsupported;
  return report(mornik::UserDefaults::atPath(file)->set(
      std::string(static_cast<std::size_t>(size), 'x'), "big"));
}

// Mounts a 64 KiB tmpfs on `folder` in a private mount namespace.
bool tinyTmpfs(const std::string& folder) {
  return ::unshare(CLONE_NEWNS) == 0 &&
         ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
         ::mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=64k") == 0;
}

int tinyDisk(const std::string& folder, const std::string& old, long size) {
  if (!tinyTmpfs(folder)) return kUnsupported;
  const std::string target = folder + "/target";
  if (mornik::writeAtomically(target, old).isFailure()) return 2;
  report(mornik::writeAtomically(target, std::string(static_cast<std::size_t>(size), 'x')));
  // What the disk holds afterwards: the target's content and the number of entries.
  const auto now = mornik::readFileContents(target);
  std::printf("%s\n", now.isSuccess() ? now.value().c_str() : "<unreadable>");
  int entries = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) ++entries;
  std::printf("entries=%d\n", entries);
  return 0;
}

int asUser(unsigned uid, const std::string& file) {
  if (::getuid() == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0) {
      return kUnsupported;
    }
  }
  return report(mornik::writeAtomically(file, "new content"));
}

int defaultsSet(const std::string& file, const std::string& prefix, int count) {
  auto store = mornik::UserDefaults::atPath(file);
  for (int i = 0; i < count; ++i) {
    const std::string key = prefix + std::to_string(i);
    auto stored = store->set("value of " + key, key);
    if (stored.isFailure()) return report(stored), 1;
  }
  return 0;
}

int chunks(const std::vector<std::string>& pieces) {
  const timespec pause{0, 1'000'000};
  for (const std::string& piece : pieces) {
    if (piece.starts_with("x:")) return std::stoi(piece.substr(2));
    const int fd = piece.starts_with("e:") ? 2 : 1;
    for (std::string_view rest = std::string_view(piece).substr(2); !rest.empty();) {
      const ssize_t wrote = ::write(fd, rest.data(), rest.size());
      if (wrote <= 0) return 3;
      rest.remove_prefix(static_cast<std::size_t>(wrote));
    }
    for (int pending = 1; ::ioctl(fd, FIONREAD, &pending) == 0 && pending > 0;) {
      ::nanosleep(&pause, nullptr);
    }
  }
  return 0;
}

using VersionedDocument = mornik::Flow::Document<mornik::test::VersionedValue>;

VersionedDocument::Pointer versionedDocument(const std::string& file) {
  return VersionedDocument::makeJsonURL(mornik::asURL(file), mornik::test::versionedValue(0));
}

int documentExit(const std::string& file, long a, long b) {
  // Still held when main returns: only the exit handler can save b.
  static auto* const kept = new VersionedDocument::Pointer(versionedDocument(file));
  (*kept)->content = mornik::test::versionedValue(a);
  (*kept)->content = mornik::test::versionedValue(b);
  std::printf("assigned\n");
  std::fflush(stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const std::string command = args.empty() ? "" : args[0];
  if (command == "rewrite-loop" && args.size() == 3)
    return rewriteLoop(args[1], std::stol(args[2]));
  if (command == "fsize-limit" && args.size() == 4) {
    return fsizeLimit(args[1], std::stol(args[2]), std::stol(args[3]));
  }
  if (command == "defaults-fsize" && args.size() == 4) {
    return defaultsFsize(args[1], std::stol(args[2]), std::stol(args[3]));
  }
  if (command == "tiny-disk" && args.size() == 4) {
    return tinyDisk(args[1], args[2], std::stol(args[3]));
  }
  if (command == "as-user" && args.size() == 3) {
    return asUser(static_cast<unsigned>(std::stoul(args[1])), args[2]);
  }
  if (command == "defaults-set" && args.size() == 4) {
    return defaultsSet(args[1], args[2], std::stoi(args[3]));
  }
  if (command == "chunks") return chunks({args.begin() + 1, args.end()});
  if (command == "document-exit" && args.size() == 4) {
    return documentExit(args[1], std::stol(args[2]), std::stol(args[3]));
  }
  std::fprintf(stderr, "mornik_test_child: unknown command\n");
  return 64;
}
