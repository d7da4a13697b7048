#include "mornik/crypto/FileCrypted.hpp"

#include <cerrno>
#include <utility>

#include <sys/stat.h>

#include "mornik/crypto/CryptoTav.hpp"
#include "mornik/crypto/detail/Primitives.hpp"
#include "mornik/crypto/detail/SealedFile.hpp"
#include "mornik/fileio/AtomicFile.hpp"
#include "mornik/fileio/FileContents.hpp"

namespace mornik {

namespace detail {

constexpr mode_t kOwnerOnly = 0600;

Result<void> writeSealedFile(const std::filesystem::path& path,
                             std::span<const std::uint8_t> sealed) {
  // writeAtomically gives the new file the target's mode: narrow it first.
  struct stat status {};
  if (::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
      (status.st_mode & 07777) != kOwnerOnly) {
    if (::chmod(path.c_str(), kOwnerOnly) != 0) {
      return Error::fromErrno(errno, "can't write " + path.string());
    }
  }
  return writeAtomically(path, sealed, AtomicWriteOptions{.newFilePermissions = kOwnerOnly});
}

}  // namespace detail

FileCrypted::FileCrypted(Passkey /*unused*/, URL url, SymmetricKey key)
    : url_(std::move(url)), key_(std::move(key)) {}

std::shared_ptr<FileCrypted> FileCrypted::make(URL url, SymmetricKey key) {
  return std::make_shared<FileCrypted>(Passkey{}, std::move(url), std::move(key));
}

bool FileCrypted::exists() const {
  std::error_code error;
  return std::filesystem::exists(std::filesystem::symlink_status(url_.path(), error));
}

Result<void> FileCrypted::setContentR(std::string_view text) const {
  auto sealed = CryptoTav::encript(key_, text);
  if (sealed.isFailure()) return sealed.error();
  return detail::writeSealedFile(url_.path(), sealed.value());
}

Result<std::string> FileCrypted::getContentR() const {
  auto bytes = readFileContents(url_.path());
  if (bytes.isFailure()) return bytes.error();
  const std::string& sealed = bytes.value();
  return CryptoTav::decriptString(
      key_, std::span(reinterpret_cast<const std::uint8_t*>(sealed.data()), sealed.size()));
}

}  // namespace mornik
