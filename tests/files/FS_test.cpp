#include "mornik/files/FS.hpp"

#include <array>
#include <atomic>
#include <fstream>
#include <set>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <linux/capability.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "mornik/files/FSApp.hpp"
#include "mornik/files/FS_OLD.hpp"
#include "mornik/files/FileInfo.hpp"
#include "mornik/files/FileStream.hpp"
#include "mornik/files/detail/Items.hpp"
#include "mornik/platform/DesktopFiles.hpp"
#include "mornik/platform/SoundPlayer.hpp"
#include "mornik/platform/Workspace.hpp"
#include "mornik/settings/AppIdentity.hpp"

#include "tests/files/FilesTest.hpp"
#include "tests/support/Concurrently.hpp"
#include "tests/support/QueueGate.hpp"

namespace mornik {
namespace {

using test::Failed;
using test::Succeeded;
using testing::ElementsAre;

const auto& gHome = test::useTemporaryHome();

TEST(FS, MkdirFailsOnAnythingThereAndSaysWhyCreationFailed) {
  test::TempDir dir;
  const std::string folder = dir / "a/b";
  EXPECT_THAT(FS::mkdir(folder), Succeeded());
  EXPECT_THAT(FS::mkdir(folder), Failed(WTF("Dir already exist: " + folder, 0)));
  FSurl(test::url(folder)).makeSureDirExist();  // an existing folder is no error
  test::writeFile(dir / "file", "x");
  const std::string under = dir / "file/sub";
  EXPECT_THAT(FS::mkdir(under),
              Failed(WTF("Can't create dir at path : " + under + ". \nError: Not a directory", 0)));
}

TEST(FS, CopyWithoutReplaceLeavesAnExistingDestinationAlone) {
  test::TempDir dir;
  test::writeFile(dir / "a", "new");
  test::writeFile(dir / "b", "old");
  EXPECT_TRUE(FS::copy(dir / "a", dir / "b", false).error().is(std::errc::file_exists));
  EXPECT_EQ(test::readFile(dir / "b"), "old");
  EXPECT_THAT(FS::copy(dir / "a", dir / "b", true), Succeeded());
  EXPECT_EQ(test::readFile(dir / "b"), "new");
}

TEST(FS, CopiesAFolderTreeWithLinksAndModes) {
  test::TempDir dir;
  test::writeFile(dir / "src/sub/tool", "#!/bin/sh\n");
  std::filesystem::permissions(dir / "src/sub/tool", std::filesystem::perms(0750));
  std::filesystem::create_symlink("sub/tool", dir / "src/link");
  ASSERT_THAT(FS::copy(test::dirUrl(dir / "src"), test::dirUrl(dir / "dst"), false), Succeeded());
  EXPECT_EQ(test::readFile(dir / "dst/sub/tool"), "#!/bin/sh\n");
  EXPECT_EQ(std::filesystem::status(dir / "dst/sub/tool").permissions(),
            std::filesystem::perms(0750));
  EXPECT_EQ(std::filesystem::read_symlink(dir / "dst/link"), "sub/tool");
  EXPECT_EQ(test::readFile(dir / "src/sub/tool"), "#!/bin/sh\n");
}

TEST(FS, AFailedTreeCopyLeavesNothingAtTheDestination) {
  test::TempDir dir;
  test::writeFile(dir / "src/a", "a");
  // A socket cannot be copied: the copy fails after "a" was written.
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socketPath = dir / "src/z.sock";
  ASSERT_LT(socketPath.size(), sizeof(address.sun_path));
  std::copy(socketPath.begin(), socketPath.end(), address.sun_path);
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  const auto copied = FS::copy(dir / "src", dir / "dst", false);
  ::close(sock);
  ASSERT_TRUE(copied.isFailure());
  EXPECT_TRUE(copied.error().is(std::errc::not_supported));
  EXPECT_FALSE(std::filesystem::exists(dir / "dst"));
}

TEST(FS, MoveRefusesAnExistingDestinationUnlessReplacing) {
  test::TempDir dir;
  test::writeFile(dir / "a", "a");
  test::writeFile(dir / "b", "b");
  EXPECT_TRUE(FS::move(dir / "a", dir / "b", false).error().is(std::errc::file_exists));
  EXPECT_EQ(test::readFile(dir / "b"), "b");
  EXPECT_THAT(FS::move(dir / "a", dir / "b", true), Succeeded());
  EXPECT_EQ(test::readFile(dir / "b"), "a");
  EXPECT_FALSE(std::filesystem::exists(dir / "a"));
}

// Moves between the disk and a tmpfs mounted in a private mount namespace
// (a child process): a whole copy, then the source goes; a copy that does
// not fit (the tmpfs is tiny) leaves the source and no partial destination;
// a replace whose destination cannot be removed (read-only) moves nothing.
TEST(FS, MovesAcrossFileSystems) {
  test::TempDir dir;
  test::writeFile(dir / "file", "on disk");
  test::writeFile(dir / "tree/a/b", "deep");
  test::writeFile(dir / "big", std::string(256 * 1024, 'x'));
  std::filesystem::create_directory(dir / "mnt");
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", (dir / "mnt").c_str(), "tmpfs", 0, "size=64k") != 0) {
      ::_exit(77);
    }
    std::ofstream report(dir / "report");
    const auto line = [&](const Result<void>& moved) {
      report << (moved.isSuccess() ? std::string("ok") : moved.error().localizedDescription())
             << '\n';
    };
    line(FS::move(dir / "file", dir / "mnt/file", false));
    report << test::readFile(dir / "mnt/file") << '\n';
    line(FS::move(dir / "mnt/file", dir / "back", false));
    std::filesystem::create_directories(dir / "mnt/tree2/c");
    test::writeFile(dir / "mnt/tree2/c/d", "from tmpfs");
    line(FS::move(dir / "mnt/tree2", dir / "tree2", false));
    line(FS::move(dir / "big", dir / "mnt/big", false));
    report << std::filesystem::exists(dir / "mnt/big") << '\n';
    test::writeFile(dir / "mnt/taken", "old");
    ::mount("tmpfs", (dir / "mnt").c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, "size=64k");
    report << FS::move(dir / "tree", dir / "mnt/taken", true).error().code() << '\n';
    report.close();
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no private mount namespace here";
  ASSERT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(test::readFile(dir / "report"), "ok\non disk\nok\nok\nmove " + (dir / "big").string() +
                                                " to " + (dir / "mnt/big").string() +
                                                ": No space left on device\n0\n" +
                                                std::to_string(EROFS) + "\n");
  EXPECT_EQ(test::readFile(dir / "tree/a/b"), "deep");
  EXPECT_FALSE(std::filesystem::exists(dir / "file"));
  EXPECT_EQ(test::readFile(dir / "back"), "on disk");
  EXPECT_EQ(test::readFile(dir / "tree2/c/d"), "from tmpfs");
  EXPECT_EQ(test::readFile(dir / "big").size(), 256U * 1024U);
}

TEST(FS, DeleteReportsTheSystemErrorOrItsOwnForURLs) {
  test::TempDir dir;
  test::writeFile(dir / "tree/a/b", "x");
  EXPECT_THAT(FS::remove(test::url(dir / "tree")), Succeeded());
  EXPECT_FALSE(std::filesystem::exists(dir / "tree"));
  EXPECT_TRUE(FS::remove(dir / "tree").error().is(std::errc::no_such_file_or_directory));
  EXPECT_THAT(FSurl(test::url(dir / "tree")).remove(),
              Failed(WTF("failed to delete file with url: " + (dir / "tree").string(), 0)));
}

class Trash : public testing::Test {
 protected:
  void SetUp() override { SoundOutput::setShared(sounds_); }
  void TearDown() override { SoundOutput::setShared(nullptr); }
  std::filesystem::path trash() const { return gHome / ".local/share/Trash"; }
  // The trash sounds played so far, once those asked for have been handled.
  int sounds() const {
    test::drain(detail::trashSoundQueue(), 1);
    return sounds_->playCount();
  }

