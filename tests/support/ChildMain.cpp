// A helper program for tests that need a second process (built as
// mornik_test_child; tests start it through tests/support/Child.hpp).
//
//   rewrite-loop <file> <first version>   rewrites the file atomically, forever,
//                                         printing "ready" after the first write
//   fsize-limit <file> <limit> <size>     writes <size> bytes under RLIMIT_FSIZE
//   tiny-disk <folder> <old> <size>       in a private mount namespace, mounts a
//                                         64 KiB tmpfs on <folder>, writes <old>,
//                                         then tries <size> bytes over it
//   as-user <uid> <file>                  writes the file as another user
//   defaults-set <file> <prefix> <n>      sets n keys in a settings store
//   cloud-set <file> <prefix> <n>         sets and synchronises n keys in a
//                                         key-value store
//
// Results are printed as "code=<errno or 0>" and the error's description.
// Exit 77 when the machine does not allow the experiment.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

#include "mornik/fs/AtomicFile.hpp"
#include "mornik/fs/FileContents.hpp"
#include "mornik/platform/UbiquitousKeyValueStore.hpp"
#include "mornik/platform/UserDefaults.hpp"

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

int fsizeLimit(const std::string& file, long limit, long size) {
  ::signal(SIGXFSZ, SIG_IGN);  // so that the write fails with EFBIG instead of killing us
  const rlimit bound{static_cast<rlim_t>(limit), static_cast<rlim_t>(limit)};
  if (::setrlimit(RLIMIT_FSIZE, &bound) != 0) return kUnsupported;
  return report(mornik::writeAtomically(file, std::string(static_cast<std::size_t>(size), 'x')));
}

int tinyDisk(const std::string& folder, const std::string& old, long size) {
  if (::unshare(CLONE_NEWNS) != 0) return kUnsupported;
  if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return kUnsupported;
  if (::mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=64k") != 0) return kUnsupported;
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

int storeSet(mornik::KeyValueStore& store, const std::string& prefix, int count, bool sync) {
  for (int i = 0; i < count; ++i) {
    const std::string key = prefix + std::to_string(i);
    auto stored = store.set("value of " + key, key);
    if (stored.isSuccess() && sync) stored = store.synchronize();
    if (stored.isFailure()) return report(stored), 1;
  }
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
  if (command == "tiny-disk" && args.size() == 4) {
    return tinyDisk(args[1], args[2], std::stol(args[3]));
  }
  if (command == "as-user" && args.size() == 3) {
    return asUser(static_cast<unsigned>(std::stoul(args[1])), args[2]);
  }
  if ((command == "defaults-set" || command == "cloud-set") && args.size() == 4) {
    const bool cloud = command == "cloud-set";
    std::shared_ptr<mornik::KeyValueStore> store;
    if (cloud) {
      store = mornik::UbiquitousKeyValueStore::atPath(args[1]);
    } else {
      store = mornik::UserDefaults::atPath(args[1]);
    }
    return storeSet(*store, args[2], std::stoi(args[3]), cloud);
  }
  std::fprintf(stderr, "mornik_test_child: unknown command\n");
  return 64;
}
