#include "mornik/platform/Pasteboard.hpp"

#include <utility>

#include "mornik/concurrency/LockingProtocol.hpp"
#include "mornik/platform/detail/AdapterSlot.hpp"
#include "mornik/platform/detail/DesktopFactories.hpp"

namespace mornik {

namespace {

detail::AdapterSlot<Pasteboard>& slot() {
  static detail::AdapterSlot<Pasteboard> pasteboard(
      "the desktop clipboard", [](const Error& /*why*/) -> std::shared_ptr<Pasteboard> {
        return std::make_shared<MemoryPasteboard>();
      });
  return pasteboard;
}

}  // namespace

Result<void> Pasteboard::setContents(std::vector<Representation> representations) {
  Result<void> written = clearContents();
  for (Representation& each : representations) {
    if (written.isFailure()) break;
    written = setData(each.first, std::move(each.second));
  }
  return written;
}

Result<void> Pasteboard::setString(std::string_view text) {
  return setData(kPlainText, Bytes(text.begin(), text.end()));
}

std::optional<std::string> Pasteboard::string() const {
  std::optional<Bytes> bytes = data(kPlainText);
  if (!bytes) return std::nullopt;
  return std::string(bytes->begin(), bytes->end());
}

void detail::setDesktopFactory(Result<std::shared_ptr<Pasteboard>> (*factory)()) {
  slot().setFactory(factory);
}

std::shared_ptr<Pasteboard> Pasteboard::general() { return slot().get(); }
void Pasteboard::setGeneral(std::shared_ptr<Pasteboard> pasteboard) {
  slot().set(std::move(pasteboard));
}
Result<std::shared_ptr<Pasteboard>> Pasteboard::forDesktop() { return slot().forDesktop(); }

Result<void> MemoryPasteboard::clearContents() {
  detail::ScopedLock<UnfairLock> guard(lock_);
  contents_.clear();
  ++clears_;
  return {};
}

Result<void> MemoryPasteboard::setData(std::string_view type, Bytes bytes) {
  detail::ScopedLock<UnfairLock> guard(lock_);
  contents_.insert_or_assign(std::string(type), std::move(bytes));
  return {};
}

std::optional<Pasteboard::Bytes> MemoryPasteboard::data(std::string_view type) const {
  detail::ScopedLock<UnfairLock> guard(lock_);
  auto found = contents_.find(type);
  if (found == contents_.end()) return std::nullopt;
  return found->second;
}

std::vector<std::string> MemoryPasteboard::types() const {
  detail::ScopedLock<UnfairLock> guard(lock_);
  std::vector<std::string> all;
  for (const auto& [type, bytes] : contents_) all.push_back(type);
  return all;
}

int MemoryPasteboard::clearCount() const {
  detail::ScopedLock<UnfairLock> guard(lock_);
  return clears_;
}

}  // namespace mornik
