#include <atomic>
#include <cstdlib>
#include <new>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "mornik/files/File.hpp"
#include "mornik/files/FileOld.hpp"
#include "mornik/files/FileStream.hpp"

#include "tests/files/FilesTest.hpp"
#include "tests/support/Sanitizers.hpp"

// Counts the allocations of the whole test program, for the line stream's
// promise to allocate nothing per line. ThreadSanitizer's runtime brings its
// own operator new, so there the count is not kept and that test skips.
namespace {
std::atomic<long> gAllocations{0};
}  // namespace
#if !defined(MORNIK_TEST_TSAN)
void* operator new(std::size_t size) {
  ++gAllocations;
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t /*size*/) noexcept { std::free(memory); }
#endif

namespace mornik {
namespace {

using test::Succeeded;
using testing::ElementsAreArray;

TEST(File, WritesEndWithOneLineFeedAndReadsDropIt) {
  test::TempDir dir;
  const File file(test::url(dir / "deep/er/notes.txt"));  // the folders are made
  struct Case {
    std::string written, bytes, read;
  };
  for (const Case& c : std::vector<Case>{{"abc", "abc\n", "abc"},
                                         {"abc\n", "abc\n", "abc"},
                                         {"", "\n", ""},
                                         {"a\n\n", "a\n\n", "a\n"},
                                         {"crlf\r\n", "crlf\r\n", "crlf\r"}}) {
    ASSERT_THAT(file.setContentR(c.written), Succeeded());
    EXPECT_EQ(test::readFile(dir / "deep/er/notes.txt"), c.bytes) << c.written;
    EXPECT_EQ(file.getContent(), c.read) << c.written;
  }
}

TEST(File, ReadingDetectsTheEncoding) {
  test::TempDir dir;
  const File file(test::url(dir / "t"));
  struct Case {
    std::string bytes, text;
  };
  for (const Case& c :
       std::vector<Case>{{"\xEF\xBB\xBFhi\n", "hi"},
                         {std::string("\xFF\xFEh\0\xE9\0", 6), "h\xC3\xA9"},
                         {std::string("\xFE\xFF\xD8\x3D\xDE\x00", 6), "\xF0\x9F\x98\x80"},
                         {"caf\xE9", "caf\xC3\xA9"},
                         {"\xEF\xBB\xBF\xE9", "\xC3\xA9"},  // a lying mark
                         {"caf\xC3\xA9", "caf\xC3\xA9"}}) {
    test::writeFile(dir / "t", c.bytes);
    EXPECT_EQ(file.getContent(), c.text);
  }
  EXPECT_EQ(File(test::url(dir / "missing")).getContent(), std::nullopt);
}

TEST(File, AppendingAddsLinesAndOnlyAppendRCreatesTheFile) {
  test::TempDir dir;
  const File file(test::url(dir / "log"));
  file.append("lost");
  EXPECT_FALSE(file.exists());
  ASSERT_THAT(file.appendR("x"), Succeeded());
  file.append("y\n");
  EXPECT_EQ(test::readFile(dir / "log"), "\nx\ny\n");
  file.remove();
  EXPECT_FALSE(file.exists());
}

TEST(File, WriteFailuresAreTheSystemsOwn) {
  test::TempDir dir;
  test::writeFile(dir / "plain", "");
  const File file(test::url(dir / "plain/inside"));
  EXPECT_TRUE(file.setContentR("x").error().is(std::errc::not_a_directory));
  EXPECT_THROW(file.setContent("x"), Error);
  EXPECT_TRUE(file.appendR("x").error().is(std::errc::not_a_directory));
}

std::vector<std::string> streamed(const std::filesystem::path& path) {
  std::vector<std::string> lines;
  auto stream = FileStream::make(test::url(path));
  if (!stream) return {"<no stream>"};
  while (auto line = stream->readLn()) lines.emplace_back(*line);
  return lines;
}

TEST(FileStream, LinesKeepTheirEndingsAndStopAtANul) {
  test::TempDir dir;
  struct Case {
    std::string bytes;
    std::vector<std::string> lines;
  };
  for (const Case& c : std::vector<Case>{
           {"", {}},
           {"a\nb", {"a\n", "b"}},
           {"a\r\nb\r\n", {"a\r\n", "b\r\n"}},
           {"\n\n", {"\n", "\n"}},
           {std::string("a\0b\nc\0", 6), {"a", "c"}},
       }) {
    test::writeFile(dir / "f", c.bytes);
    EXPECT_EQ(streamed(dir / "f"), c.lines) << testing::PrintToString(c.bytes);
  }
  EXPECT_FALSE(FileStream::make(test::url(dir / "missing")));
  EXPECT_TRUE(streamed(dir.path()).empty());  // a folder opens but reads nothing
}

TEST(FileStream, LongAndManyLinesSurviveTheBufferRefills) {
  test::TempDir dir;
  std::vector<std::string> lines;
  std::string bytes;
  for (int i = 0; i < 40000; ++i) {  // about 3 MB: lines cross the block boundaries
    lines.push_back(std::to_string(i) + std::string(i % 150, 'x') + "\n");
    bytes += lines.back();
    if (i == 20000) {
      lines.push_back(std::string(3 << 20, 'L') + "\n");  // longer than a block
      bytes += lines.back();
    }
    if (i == 30000) {  // amid lines found by one scan
      lines.emplace_back("cut");
      bytes += std::string("cut\0off\n", 8);
    }
  }
  lines.emplace_back("no final line feed");
  bytes += lines.back();
  test::writeFile(dir / "f", bytes);
  EXPECT_THAT(streamed(dir / "f"), ElementsAreArray(lines));
}

TEST(FileStream, AWarmStreamAllocatesNothingPerLine) {
#if defined(MORNIK_TEST_TSAN)
  GTEST_SKIP() << "ThreadSanitizer's operator new cannot be counted";
#endif
  test::TempDir dir;
  std::string bytes;
  for (int i = 0; i < 50000; ++i) bytes += std::string(79, 'a' + i % 26) + "\n";
  test::writeFile(dir / "f", bytes);
  auto stream = FileStream::make(test::url(dir / "f"));
  ASSERT_TRUE(stream);
  // Warm: past the first refill of its block, which sizes the held line.
  for (int i = 0; i < 20000; ++i) ASSERT_TRUE(stream->readLn());
  const long before = gAllocations;
  std::size_t total = 0;
  while (auto line = stream->readLn()) total += line->size();
  EXPECT_EQ(gAllocations - before, 0);
  EXPECT_EQ(total, bytes.size() - 20000 * 80);
}

TEST(FileStream, TheEndIsFinalEvenWhenTheFileGrows) {
  test::TempDir dir;
  test::writeFile(dir / "f", "a\n");
  auto stream = FileStream::make(test::url(dir / "f"));
  ASSERT_EQ(stream->readLn(), "a\n");
  std::ofstream(dir / "f", std::ios::app) << "b\n";
  EXPECT_EQ(stream->readLn(), std::nullopt);
  EXPECT_EQ(stream->readLn(), std::nullopt);
}

TEST(FileOld, ReadsLinesByDelimiterAndReportsProgress) {
  test::TempDir dir;
  using Lines = std::vector<std::optional<std::string>>;
  const std::string mark = "\xEF\xBB\xBF";
  for (const auto& [bytes, lines] : std::vector<std::pair<std::string, Lines>>{
           {"a\n\nb", {"a", "", "b", {}}},
           {mark + "a\nb", {"a", "b", {}}},  // the mark opening the file is no text
           {mark + mark + "a\n" + mark + "b", {mark + "a", mark + "b", {}}},
           {mark, {std::nullopt}},
           {"a\n\xC3\nz", {"a", {}, "z", {}}},  // an invalid line, then more
       }) {
    test::writeFile(dir / "f", bytes);
    for (const std::size_t chunk : {4096, 1}) {  // 1: the mark split across reads
      FileOld reader(test::url(dir / "f"));
      reader.chunkSize = chunk;
      Lines got;
      while (got.size() < lines.size()) got.push_back(reader.readln());
      EXPECT_EQ(got, lines) << testing::PrintToString(bytes) << " by " << chunk;
    }
  }

  test::writeFile(dir / "half", std::string(4095, 'x') + "\n" + std::string(4096, 'y'));
  FileOld halves(test::url(dir / "half"));
  EXPECT_EQ(halves.size(), 8192U);
  EXPECT_EQ(halves.progress(), 0.0F);
  EXPECT_EQ(halves.readln()->size(), 4095U);
  EXPECT_EQ(halves.progress(), 0.5F);

  FileOld none(test::url(dir / "missing"));
  EXPECT_TRUE(none.notInited());
  EXPECT_EQ(none.write("four"), 4U);
  EXPECT_EQ(none.readln(), std::nullopt);
}

TEST(FileOld, WritingStartsFromAnEmptyFile) {
  test::TempDir dir;
  test::writeFile(dir / "w", "old content");
  FileOld writer(FileOld::ForWriting{}, dir / "w");
  EXPECT_EQ(writer.write("h\xC3\xA9"), 3U);
  writer.flush();
  EXPECT_EQ(writer.size(), 0U);
  EXPECT_EQ(test::readFile(dir / "w"), "h\xC3\xA9");
}

}  // namespace
}  // namespace mornik
