#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "mornik/base/Export.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// Small secret texts (tokens, passwords) of one application in the
// desktop's keyring.
//
//   mornik::KeychainStore keychain("org.example.App");
//   keychain.saveValue("token", token);                 // true when stored
//   std::optional<std::string> t = keychain.readValue("token");
//   keychain.deleteValue("token");                      // true when one was removed
//
// Each value is one item of the secret store (platform/SecretStore.hpp,
// shared()): service = bundleId, account = the attribute, labelled
// "<bundleId> (<attribute>)" in keyring managers, the text's UTF-8 bytes as
// its secret. A save replaces the item in one step of the secret service
// (no moment without an item).
//
// Every failure is a false or absent answer, as callers of a keychain
// expect; the reason (no session bus, no secret service, a locked keyring,
// a service that did not answer within the store's timeout) goes to the
// log, never to the caller. Nothing waits for a person: a locked keyring
// answers at once.
//
// Thread safety: a value type; every member may be called from any thread.
class KeychainStore {
 public:
  explicit KeychainStore(std::string bundleId) : bundleId_(std::move(bundleId)) {}

  const std::string& bundleId() const { return bundleId_; }

  // Stores `value` under `attr`; false when it is not UTF-8 or on failure.
  bool saveValue(const std::string& attr, std::string_view value) const;
  // The text under `attr`; absent when there is none, when it is not UTF-8
  // or on failure.
  std::optional<std::string> readValue(const std::string& attr) const;
  // Removes the item under `attr`: true exactly when one was removed.
  bool deleteValue(const std::string& attr) const;

 private:
  std::string bundleId_;
};

}  // namespace mornik

MORNIK_EXPORTS_END
