#include "mornik/settings/UbiquitousKeyValueStore.hpp"

#include "mornik/settings/AppIdentity.hpp"
#include "mornik/text/Json.hpp"

namespace mornik {

std::shared_ptr<UbiquitousKeyValueStore> UbiquitousKeyValueStore::defaultStore() {
  static const std::shared_ptr<UbiquitousKeyValueStore> shared =
      atPath(AppIdentity::applicationSupportFolder() / "ubiquitous-kv.json");
  return shared;
}

std::shared_ptr<UbiquitousKeyValueStore> UbiquitousKeyValueStore::atPath(
    std::filesystem::path file) {
  return std::shared_ptr<UbiquitousKeyValueStore>(new UbiquitousKeyValueStore(std::move(file)));
}

UbiquitousKeyValueStore::~UbiquitousKeyValueStore() {
  bool anyPending = false;
  {
    detail::ScopedLock<UnfairLock> guard(lock_);
    anyPending = !pending_.empty();
  }
  // Best effort: a destructor has nobody to report a failure to.
  if (anyPending) (void)synchronize();
}

std::optional<std::string> UbiquitousKeyValueStore::string(std::string_view key) {
  {
    detail::ScopedLock<UnfairLock> guard(lock_);
    if (const auto found = pending_.find(key); found != pending_.end()) return found->second;
  }
  return detail::KeyValueFile::textOf(*file_.values(), key);
}

Result<void> UbiquitousKeyValueStore::set(std::string_view value, std::string_view key) {
  detail::ScopedLock<UnfairLock> guard(lock_);
  pending_.insert_or_assign(std::string(key), std::string(value));
  return {};
}

Result<void> UbiquitousKeyValueStore::removeObject(std::string_view key) {
  detail::ScopedLock<UnfairLock> guard(lock_);
  pending_.insert_or_assign(std::string(key), std::nullopt);
  return {};
}

Result<void> UbiquitousKeyValueStore::synchronize() {
  std::lock_guard syncing(syncing_);
  Pending applying;
  {
    detail::ScopedLock<UnfairLock> guard(lock_);
    applying = pending_;  // a copy: reads during the write still see the changes
  }
  auto written = file_.update([&](Json& object) {
    for (const auto& [key, value] : applying) {
      if (value) {
        object[key] = *value;
      } else {
        object.erase(key);
      }
    }
    return !applying.empty();
  });
  if (written.isFailure()) return written;
  detail::ScopedLock<UnfairLock> guard(lock_);
  // Changes made while we wrote stay pending for the next synchronize().
  for (const auto& [key, value] : applying) {
    const auto found = pending_.find(key);
    if (found != pending_.end() && found->second == value) pending_.erase(found);
  }
  return {};
}

std::map<std::string, std::string> UbiquitousKeyValueStore::dictionaryRepresentation() {
  const auto values = file_.values();
  std::map<std::string, std::string> out;
  for (const auto& [key, value] : values->items()) {
    if (auto text = detail::KeyValueFile::textOf(*values, key)) out.emplace(key, *std::move(text));
  }
  detail::ScopedLock<UnfairLock> guard(lock_);
  for (const auto& [key, value] : pending_) {
    if (value) {
      out.insert_or_assign(key, *value);
    } else {
      out.erase(key);
    }
  }
  return out;
}

std::optional<Error> UbiquitousKeyValueStore::loadError() const { return file_.loadError(); }

}  // namespace mornik
