#include "mornik/crypto/detail/Primitives.hpp"

#include <array>
#include <climits>
#include <memory>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

namespace mornik::detail {

std::atomic<RandomDraw> nonceDraw{&RAND_bytes};

namespace {

struct CipherContextFree {
  void operator()(EVP_CIPHER_CTX* context) const noexcept { EVP_CIPHER_CTX_free(context); }
};

std::string openSslText() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "unknown failure";
  std::array<char, 256> text{};
  ERR_error_string_n(code, text.data(), text.size());
  return text.data();
}

// Largest piece handed to one EVP call, whose lengths are ints.
constexpr std::size_t kPiece = std::size_t{1} << 30;

}  // namespace

void wipe(void* bytes, std::size_t count) { OPENSSL_cleanse(bytes, count); }

Result<Data> pbkdf2Sha1(std::string_view password, std::span<const std::uint8_t> salt, int rounds,
                        std::size_t length) {
  Data key(length);
  int status = 0;
  if (password.size() <= INT_MAX && salt.size() <= INT_MAX && length <= INT_MAX) {
    status = PKCS5_PBKDF2_HMAC_SHA1(password.data(), static_cast<int>(password.size()), salt.data(),
                                    static_cast<int>(salt.size()), rounds, static_cast<int>(length),
                                    key.data());
  }
  // PKCS5_PBKDF2_HMAC_SHA1 answers 1 for success.
  if (status != 1) {
    ERR_clear_error();
    wipe(key);
    return cryptoError(
        CryptoErrorCode::derivationFailure,
        "SECURITY FAILURE: Could not derive secure password (" + std::to_string(status) + ")");
  }
  return key;
}

static const EVP_CIPHER* gcmFor(std::size_t keyLength) {
  switch (keyLength) {
    case 16:
      return EVP_aes_128_gcm();
    case 24:
      return EVP_aes_192_gcm();
    case 32:
      return EVP_aes_256_gcm();
    default:
      return nullptr;
  }
}

static Result<void> usableKey(const SymmetricKey& key) {
  if (key.derivationFailure()) return *key.derivationFailure();
  if (gcmFor(key.bytes().size()) == nullptr) {
    return cryptoError(CryptoErrorCode::incorrectKeySize,
                       "incorrect key size: " + std::to_string(key.bytes().size()) +
                           " bytes; AES-GCM keys are 16, 24 or 32 bytes");
  }
  return {};
}

Result<Data> sealWithNonce(const SymmetricKey& key, std::span<const std::uint8_t> nonce,
                           std::span<const std::uint8_t> plaintext) {
  if (auto usable = usableKey(key); usable.isFailure()) return usable.error();
  if (nonce.size() != kNonceLength) {
    return cryptoError(
        CryptoErrorCode::incorrectParameterSize,
        "incorrect parameter size: a nonce has 12 bytes, not " + std::to_string(nonce.size()));
  }
  std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree> context(EVP_CIPHER_CTX_new());
  Data sealed(kNonceLength + plaintext.size() + kTagLength);
  std::copy(nonce.begin(), nonce.end(), sealed.begin());
  auto failed = [&] {
    wipe(sealed);
    return cryptoError(CryptoErrorCode::cipherFailure, "the cipher failed: " + openSslText());
  };
  if (!context || EVP_EncryptInit_ex(context.get(), gcmFor(key.bytes().size()), nullptr,
                                     key.bytes().data(), nonce.data()) != 1) {
    return failed();
  }
  std::uint8_t* out = sealed.data() + kNonceLength;
  for (std::size_t done = 0; done < plaintext.size();) {
    const std::size_t piece = std::min(kPiece, plaintext.size() - done);
    int written = 0;
    if (EVP_EncryptUpdate(context.get(), out + done, &written, plaintext.data() + done,
                          static_cast<int>(piece)) != 1) {
      return failed();
    }
    done += static_cast<std::size_t>(written);
  }
  int finalLength = 0;
  std::uint8_t* tag = sealed.data() + kNonceLength + plaintext.size();
  if (EVP_EncryptFinal_ex(context.get(), tag, &finalLength) != 1 ||
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagLength), tag) !=
          1) {
    return failed();
  }
  return sealed;
}

