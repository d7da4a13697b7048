#include "mornik/fileio/FileHandle.hpp"

#include <cerrno>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/fileio/AtomicFile.hpp"
#include "mornik/fileio/FileContents.hpp"

#include "tests/support/TempDir.hpp"

namespace mornik {
namespace {

// Handles append through the Result wrappers; a closed or read-only handle
// fails with EBADF (a closed one never touches a descriptor number that may
// belong to someone else by now); whole-file reads name the path in errors.
TEST(FileHandle, AppendsAndReportsErrorsAndFileContentsReadsWholeFiles) {
  test::TempDir dir;
  const auto path = dir / "log.txt";
  EXPECT_FALSE(FileHandle::forReadingAtPath(path) || FileHandle::forWritingAtPath(path));
  ASSERT_TRUE(writeAtomically(path, "one\n").isSuccess());
  auto handle = FileHandle::forWritingAtPath(path);
  ASSERT_TRUE(handle.has_value());
  EXPECT_EQ(seekToEnd_r(*handle).value(), 4U);
  EXPECT_TRUE(write_r(*handle, "tw\xC3\xB6\n").isSuccess());
  EXPECT_TRUE(write_r(*handle, std::vector<std::uint8_t>{'3', '\n'}).isSuccess());
  const std::string big(300000, 'z');  // more than one read's worth
  EXPECT_TRUE(write_r(*handle, big).isSuccess());
  EXPECT_TRUE(close_r(*handle).isSuccess());
  EXPECT_EQ(close_r(*handle).error().code(), EBADF);
  EXPECT_EQ(write_r(*handle, "x").error().code(), EBADF);
  EXPECT_EQ(seekToEnd_r(*handle).error().code(), EBADF);
  auto reader = FileHandle::forReadingAtPath(path);
  ASSERT_TRUE(reader.has_value());
  EXPECT_EQ(write_r(*reader, "x").error().localizedDescription(), "write: Bad file descriptor");
  EXPECT_EQ(reader->readToEnd(), "one\ntw\xC3\xB6\n3\n" + big);
  EXPECT_EQ(readFileContents(path).value(), "one\ntw\xC3\xB6\n3\n" + big);
  EXPECT_EQ(readFileContents(dir / "missing.json").error(),
            Error::fromErrno(ENOENT, "can't read " + (dir / "missing.json").string()));
  EXPECT_EQ(readFileContents(dir.path()).error().code(), EISDIR);
}

}  // namespace
}  // namespace mornik
