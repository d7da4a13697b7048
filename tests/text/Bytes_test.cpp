#include "mornik/text/Bytes.hpp"

#include <string>

#include <gtest/gtest.h>

#include "mornik/fileio/FileContents.hpp"

#include "tests/support/TempDir.hpp"

namespace mornik {
namespace {

Data dataOf(std::string_view text) { return Data(text.begin(), text.end()); }

TEST(Bytes, AsStringNeedsUtf8) {
  EXPECT_EQ(asString(dataOf("gr\xC3\xBC\xC3\x9F")).value(), "gr\xC3\xBC\xC3\x9F");
  for (const auto bad : {"\xC3", "\xED\xA0\x80", "\xC0\xAF", "ok\xFF"}) {
    const auto failed = asString(dataOf(bad));
    EXPECT_EQ(failed.error().localizedDescription(), "can't convert Data to string") << bad;
    EXPECT_EQ(failed.error().code(), 0);
  }
}

TEST(Bytes, OtherEncodingsAndDetectionByByteOrderMark) {
  EXPECT_EQ(string(dataOf("caf\xE9"), StringEncoding::isoLatin1), "caf\xC3\xA9");
  EXPECT_EQ(string(dataOf("\x80"), StringEncoding::windowsCP1252), "\xE2\x82\xAC");  // euro sign
  EXPECT_EQ(string(dataOf("caf\xE9"), StringEncoding::ascii), std::nullopt);
  EXPECT_EQ(string(dataOf("caf\xE9"), StringEncoding::utf8), std::nullopt);
  using namespace std::string_view_literals;
  EXPECT_EQ(string(dataOf("\0h\0i"sv), StringEncoding::utf16BigEndian), "hi");
  EXPECT_EQ(string(dataOf("\xFF\xFEh\0"sv), StringEncoding::utf16), "h");
  EXPECT_EQ(string(dataOf("\0\0\0h"sv), StringEncoding::utf32BigEndian), "h");
  // An unpaired surrogate and an odd byte count are not UTF-16.
  EXPECT_EQ(string(dataOf("\xD8\0\0h"sv), StringEncoding::utf16BigEndian), std::nullopt);
  EXPECT_EQ(string(dataOf("h\0i"sv), StringEncoding::utf16LittleEndian), std::nullopt);
  // No bytes are "" in every encoding, ICU's ones included.
  for (int e = 0; e <= static_cast<int>(StringEncoding::utf32LittleEndian); ++e) {
    EXPECT_EQ(string(Data{}, static_cast<StringEncoding>(e)), "") << e;
  }

  using namespace std::string_view_literals;
  EXPECT_EQ(stringDetectingEncoding("\xEF\xBB\xBFhi"sv), "hi");
  EXPECT_EQ(stringDetectingEncoding("\xFF\xFEh\0i\0"sv), "hi");
  EXPECT_EQ(stringDetectingEncoding("\0\0\xFE\xFF\0\0\0h"sv), "h");
  EXPECT_EQ(stringDetectingEncoding("plain \xC3\xA9"sv), "plain \xC3\xA9");
  EXPECT_EQ(stringDetectingEncoding("\xFF\xFE"sv), "");
  EXPECT_EQ(stringDetectingEncoding("latin \xE9"sv), std::nullopt);
}

TEST(Bytes, WriteToFileUrls) {
  test::TempDir dir;
  const auto path = dir / "out.bin";
  EXPECT_TRUE(write(Data{0, 1, 2}, asURL(path.string())).isSuccess());
  EXPECT_EQ(readFileContents(path).value(), std::string("\0\1\2", 3));
  EXPECT_EQ(write(Data{1}, *URL::parse("https://example.org/x")).error().localizedDescription(),
            "can't write to https://example.org/x: not a file URL");
  EXPECT_EQ(write(Data{1}, asURL((dir / "no" / "f").string())).error().code(), ENOENT);
}

}  // namespace
}  // namespace mornik
