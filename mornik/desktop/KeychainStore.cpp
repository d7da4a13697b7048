#include "mornik/desktop/KeychainStore.hpp"

#include <span>

#include "mornik/log/BasicLogger.hpp"
#include "mornik/platform/SecretStore.hpp"
#include "mornik/text/Bytes.hpp"

namespace mornik {

namespace {

// Every reason a keychain call answers false or absent is logged, under the
// type's name: the journal shows why a saved token "vanished".
void logWhy(std::string_view why) { BasicLogger::log("KeychainStore", why); }

std::string itemName(const std::string& bundleId, const std::string& attr) {
  return "\"" + attr + "\" of " + bundleId;
}

}  // namespace

bool KeychainStore::saveValue(const std::string& attr, std::string_view value) const {
  if (!string(value, StringEncoding::utf8)) {
    logWhy("can't save " + itemName(bundleId_, attr) + ": the value is not UTF-8");
    return false;
  }
  auto saved = SecretStore::shared()->save(
      bundleId_, attr, std::span(reinterpret_cast<const std::uint8_t*>(value.data()), value.size()),
      bundleId_ + " (" + attr + ")");
  if (saved.isFailure()) {
    logWhy("can't save " + itemName(bundleId_, attr) + ": " + saved.error().localizedDescription());
    return false;
  }
  return true;
}

std::optional<std::string> KeychainStore::readValue(const std::string& attr) const {
  auto read = SecretStore::shared()->read(bundleId_, attr);
  if (read.isFailure()) {
    logWhy("can't read " + itemName(bundleId_, attr) + ": " + read.error().localizedDescription());
    return std::nullopt;
  }
  if (!read.value()) return std::nullopt;
  auto text = string(*read.value(), StringEncoding::utf8);
  if (!text) logWhy("the value of " + itemName(bundleId_, attr) + " is not UTF-8");
  return text;
}

bool KeychainStore::deleteValue(const std::string& attr) const {
  auto removed = SecretStore::shared()->remove(bundleId_, attr);
  if (removed.isFailure()) {
    logWhy("can't delete " + itemName(bundleId_, attr) + ": " +
           removed.error().localizedDescription());
    return false;
  }
  return removed.value();
}

}  // namespace mornik
