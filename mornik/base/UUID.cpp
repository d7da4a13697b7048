#include "mornik/base/UUID.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <pthread.h>
#include <sys/random.h>

namespace mornik {

namespace detail {

namespace {

constexpr std::uint32_t rotl(std::uint32_t x, int n) noexcept { return (x << n) | (x >> (32 - n)); }

constexpr void quarterRound(std::array<std::uint32_t, 16>& s, int a, int b, int c, int d) noexcept {
  s[a] += s[b];
  s[d] = rotl(s[d] ^ s[a], 16);
  s[c] += s[d];
  s[b] = rotl(s[b] ^ s[c], 12);
  s[a] += s[b];
  s[d] = rotl(s[d] ^ s[a], 8);
  s[c] += s[d];
  s[b] = rotl(s[b] ^ s[c], 7);
}

}  // namespace

void chacha20Block(const std::array<std::uint32_t, 8>& key, std::uint32_t counter,
                   const std::array<std::uint32_t, 3>& nonce,
                   std::array<std::uint8_t, 64>& out) noexcept {
  std::array<std::uint32_t, 16> initial{0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
  for (int i = 0; i < 8; ++i) initial[4 + i] = key[i];
  initial[12] = counter;
  for (int i = 0; i < 3; ++i) initial[13 + i] = nonce[i];
  std::array<std::uint32_t, 16> s = initial;
  for (int round = 0; round < 10; ++round) {
    quarterRound(s, 0, 4, 8, 12);
    quarterRound(s, 1, 5, 9, 13);
    quarterRound(s, 2, 6, 10, 14);
    quarterRound(s, 3, 7, 11, 15);
    quarterRound(s, 0, 5, 10, 15);
    quarterRound(s, 1, 6, 11, 12);
    quarterRound(s, 2, 7, 8, 13);
    quarterRound(s, 3, 4, 9, 14);
  }
  for (int i = 0; i < 16; ++i) {
    const std::uint32_t word = s[i] + initial[i];
    for (int b = 0; b < 4; ++b) out[4 * i + b] = static_cast<std::uint8_t>(word >> (8 * b));
  }
}

void chacha20Blocks4(const std::array<std::uint32_t, 8>& key, std::uint32_t counter,
                     const std::array<std::uint32_t, 3>& nonce,
                     std::array<std::uint8_t, 256>& out) noexcept {
  // Four blocks side by side, one per lane of a 128-bit vector: the same
  // rounds as chacha20Block, four times the keystream per pass.
  using Lanes = std::uint32_t __attribute__((vector_size(16)));
  const auto splat = [](std::uint32_t word) { return Lanes{word, word, word, word}; };
  std::array<Lanes, 16> initial{splat(0x61707865), splat(0x3320646e), splat(0x79622d32),
                                splat(0x6b206574)};
  for (int i = 0; i < 8; ++i) initial[4 + i] = splat(key[i]);
  initial[12] = Lanes{counter, counter + 1, counter + 2, counter + 3};
  for (int i = 0; i < 3; ++i) initial[13 + i] = splat(nonce[i]);
  std::array<Lanes, 16> s = initial;
  const auto rotl = [](Lanes x, int n) { return (x << n) | (x >> (32 - n)); };
  const auto quarter = [&](int a, int b, int c, int d) {
    s[a] += s[b];
    s[d] = rotl(s[d] ^ s[a], 16);
    s[c] += s[d];
    s[b] = rotl(s[b] ^ s[c], 12);
    s[a] += s[b];
    s[d] = rotl(s[d] ^ s[a], 8);
    s[c] += s[d];
    s[b] = rotl(s[b] ^ s[c], 7);
  };
  for (int round = 0; round < 10; ++round) {
    quarter(0, 4, 8, 12);
    quarter(1, 5, 9, 13);
    quarter(2, 6, 10, 14);
    quarter(3, 7, 11, 15);
    quarter(0, 5, 10, 15);
    quarter(1, 6, 11, 12);
    quarter(2, 7, 8, 13);
    quarter(3, 4, 9, 14);
  }
  for (int i = 0; i < 16; ++i) {
    const Lanes words = s[i] + initial[i];
    for (int lane = 0; lane < 4; ++lane) {
      for (int b = 0; b < 4; ++b) {
        out[64 * lane + 4 * i + b] = static_cast<std::uint8_t>(words[lane] >> (8 * b));
      }
    }
  }
}

}  // namespace detail

namespace {

// Blocks of keystream a thread uses before it takes a fresh key.
constexpr std::uint32_t kBlocksPerKey = 1U << 20;

// A thread's random stream: ChaCha20 under a key from getrandom, with the
// block counter as the only changing input; four blocks at a time yield
// sixteen UUIDs.
struct RandomStream {
  std::array<std::uint32_t, 8> key{};
  std::array<std::uint32_t, 3> nonce{};
  std::uint32_t counter = kBlocksPerKey;  // forces a key on first use
  std::array<std::uint8_t, 256> block{};
  std::size_t used = block.size();

