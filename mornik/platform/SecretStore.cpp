#include "mornik/platform/SecretStore.hpp"

#include "mornik/concurrency/LockingProtocol.hpp"
#include "mornik/platform/detail/AdapterSlot.hpp"
#include "mornik/platform/detail/DesktopFactories.hpp"

namespace mornik {

namespace {

// Without the desktop library: every call fails with the reason.
class UnavailableSecretStore final : public SecretStore {
 public:
  // NOLINTNEXTLINE(bugprone-throw-keyword-missing): kept to be returned, not thrown
  explicit UnavailableSecretStore(Error why) : why_(std::move(why)) {}
  Result<void> save(const std::string& /*service*/, const std::string& /*account*/,
                    std::span<const std::uint8_t> /*secret*/,
                    const std::string& /*label*/) override {
    return why_;
  }
  Result<std::optional<Bytes>> read(const std::string& /*service*/,
                                    const std::string& /*account*/) override {
    return why_;
  }
  Result<bool> remove(const std::string& /*service*/, const std::string& /*account*/) override {
    return why_;
  }

 private:
  const Error why_;
};

detail::AdapterSlot<SecretStore>& slot() {
  static detail::AdapterSlot<SecretStore> store(
      "the desktop's secret store", [](const Error& why) -> std::shared_ptr<SecretStore> {
        return std::make_shared<UnavailableSecretStore>(why);
      });
  return store;
}

}  // namespace

void detail::setDesktopFactory(Result<std::shared_ptr<SecretStore>> (*factory)()) {
  slot().setFactory(factory);
}

Result<std::shared_ptr<SecretStore>> SecretStore::forDesktop() { return slot().forDesktop(); }
std::shared_ptr<SecretStore> SecretStore::shared() { return slot().get(); }
void SecretStore::setShared(std::shared_ptr<SecretStore> store) { slot().set(std::move(store)); }

// ---- MemorySecretStore ----

Result<void> MemorySecretStore::save(const std::string& service, const std::string& account,
                                     std::span<const std::uint8_t> secret,
                                     const std::string& label) {
  detail::ScopedLock<UnfairLock> guard(lock_);
  if (failure_) return *failure_;
  items_[{service, account}] = Item{Bytes(secret.begin(), secret.end()), label};
  return {};
}

Result<std::optional<SecretStore::Bytes>> MemorySecretStore::read(const std::string& service,
                                                                  const std::string& account) {
  detail::ScopedLock<UnfairLock> guard(lock_);
  if (failure_) return *failure_;
  auto found = items_.find({service, account});
  if (found == items_.end()) return std::optional<Bytes>();
  return std::optional<Bytes>(found->second.secret);
}

Result<bool> MemorySecretStore::remove(const std::string& service, const std::string& account) {
  detail::ScopedLock<UnfairLock> guard(lock_);
  if (failure_) return *failure_;
  return items_.erase({service, account}) > 0;
}

void MemorySecretStore::setFailure(std::optional<Error> error) {
  detail::ScopedLock<UnfairLock> guard(lock_);
  failure_ = std::move(error);
}

std::optional<std::string> MemorySecretStore::label(const std::string& service,
                                                    const std::string& account) const {
  detail::ScopedLock<UnfairLock> guard(lock_);
  auto found = items_.find({service, account});
  if (found == items_.end()) return std::nullopt;
  return found->second.label;
}

}  // namespace mornik
