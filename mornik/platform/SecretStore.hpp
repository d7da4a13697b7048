#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"
#include "mornik/concurrency/ThreadAnnotations.hpp"
#include "mornik/concurrency/UnfairLock.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// The desktop's store of small secrets (tokens, passwords), one item per
// service and account, as the keychain (desktop/KeychainStore.hpp) needs it.
//
//   auto store = mornik::SecretStore::shared();
//   store->save("org.example.App", "token", bytes, "org.example.App: token");
//   mornik::Result<std::optional<mornik::Data>> token = store->read("org.example.App", "token");
//
// The real adapter (mornik-desktop) speaks the Secret Service D-Bus API
// through libsecret, on the library's GLib thread: items of the schema
// "org.mornik.Secret" with the attributes "service" and "account", stored in
// the default collection (the login keyring) under a label a keyring
// manager shows. It never asks for a prompt: a locked collection or a
// locked item is a failure ("the keyring is locked"), answered at once.
// Every call waits at most `busTimeoutMs` for the service; past that it is
// cancelled and fails ("the secret service did not answer within <n> ms").
// Without a session bus every call fails at once ("no D-Bus session bus").
// A program that does not link the desktop library gets a store whose every
// call fails with ENOSYS (see Workspace.hpp); MemorySecretStore stands in
// for the desktop in tests.
//
// Thread safety: every member may be called from any thread.
class SecretStore {
 public:
  using Bytes = std::vector<std::uint8_t>;

  virtual ~SecretStore() = default;
  SecretStore(const SecretStore&) = delete;
  SecretStore& operator=(const SecretStore&) = delete;

  // Stores the secret under service and account, replacing the item there
  // (one item afterwards, never two).
  virtual Result<void> save(const std::string& service, const std::string& account,
                            std::span<const std::uint8_t> secret, const std::string& label) = 0;
  // The secret under service and account; nothing when there is no item.
  virtual Result<std::optional<Bytes>> read(const std::string& service,
                                            const std::string& account) = 0;
  // Removes the items under service and account: true when one was removed.
  virtual Result<bool> remove(const std::string& service, const std::string& account) = 0;

  struct Options {
    int busTimeoutMs = 5000;  // per call
  };
  // The libsecret adapter (mornik-desktop).
  static std::shared_ptr<SecretStore> makeDesktop(Options options);
  // The libsecret adapter with default options, when the program links the
  // desktop library; else the ENOSYS failure.
  static Result<std::shared_ptr<SecretStore>> forDesktop();
  // The process-wide store: the one installed last, else (made on first
  // use) forDesktop(), else one that fails every call with its failure.
  static std::shared_ptr<SecretStore> shared();
  // Installs `store` as the shared one (null: the default again).
  static void setShared(std::shared_ptr<SecretStore> store);

 protected:
  SecretStore() = default;
};

// Secrets in memory, for tests and for machines without a keyring; can be
// told to fail every call.
//
// Thread safety: every member may be called from any thread.
class MemorySecretStore final : public SecretStore {
 public:
  MemorySecretStore() = default;

  Result<void> save(const std::string& service, const std::string& account,
                    std::span<const std::uint8_t> secret, const std::string& label) override
      MORNIK_EXCLUDES(lock_);
  Result<std::optional<Bytes>> read(const std::string& service, const std::string& account) override
      MORNIK_EXCLUDES(lock_);
  Result<bool> remove(const std::string& service, const std::string& account) override
      MORNIK_EXCLUDES(lock_);

  // Every call fails with `error` from now on; nothing: they work again.
  void setFailure(std::optional<Error> error) MORNIK_EXCLUDES(lock_);
  // The label of the item under service and account, if any.
  std::optional<std::string> label(const std::string& service, const std::string& account) const
      MORNIK_EXCLUDES(lock_);

 private:
  struct Item {
    Bytes secret;
    std::string label;
  };
  mutable UnfairLock lock_;
  std::map<std::pair<std::string, std::string>, Item> items_ MORNIK_GUARDED_BY(lock_);
  std::optional<Error> failure_ MORNIK_GUARDED_BY(lock_);
};

}  // namespace mornik

MORNIK_EXPORTS_END