  void rekey() noexcept {
    std::array<std::uint8_t, 44> seed{};
    std::size_t filled = 0;
    while (filled < seed.size()) {
      const ssize_t got = ::getrandom(seed.data() + filled, seed.size() - filled, 0);
      if (got > 0) {
        filled += static_cast<std::size_t>(got);
      } else if (got < 0 && errno != EINTR) {
        break;  // no kernel source (ENOSYS): keep what the stream already had
      }
    }
    std::memcpy(key.data(), seed.data(), 32);
    std::memcpy(nonce.data(), seed.data() + 32, 12);
    counter = 0;
  }

  void take(std::uint8_t* out, std::size_t count) noexcept {
    while (count > 0) {
      if (used == block.size()) {
        if (counter >= kBlocksPerKey) rekey();
        detail::chacha20Blocks4(key, counter, nonce, block);
        counter += 4;
        used = 0;
      }
      const std::size_t n = std::min(count, block.size() - used);
      std::memcpy(out, block.data() + used, n);
      // Keystream already handed out is not kept.
      std::memset(block.data() + used, 0, n);
      used += n;
      out += n;
      count -= n;
    }
  }
};

thread_local RandomStream tlsStream;

// A child process must not repeat its parent's identifiers: the forking
// thread (the only thread of the child) takes a new key.
void forgetStreamInChild() noexcept {
  tlsStream.counter = kBlocksPerKey;
  tlsStream.used = tlsStream.block.size();
}

[[maybe_unused]] const int kAtForkRegistered =
    ::pthread_atfork(nullptr, nullptr, &forgetStreamInChild);

int hexValue(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

constexpr bool isDashPosition(std::size_t i) noexcept {
  return i == 8 || i == 13 || i == 18 || i == 23;
}

}  // namespace

UUID UUID::random() noexcept {
  Bytes bytes;
  tlsStream.take(bytes.data(), bytes.size());
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  return UUID(bytes);
}

std::optional<UUID> UUID::fromString(std::string_view text) noexcept {
  if (text.size() != 36) return std::nullopt;
  Bytes bytes{};
  std::size_t next = 0;
  for (std::size_t i = 0; i < text.size();) {
    if (isDashPosition(i)) {
      if (text[i] != '-') return std::nullopt;
      ++i;
      continue;
    }
    const int high = hexValue(text[i]);
    const int low = hexValue(text[i + 1]);
    if (high < 0 || low < 0 || isDashPosition(i + 1)) return std::nullopt;
    bytes[next++] = static_cast<std::uint8_t>(high * 16 + low);
    i += 2;
  }
  return UUID(bytes);
}

std::string UUID::uuidString() const {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(36);
  for (std::size_t i = 0; i < bytes_.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
    text.push_back(kDigits[bytes_[i] >> 4]);
    text.push_back(kDigits[bytes_[i] & 0x0F]);
  }
  return text;
}

}  // namespace mornik