 private:
  std::shared_ptr<MemorySoundOutput> sounds_ = std::make_shared<MemorySoundOutput>();
};

TEST_F(Trash, AListTrashesEveryItemItCanAndReportsTheFirstFailure) {
  test::TempDir dir;  // on the same file system as the temporary home
  test::writeFile(dir / "one", "1");
  test::writeFile(dir / "three", "3");
  const auto trashed = FS::deleteToTrash(
      std::vector<URL>{test::url(dir / "one"), test::url(dir / "two"), test::url(dir / "three")},
      true);
  ASSERT_TRUE(trashed.isFailure());
  EXPECT_TRUE(trashed.error().is(std::errc::no_such_file_or_directory));
  EXPECT_EQ(sounds(), 0);
  EXPECT_FALSE(std::filesystem::exists(dir / "one"));
  EXPECT_FALSE(std::filesystem::exists(dir / "three"));
  EXPECT_EQ(test::readFile(trash() / "files/three"), "3");
  EXPECT_THAT(test::readFile(trash() / "info/three.trashinfo"),
              testing::HasSubstr("Path=" + (dir / "three").string()));

  test::writeFile(dir / "four", "4");
  EXPECT_THAT(FS::deleteToTrash(test::url(dir / "four"), true), Succeeded());
  EXPECT_THAT(FS::deleteToTrash(std::vector<URL>{}, true), Succeeded());
  EXPECT_EQ(sounds(), 2);
}

TEST_F(Trash, AFileSystemWithoutATrashSaysNotSupported) {
  if (!std::filesystem::is_directory("/dev/shm")) GTEST_SKIP() << "no tmpfs at /dev/shm";
  const std::string file = "/dev/shm/mornik-trash-" + std::to_string(::getpid());
  test::writeFile(file, "x");
  const auto trashed = FS::deleteToTrash(file);
  std::filesystem::remove(file);
  ASSERT_TRUE(trashed.isFailure());
  EXPECT_TRUE(trashed.error().is(std::errc::not_supported))
      << trashed.error().localizedDescription();
  EXPECT_EQ(sounds(), 0);
}

std::set<std::string> names(const std::vector<URL>& urls) {
  std::set<std::string> out;
  for (const auto& url : urls) out.insert(url.absoluteString());
  return out;
}

TEST(FS, ListingsHideWhatTheFileManagerHidesAndMarkFolders) {
  test::TempDir dir;
  const std::string odd = "new\nline \xff";  // a line feed and a byte that is not UTF-8
  test::writeFile(dir / "f", "");
  test::writeFile(dir / ".hidden", "listed\n");
  test::writeFile(dir / "notes~", "");
  test::writeFile(dir / "listed", "");
  test::writeFile(dir / "sub/.DS_Store", "");
  test::writeFile(dir / ("sub/" + odd), "");
  std::filesystem::create_directory_symlink(dir.path(), dir / "sub/loop");

  const auto flat = FS::contentOfDirectory(test::dirUrl(dir.path()), false);
  EXPECT_EQ(names(flat.value()), (std::set{test::url(dir / "f").absoluteString(),
                                           test::dirUrl(dir / "sub").absoluteString()}));
  EXPECT_THAT(FS::subDirectories(test::dirUrl(dir.path())).value(),
              ElementsAre(test::dirUrl(dir / "sub")));

  // A link to a folder lists as the folder, under the link's path; the link
  // back to the root inside it is listed, not entered.
  const auto everything = [&](const std::filesystem::path& root) {
    return std::set{test::url(root / "f").absoluteString(),
                    test::url(root / ".hidden").absoluteString(),
                    test::url(root / "notes~").absoluteString(),
                    test::url(root / "listed").absoluteString(),
                    test::dirUrl(root / "sub").absoluteString(),
                    test::url(root / ("sub/" + odd)).absoluteString(),
                    test::url(root / "sub/loop").absoluteString()};
  };
  const auto deep = FS::contentOfDirectory(test::dirUrl(dir.path()), true).value();
  EXPECT_EQ(names(deep), everything(dir.path()));
  EXPECT_EQ(names(getFiles(test::url(dir / "sub/loop"))), everything(dir / "sub/loop"));
  std::set<std::string> paths;
  for (const auto& url : deep) paths.insert(url.path());
  EXPECT_TRUE(paths.contains(dir / ("sub/" + odd)));  // the name survives the URL

  EXPECT_TRUE(getFiles(test::url(dir / "f")).empty());
  EXPECT_TRUE(getFiles(test::url(dir / "missing")).empty());
  EXPECT_TRUE(
      FS::contentOfDirectory(test::url(dir / "f"), false).error().is(std::errc::not_a_directory));
}

TEST(FS, ExistenceFollowsLinks) {
  test::TempDir dir;
  std::filesystem::create_symlink(dir / "loop", dir / "loop");
  std::filesystem::create_symlink(dir / "none", dir / "dangling");
  EXPECT_FALSE(FS::exist(std::optional<std::string>(dir / "loop")));
  EXPECT_FALSE(FS::exist(std::optional<URL>(test::url(dir / "dangling"))));
  EXPECT_TRUE(FS::exist(std::optional<std::string>(dir.path())));
  EXPECT_FALSE(FS::exist(std::optional<URL>()));
}

TEST(FS, DesktopRequestsGoToTheWorkspace) {
  test::TempDir dir;
  test::writeFile(dir / "f", "");
  const std::string f = dir / "f";
  const std::string d = dir.path();
  auto workspace = std::make_shared<MemoryWorkspace>();
  workspace->setOutcome(WTF("outcomes are not reported", 0));
  Workspace::setShared(workspace);
  FS::showInFinder(std::optional<URL>(test::url(f)));
  FS::showInFinder(std::optional<URL>(test::dirUrl(d)));
  FS::showInFinder(std::optional<std::string>(d + "/missing"));
  FSstr(d).showInFinder(true);
  FS::showInFinder(std::optional<URL>());
  FS_OLD::showInFinder(test::url(d));
  FSurl(test::url(f)).openWithAssociatedApp();
  FS::openUrlWithApp({test::url(f), test::url(d)}, test::url("/apps/viewer.desktop"));
  FSstr(d).openTerminalAt();
  FS::openGetInfoWnd({test::url(f), test::url(d)});
  Workspace::setShared(nullptr);
  const std::string uf = test::url(f).absoluteString();
  EXPECT_THAT(
      workspace->requests(),
      ElementsAre("reveal " + f, "openFolder " + d, "reveal " + d + "/missing", "reveal " + d,
                  "openFolder " + d, "open " + uf,
                  "openWith /apps/viewer.desktop " + uf + " " + test::url(d).absoluteString(),
                  "terminal " + d, "properties " + f + " " + d));
}

// Every operation may be called from any thread: threads released together
// each work on their own files through the whole vocabulary, the desktop's
// file information included.
TEST(FS, ThreadsWorkSideBySide) {
  test::TempDir dir;
  std::atomic<int> done{0};
  test::runConcurrently(4, [&](int t) {
    const auto own = dir / std::to_string(t);
    test::writeFile(own / "a.txt", "line\n");
    const std::string a = own / "a.txt";
    if (FS::copy(a, own / "b.txt", false).isFailure()) return;
    if (FS::move(own / "b.txt", own / "c.txt", false).isFailure()) return;
    if (FS::deleteToTrash(std::vector<URL>{test::url(own / "c.txt")}, false).isFailure()) return;
    if (getFiles(test::dirUrl(own)).size() != 1) return;
    auto stream = FileStream::make(test::url(a));
    if (!stream || stream->readLn() != "line\n") return;
    const FSFileInfo info{FSstr(a)};
    if (info.isHidden() || info.getAttributes().empty() || info.mimeType() != "text/plain") return;
    ++done;
  });
  EXPECT_EQ(done, 4);
}

TEST(FSApp, TheApplicationFolderIsUnderTheDataHome) {
  const auto folder = FSApp::applicationSupportFolderURL(SearchDomain::user);
  ASSERT_THAT(folder, Succeeded(test::dirUrl(gHome / ".local/share" / AppIdentity::identifier())));
  EXPECT_TRUE(std::filesystem::is_directory(folder.value().path()));
  EXPECT_THAT(FSApp::applicationSupportFolderURL(SearchDomain::user), Succeeded(folder.value()));
  EXPECT_EQ(FSApp::urlFor("x.json").path(), folder.value().path() + "/x.json");
}

TEST(FSApp, DeleteFilesWithAPrefixGoesThroughTheWholeTree) {
  test::TempDir dir;
  for (const char* name : {"x1.log", "y.log", "sub/x2.log", "xdir/x3"}) {
    test::writeFile(dir / name, "");
  }
  EXPECT_THAT(FSApp::deleteFilesWith("x", test::dirUrl(dir.path())),
              Failed(WTF("failed to delete file with url: " + (dir / "xdir/x3").string(), 0)));
  EXPECT_FALSE(std::filesystem::exists(dir / "x1.log"));
  EXPECT_FALSE(std::filesystem::exists(dir / "sub/x2.log"));
  EXPECT_TRUE(std::filesystem::exists(dir / "y.log"));
  EXPECT_THAT(FSApp::deleteFilesWith("x", test::dirUrl(dir.path())), Succeeded());
}

TEST(FS_OLD, PrintsWhatItDoes) {
  test::TempDir dir;
  const std::string d = dir.path();
  for (const char* name : {"a", "locked/b", "z/c"}) test::writeFile(dir / name, "");
  std::filesystem::permissions(dir / "locked", std::filesystem::perms::none);
  // Root reads through permission bits, so this thread gives up that power
  // for a while (capabilities are per thread).
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  std::array<__user_cap_data_struct, 2> caps{};
  ::syscall(SYS_capget, &header, caps.data());
  const auto saved = caps;
  caps[0].effective &= ~((1U << CAP_DAC_OVERRIDE) | (1U << CAP_DAC_READ_SEARCH));
  ::syscall(SYS_capset, &header, caps.data());
  testing::internal::CaptureStdout();
  FS_OLD::remove(d + "/missing", false);
  EXPECT_THAT(FS_OLD::mkdir(d), Failed(WTF("Dir already exist: " + d, 0)));
  EXPECT_FALSE(FS_OLD::move(test::url(d + "/missing"), test::url(d + "/to"), true));
  // A walk that fails part-way (at "locked") lists nothing, every time.
  for (bool all : {true, false}) EXPECT_TRUE(FS_OLD::contentOfDirectory(test::url(d), all).empty());
  ::syscall(SYS_capset, &header, saved.data());
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "FS: going to delete file: " + d + "/missing\nFS: cant delete " + d +
                "/missing\nError Domain=POSIX Code=2 \"remove " + d +
                "/missing: No such file or directory\"\nCan't create dir at path : " + d +
                ". \nError: Dir already exist: " + d + "\nCan't get dirs from: " + d +
                "\nCan't get dirs from: " + d + "\n");
  std::filesystem::permissions(dir / "locked", std::filesystem::perms::owner_all);
  EXPECT_EQ(FS_OLD::contentOfDirectory(test::url(d), true).size(), 5U);
}

}  // namespace
}  // namespace mornik
