#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"
#include "mornik/crypto/SymmetricKey.hpp"
#include "mornik/text/URL.hpp"

MORNIK_EXPORTS_BEGIN

// One text kept sealed in one file, under a key of the caller's.
//
//   auto file = mornik::FileCrypted::make(mornik::asURL(path), key);
//   file->setContentR("the secret");                 // Result<void>
//   mornik::Result<std::string> text = file->getContentR();
//
// The whole file is the sealed form of the text's UTF-8 bytes (CryptoTav):
// 12-byte nonce, ciphertext, 16-byte tag, nothing else; an empty text is 28
// bytes. Nothing is kept in memory between calls: every read opens the
// file, every write replaces it through writeAtomically (fileio/AtomicFile)
// with mode 0600; a file that already exists with a wider mode is narrowed
// to 0600 before it is replaced. The opened plaintext is wiped once it has
// been copied into the returned text.
//
// Errors: the read and write errors of fileio (a missing file, a folder at
// the path: "can't read ...", "can't write ...: it is a folder"), the
// Crypto errors of CryptoTav (a truncated or altered file, a wrong key:
// incorrectParameterSize or authenticationFailure), and "can't convert
// Data to string" (WTF, code 0) when the opened bytes are not UTF-8.
//
// Thread safety: every member may be called from any thread; two writers of
// one file each replace it whole, and the last rename wins.
// Ownership: held by std::shared_ptr (make()); holds a copy of the key.
namespace mornik {

class FileCrypted {
  struct Passkey {};

 public:
  FileCrypted(Passkey /*unused*/, URL url, SymmetricKey key);
  // Touches no file.
  static std::shared_ptr<FileCrypted> make(URL url, SymmetricKey key);

  const URL& url() const { return url_; }
  const SymmetricKey& key() const { return key_; }

  // Whether an item (of any kind) exists at the URL's path.
  bool exists() const;
  Result<void> setContentR(std::string_view text) const;
  Result<std::string> getContentR() const;

 private:
  const URL url_;
  const SymmetricKey key_;
};

}  // namespace mornik

MORNIK_EXPORTS_END
