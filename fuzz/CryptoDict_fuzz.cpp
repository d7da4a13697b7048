// Decoding a dictionary file: any opened plaintext reads as a dictionary or
// fails (never a crash); when it reads, a set keeps every entry, adds the
// new one and leaves a file that reads back.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>

#include <unistd.h>

#include "mornik/crypto/CryptoDictFileID.hpp"
#include "mornik/crypto/CryptoTav.hpp"
#include "mornik/fileio/AtomicFile.hpp"
#include "mornik/platform/HardwareAddress.hpp"

#include "fuzz/Check.hpp"

namespace fs = std::filesystem;
using fuzz::check;

namespace {

// A fresh folder on tmpfs, where fsync costs nothing; a fixed machine
// address, and the key derived once.
struct Setting {
  fs::path file;
  mornik::SymmetricKey key = mornik::SymmetricKey(mornik::Data(32));
  Setting() {
    char pattern[] = "/dev/shm/mornik-fuzz-XXXXXX";
    check(::mkdtemp(pattern) != nullptr);
    file = fs::path(pattern) / "dict";
    mornik::HardwareAddressSource::setShared(
        std::make_shared<mornik::FixedHardwareAddress>(mornik::Data{0, 0x1c, 0x42, 1, 2, 3}));
    key = mornik::SymmetricKey::fromPassword("pw");
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Setting setting;
  auto sealed = mornik::CryptoTav::encript(setting.key, std::span<const std::uint8_t>(data, size));
  check(sealed.isSuccess());
  check(mornik::writeAtomically(setting.file, sealed.value()).isSuccess());
  const mornik::CryptoDictFileID dict(setting.file.string(), "pw");
  auto before = dict.get("fuzz-key");
  const bool readable = before.isSuccess() || before.error().localizedDescription() ==
                                                  "nil for optional value of type <String>";
  auto set = dict.set("fuzz-key", "value");
  check(set.isSuccess() == readable);
  if (readable) {
    auto after = dict.get("fuzz-key");
    check(after.isSuccess() && after.value() == "value");
  }
  return 0;
}
