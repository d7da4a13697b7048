#pragma once

#include <map>
#include <optional>
#include <string>

#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"

MORNIK_EXPORTS_BEGIN

// A small dictionary of texts kept sealed in one file under a password,
// bound to this machine.
//
//   mornik::CryptoDictFileID tokens(configFolder + "/tokens", password);
//   tokens.set("github", token);                  // Result<void>
//   mornik::Result<std::string> t = tokens.get("github");
//   tokens.set("github", std::nullopt);           // removes it
//
// The file is the sealed form (CryptoTav) of UTF-8 JSON: one object of
// string values, pretty-printed with its keys sorted. The key is
// SymmetricKey::fromPassword(pass), with this machine's salt: the file opens
// only on the machine that wrote it (SymmetricKey.hpp says what the fixed
// derivation cost means against an attacker holding the file).
//
// Nothing is cached: every get and set reads and opens the file, and
// derives the key anew (10000 PBKDF2 rounds each time); a set seals with a
// fresh nonce and replaces the file through writeAtomically, mode 0600
// (a wider mode of an existing file is narrowed first). Plaintext buffers
// are wiped once used.
//
// The constructor drops one trailing "/" of the path and, when nothing
// exists there, writes the empty dictionary (a failure is ignored: the
// value is made anyway, and the next call reports the problem).
//
// Reading: the opened bytes are read as UTF-8 with invalid sequences
// replaced by U+FFFD, then as a JSON object of strings. With debug() true
// (every constructed value) a failure to read, open or decode is the
// call's failure; with it false, such a file reads as an empty dictionary.
//
// Errors: the read and write errors of fileio; the Crypto errors (a wrong
// password, another machine's or a damaged file: authenticationFailure;
// a truncated one: incorrectParameterSize); JSON errors (domain "JSON") for
// an array or non-string values; and, as WTF errors with code 0:
//   "can't convert Data to string"            a key or value that is not UTF-8
//   "nil for optional value of type <Data>"   sealing failed (the cause is
//                                             the error's underlying error)
//   "nil for optional value of type <String>" get of a key that is not there
// A failed set leaves the file as it was.
//
// Concurrency: no locking. Two writers, in one process or two, may each
// overwrite the other's change (read, change, write is not atomic across
// callers); the file is always one writer's complete dictionary. Callers
// serialise access to one file.
// Thread safety: a value may be copied and used from any thread; copies
// address the same file.

namespace mornik {

class CryptoDictFileID {
 public:
  CryptoDictFileID(std::string path, std::string pass);
  CryptoDictFileID(const CryptoDictFileID&) = default;
  CryptoDictFileID(CryptoDictFileID&&) noexcept = default;
  CryptoDictFileID& operator=(const CryptoDictFileID&) = default;
  CryptoDictFileID& operator=(CryptoDictFileID&&) noexcept = default;
  // Wipes the password.
  ~CryptoDictFileID();

  const std::string& path() const { return path_; }
  bool debug() const { return debug_; }
  void setDebug(bool debug) { debug_ = debug; }

  // Stores `value` under `key`; nothing removes the key.
  Result<void> set(const std::string& key, const std::optional<std::string>& value) const;
  // The value stored under `key`.
  Result<std::string> get(const std::string& key) const;

 private:
  Result<std::map<std::string, std::string>> read() const;

  std::string path_;
  std::string pass_;
  bool debug_ = true;
};

}  // namespace mornik

MORNIK_EXPORTS_END