Result<Data> open(const SymmetricKey& key, std::span<const std::uint8_t> sealed) {
  if (auto usable = usableKey(key); usable.isFailure()) return usable.error();
  if (sealed.size() < kNonceLength + kTagLength) {
    return cryptoError(CryptoErrorCode::incorrectParameterSize,
                       "incorrect parameter size: sealed data of " + std::to_string(sealed.size()) +
                           " bytes is shorter than 28 (12-byte nonce and 16-byte tag)");
  }
  const auto nonce = sealed.first(kNonceLength);
  const auto ciphertext = sealed.subspan(kNonceLength, sealed.size() - kNonceLength - kTagLength);
  // EVP_CTRL_GCM_SET_TAG takes a non-const pointer; it only reads.
  std::array<std::uint8_t, kTagLength> tag{};
  std::copy(sealed.end() - kTagLength, sealed.end(), tag.begin());

  std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree> context(EVP_CIPHER_CTX_new());
  Data plaintext(ciphertext.size());
  if (!context || EVP_DecryptInit_ex(context.get(), gcmFor(key.bytes().size()), nullptr,
                                     key.bytes().data(), nonce.data()) != 1) {
    return cryptoError(CryptoErrorCode::cipherFailure, "the cipher failed: " + openSslText());
  }
  for (std::size_t done = 0; done < ciphertext.size();) {
    const std::size_t piece = std::min(kPiece, ciphertext.size() - done);
    int written = 0;
    if (EVP_DecryptUpdate(context.get(), plaintext.data() + done, &written,
                          ciphertext.data() + done, static_cast<int>(piece)) != 1) {
      wipe(plaintext);
      return cryptoError(CryptoErrorCode::cipherFailure, "the cipher failed: " + openSslText());
    }
    done += static_cast<std::size_t>(written);
  }
  int finalLength = 0;
  if (EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagLength),
                          tag.data()) != 1 ||
      EVP_DecryptFinal_ex(context.get(), plaintext.data() + plaintext.size(), &finalLength) != 1) {
    // Unauthenticated plaintext never leaves.
    wipe(plaintext);
    ERR_clear_error();
    return cryptoError(CryptoErrorCode::authenticationFailure,
                       "authentication failure: the key is wrong or the sealed data was altered");
  }
  return plaintext;
}

namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::string base64Encode(std::span<const std::uint8_t> bytes) {
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t left = std::min<std::size_t>(3, bytes.size() - i);
    std::uint32_t group = std::uint32_t{bytes[i]} << 16;
    if (left > 1) group |= std::uint32_t{bytes[i + 1]} << 8;
    if (left > 2) group |= bytes[i + 2];
    for (std::size_t k = 0; k < 4; ++k) {
      text += k <= left ? kAlphabet[(group >> (18 - 6 * k)) & 0x3F] : '=';
    }
  }
  return text;
}

std::optional<Data> base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t padding = 0;
  if (!text.empty() && text.back() == '=') ++padding;
  if (text.size() >= 2 && text[text.size() - 2] == '=') ++padding;
  if (padding == 1 && text.size() >= 2 && text[text.size() - 2] == '=') return std::nullopt;
  Data bytes;
  bytes.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    const std::size_t digits = last ? 4 - padding : 4;
    std::uint32_t group = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      int value = 0;
      if (k < digits) {
        value = base64Value(text[i + k]);
        if (value < 0) return std::nullopt;
      }
      group = (group << 6) | static_cast<std::uint32_t>(value);
    }
    // Unused bits of a padded group must be zero: one text per key.
    if (digits == 3 && (group & 0xFF) != 0) return std::nullopt;
    if (digits == 2 && (group & 0xFFFF) != 0) return std::nullopt;
    bytes.push_back(static_cast<std::uint8_t>(group >> 16));
    if (digits > 2) bytes.push_back(static_cast<std::uint8_t>(group >> 8));
    if (digits > 3) bytes.push_back(static_cast<std::uint8_t>(group));
  }
  return bytes;
}

namespace {

// Length of the valid UTF-8 sequence at `i`, or 0; `maximal` is the length
// of its longest valid prefix when invalid (at least 1).
std::size_t sequenceAt(std::string_view s, std::size_t i, std::size_t& maximal) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char lead = byte(i);
  maximal = 1;
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  for (std::size_t k = 1; k < length; ++k) {
    if (i + k >= s.size()) return 0;
    const unsigned char next = byte(i + k);
    const unsigned char from = k == 1 ? low : 0x80;
    const unsigned char to = k == 1 ? high : 0xBF;
    if (next < from || next > to) return 0;
    maximal = k + 1;
  }
  return length;
}

}  // namespace

bool isValidUtf8(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    std::size_t maximal = 0;
    const std::size_t length = sequenceAt(bytes, i, maximal);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

std::string utf8Replacing(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    std::size_t maximal = 0;
    const std::size_t length = sequenceAt(bytes, i, maximal);
    if (length == 0) {
      text += "\xEF\xBF\xBD";
      i += maximal;
    } else {
      text.append(bytes.substr(i, length));
      i += length;
    }
  }
  return text;
}

}  // namespace mornik::detail
