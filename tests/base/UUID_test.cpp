#include "mornik/base/UUID.hpp"

#include <algorithm>
#include <array>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

namespace mornik {
namespace {

TEST(UUID, RandomUUIDsAreVersion4WithTheRFCVariantAndCanonicalText) {
  for (int i = 0; i < 1'000; ++i) {
    const UUID id = UUID::random();
    EXPECT_EQ(id.version(), 4);
    EXPECT_EQ(id.bytes()[8] & 0xC0, 0x80);
  }
  const UUID id = UUID::random();
  const std::string text = id.uuidString();
  ASSERT_EQ(text.size(), 36U);
  EXPECT_EQ(text[14], '4');
  EXPECT_EQ(text.find_first_not_of("0123456789ABCDEF-"), std::string::npos);
  EXPECT_EQ(UUID::fromString(text), id);
  EXPECT_EQ(UUID::fromString("1b4e28ba-2fa1-4d2e-883f-0016d3cca427")->uuidString(),
            "1B4E28BA-2FA1-4D2E-883F-0016D3CCA427");
  EXPECT_EQ(UUID::fromString("1b4e28ba2fa1-4d2e-883f-0016d3cca427-"), std::nullopt);
  EXPECT_EQ(UUID::fromString("1b4e28ba-2fa1-4d2e-883f-0016d3cca42g"), std::nullopt);
  EXPECT_EQ(UUID().uuidString(), "00000000-0000-0000-0000-000000000000");
}

TEST(UUID, ThreadsAndForkedChildrenNeverRepeatIdentifiers) {
  constexpr int kPerThread = 20'000;
  std::vector<std::vector<UUID>> made(4);
  std::vector<std::thread> threads;
  for (auto& list : made) {
    threads.emplace_back([&list] {
      for (int i = 0; i < kPerThread; ++i) list.push_back(UUID::random());
    });
  }
  for (auto& thread : threads) thread.join();
  std::set<UUID> all;
  for (const auto& list : made) all.insert(list.begin(), list.end());
  EXPECT_EQ(all.size(), 4U * kPerThread);

  // A forked child continues from a fresh key, not from the parent's stream.
  (void)UUID::random();
  int pipeEnds[2];
  ASSERT_EQ(::pipe(pipeEnds), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const UUID inChild = UUID::random();
    const bool written = ::write(pipeEnds[1], inChild.bytes().data(), 16) == 16;
    ::_exit(written ? 0 : 1);
  }
  const UUID inParent = UUID::random();
  UUID::Bytes childBytes{};
  ASSERT_EQ(::read(pipeEnds[0], childBytes.data(), 16), 16);
  int status = 0;
  ::waitpid(child, &status, 0);
  ::close(pipeEnds[0]);
  ::close(pipeEnds[1]);
  EXPECT_NE(UUID(childBytes), inParent);
}

TEST(UUID, ChaCha20BlockMatchesTheRFC8439TestVector) {
  std::array<std::uint32_t, 8> key{};
  for (std::uint32_t i = 0; i < 8; ++i) {
    key[i] = (4 * i) | ((4 * i + 1) << 8) | ((4 * i + 2) << 16) | ((4 * i + 3) << 24);
  }
  const std::array<std::uint32_t, 3> nonce{0x09000000, 0x4a000000, 0x00000000};
  std::array<std::uint8_t, 64> out{};
  mornik::detail::chacha20Block(key, 1, nonce, out);
  const std::array<std::uint8_t, 64> expected{
      0x10, 0xf1, 0xe7, 0xe4, 0xd1, 0x3b, 0x59, 0x15, 0x50, 0x0f, 0xdd, 0x1f, 0xa3,
      0x20, 0x71, 0xc4, 0xc7, 0xd1, 0xf4, 0xc7, 0x33, 0xc0, 0x68, 0x03, 0x04, 0x22,
      0xaa, 0x9a, 0xc3, 0xd4, 0x6c, 0x4e, 0xd2, 0x82, 0x64, 0x46, 0x07, 0x9f, 0xaa,
      0x09, 0x14, 0xc2, 0xd7, 0x05, 0xd9, 0x8b, 0x02, 0xa2, 0xb5, 0x12, 0x9c, 0xd1,
      0xde, 0x16, 0x4e, 0xb9, 0xcb, 0xd0, 0x83, 0xe8, 0xa2, 0x50, 0x3c, 0x4e};
  EXPECT_EQ(out, expected);

  // The four-block form gives the same keystream.
  std::array<std::uint8_t, 256> four{};
  mornik::detail::chacha20Blocks4(key, 1, nonce, four);
  for (std::uint32_t block = 0; block < 4; ++block) {
    mornik::detail::chacha20Block(key, 1 + block, nonce, out);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), four.begin() + 64 * block)) << block;
  }
}

}  // namespace
}  // namespace mornik
