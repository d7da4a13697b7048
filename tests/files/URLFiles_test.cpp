#include "mornik/files/URLFiles.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include "tests/files/FilesTest.hpp"

namespace mornik {
namespace {

using test::Failed;
using test::Succeeded;
using testing::UnorderedElementsAre;

TEST(URLFiles, TemporaryFolders) {
  const auto first = tmp(TmpDir::systemUnique, "p").value();
  const auto second = tmp(TmpDir::systemUnique, "p").value();
  EXPECT_NE(first, second);
  EXPECT_TRUE(first.path().starts_with("/tmp/p"));
  EXPECT_TRUE(first.hasDirectoryPath());
  EXPECT_EQ(tmp(TmpDir::systemRoot, "p").value().absoluteString(), "file:///tmp/p/");
  EXPECT_FALSE(exists(first));  // nothing is created

  const auto random = randomTempDirectory().value();
  EXPECT_TRUE(isDirectory(random));
  std::filesystem::remove(random.path());
}

TEST(URLFiles, CopyAndRemove) {
  test::TempDir dir;
  test::writeFile(dir / "dst", "kept");
  EXPECT_THAT(copy(test::url(dir / "missing"), test::url(dir / "dst"), true),
              Failed(WTF("copy URL source doesn't exists", 0)));
  EXPECT_EQ(test::readFile(dir / "dst"), "kept");
  test::writeFile(dir / "src", "new");
  EXPECT_THAT(copy(test::url(dir / "src"), test::url(dir / "dst"), true), Succeeded());
  EXPECT_EQ(test::readFile(dir / "dst"), "new");
  EXPECT_TRUE(copy(test::url(dir / "src"), test::url(dir / "dst"), false)
                  .error()
                  .is(std::errc::file_exists));

  EXPECT_THAT(rm(test::url(dir / "missing")), Succeeded());
  test::writeFile(dir / "file", "");
  EXPECT_TRUE(rm(test::url(dir / "file/inside")).error().is(std::errc::not_a_directory));
  EXPECT_THAT(moveFile(test::url(dir / "src"), test::url(dir / "moved")), Succeeded());
  EXPECT_EQ(test::readFile(dir / "moved"), "new");
}

TEST(URLFiles, ReadingWritingAndAppending) {
  test::TempDir dir;
  const URL file = test::url(dir / "f");
  EXPECT_THAT(write(file, "text"), Succeeded(file));
  EXPECT_THAT(append(file, "+more"), Succeeded());
  EXPECT_THAT(readToString(file), Succeeded(std::string("text+more")));
  EXPECT_THAT(write(file, Data{0, 1, 2}), Succeeded(file));
  EXPECT_THAT(readToData(file), Succeeded(Data{0, 1, 2}));
  EXPECT_TRUE(
      append(test::url(dir / "none"), "x").error().is(std::errc::no_such_file_or_directory));
  EXPECT_TRUE(
      readToString(test::url(dir / "none")).error().is(std::errc::no_such_file_or_directory));
  EXPECT_EQ(fileSize(file), 3U);
  EXPECT_EQ(fileSizeAt(dir / "none"), 0U);
  auto handle = fileHande(file);
  ASSERT_THAT(handle.isSuccess(), true);
  EXPECT_EQ(handle.value().readToEnd(), std::string("\0\1\2", 3));
}

TEST(URLFiles, FoldersAndListings) {
  test::TempDir dir;
  EXPECT_THAT(createSubDir(test::dirUrl(dir.path()), "a"), Succeeded(test::dirUrl(dir / "a")));
  EXPECT_THAT(makeSureDirExists(test::dirUrl(dir / "a")), Succeeded(test::dirUrl(dir / "a")));
  EXPECT_THAT(createDir(dir / "a"), Failed(WTF("Dir already exist: " + (dir / "a").string(), 0)));
  test::writeFile(dir / "a/x.txt", "");
  test::writeFile(dir / "a/.y.md", "");
  test::writeFile(dir / "a/.md", "");  // a dot name: no extension
  test::writeFile(dir / "a/z.bin", "");
  std::filesystem::create_directory(dir / "a/sub");
  EXPECT_THAT(files(test::dirUrl(dir / "a")).value(),
              UnorderedElementsAre("x.txt", ".y.md", ".md", "z.bin", "sub"));
  EXPECT_THAT(files(test::dirUrl(dir / "a"), {"txt", "md"}).value(),
              UnorderedElementsAre("x.txt", ".y.md"));
  EXPECT_THAT(getSubDirectories(test::dirUrl(dir / "a")),
              testing::ElementsAre(test::dirUrl(dir / "a/sub")));
  EXPECT_TRUE(isEmptyDirectory(test::dirUrl(dir / "a/sub")));
  EXPECT_TRUE(isEmptyDirectory(test::dirUrl(dir / "missing")));
  EXPECT_TRUE(isDirContainsFiles(test::dirUrl(dir / "a")));
  EXPECT_THAT(sizeOnDisk(test::dirUrl(dir / "a")), testing::EndsWith(" on disk"));
}

TEST(URLFiles, AttributesAndAccess) {
  test::TempDir dir;
  test::writeFile(dir / "f", "abc");
  std::filesystem::permissions(dir / "f", std::filesystem::perms(0444));
  const auto read = attributes(test::url(dir / "f"));
  ASSERT_TRUE(read);
  EXPECT_EQ(read->type, FileAttributes::Type::regular);
  EXPECT_EQ(read->size, 3U);
  EXPECT_EQ(read->permissions, 0444U);
  EXPECT_TRUE(isSandboxAccessible(test::url(dir / "f")));
  // Root may write anything; the write test holds for other users only.
  if (::geteuid() != 0) {
    EXPECT_FALSE(isSandboxAccessibleWrite(test::url(dir / "f")));
  }
  testing::internal::CaptureStdout();
  EXPECT_EQ(attributes(test::url(dir / "none")), std::nullopt);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "FileAttribute error: " + (dir / "none").string() + ": No such file or directory\n");
}

TEST(URLFiles, PathTexts) {
  const std::string home = userHomePath();
  EXPECT_EQ(pathAbbreviatingHomeWithTilde(test::url(home + "/notes.txt")), "~/notes.txt");
  EXPECT_EQ(pathAbbreviatingHomeWithTilde(test::url("/elsewhere/x")), "/elsewhere/x");
  for (const auto& [path, expanded] : std::vector<std::pair<URL, std::string>>{
           {*URL::parse("~/x"), home + "/x"},
           {*URL::parse("~"), home},
           {*URL::parse("~user/x"), "~user/x"},
           {test::url("/a/~/x"), "/a/~/x"},  // folders named "~"
           {test::url("/tmp/~"), "/tmp/~"}}) {
    EXPECT_EQ(pathExpandingHomeWithTilde(path), expanded) << path.absoluteString();
  }
  EXPECT_EQ(lastPathComponentOSLocalized(test::url("/a/caf\xC3\xA9\xFF")),
            "caf\xC3\xA9\xEF\xBF\xBD");
  EXPECT_EQ(lastPathComponentOSLocalized(test::url("/a/x\xEF\xBB\xBFy")), "x\xEF\xBB\xBFy");
  for (const auto& [text, host] :
       std::vector<std::pair<std::string, std::string>>{{"https://example.org/x", "example.org"},
                                                        {"https://user@h:8080?q", "user@h:8080"},
                                                        {"file:///tmp/x", ""}}) {
    EXPECT_THAT(urlHost(*URL::parse(text)), Succeeded(host)) << text;
  }
  EXPECT_EQ(generageEmailUrl("me@example.org", "Hi there", "a&b=c")->absoluteString(),
            "mailto:me@example.org?subject=Hi%20there&body=a&b=c");
  EXPECT_TRUE(test::url("/a/b") < test::url("/a/c"));
}

}  // namespace
}  // namespace mornik
