#include "mornik/fs/FileHandle.hpp"

#include <cerrno>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/fs/AtomicFile.hpp"
#include "mornik/fs/FileContents.hpp"

#include "tests/support/TempDir.hpp"

namespace mornik {
namespace {

TEST(FileHandle, ResultWrappersAppendAndReportErrors) {
  test::TempDir dir;
  const auto path = dir / "log.txt";
  ASSERT_TRUE(writeAtomically(path, "one\n").isSuccess());
  auto handle = FileHandle::forWritingAtPath(path);
  ASSERT_TRUE(handle.has_value());
  EXPECT_EQ(seekToEnd_r(*handle).value(), 4U);
  EXPECT_TRUE(write_r(*handle, "twö\n").isSuccess());
  const std::vector<std::uint8_t> bytes{'3', '\n'};
  EXPECT_TRUE(write_r(*handle, bytes).isSuccess());
  EXPECT_TRUE(close_r(*handle).isSuccess());
  EXPECT_EQ(readFileContents(path).value(), "one\ntw\xC3\xB6\n3\n");

  // A closed handle: every operation fails with EBADF instead of touching a
  // descriptor number that may belong to someone else by now.
  const auto again = close_r(*handle);
  ASSERT_TRUE(again.isFailure());
  EXPECT_EQ(again.error().code(), EBADF);
  EXPECT_EQ(write_r(*handle, "x").error().code(), EBADF);
  EXPECT_EQ(seekToEnd_r(*handle).error().code(), EBADF);
}

TEST(FileHandle, ReadOnlyHandleRefusesWritesAndMissingFilesGiveNothing) {
  test::TempDir dir;
  EXPECT_FALSE(FileHandle::forReadingAtPath(dir / "missing").has_value());
  EXPECT_FALSE(FileHandle::forWritingAtPath(dir / "missing").has_value());
  ASSERT_TRUE(writeAtomically(dir / "f", "content").isSuccess());
  auto reader = FileHandle::forReadingAtPath(dir / "f");
  ASSERT_TRUE(reader.has_value());
  const auto refused = write_r(*reader, "x");
  ASSERT_TRUE(refused.isFailure());
  EXPECT_EQ(refused.error().code(), EBADF);
  EXPECT_EQ(refused.error().localizedDescription(), "write: Bad file descriptor");
  EXPECT_EQ(reader->readToEnd(), "content");
}

TEST(FileContents, ReadsWholeFilesAndNamesThePathInErrors) {
  test::TempDir dir;
  const std::string big(300000, 'z');
  ASSERT_TRUE(writeAtomically(dir / "big", big).isSuccess());
  EXPECT_EQ(readFileContents(dir / "big").value(), big);
  const auto missing = readFileContents(dir / "missing.json");
  ASSERT_TRUE(missing.isFailure());
  EXPECT_EQ(missing.error().code(), ENOENT);
  EXPECT_EQ(missing.error().localizedDescription(),
            "can't read " + (dir / "missing.json").string() + ": No such file or directory");
  EXPECT_EQ(readFileContents(dir.path()).error().code(), EISDIR);
}

}  // namespace
}  // namespace mornik
