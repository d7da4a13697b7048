#include "mornik/platform/Clipboard.hpp"

#include <utility>

#include "mornik/concurrency/LockedVar.hpp"
#include "mornik/concurrency/LockingProtocol.hpp"

namespace mornik {

namespace {

LockedVar<std::shared_ptr<Clipboard>>& installed() {
  static LockedVar<std::shared_ptr<Clipboard>> clipboard{std::make_shared<MemoryClipboard>()};
  return clipboard;
}

}  // namespace

std::shared_ptr<Clipboard> Clipboard::general() { return installed().read(); }

void Clipboard::setGeneral(std::shared_ptr<Clipboard> clipboard) {
  if (!clipboard) clipboard = std::make_shared<MemoryClipboard>();
  // The previous clipboard is released outside the lock.
  std::shared_ptr<Clipboard> previous =
      installed().access([&](std::shared_ptr<Clipboard>& current) {
        return std::exchange(current, std::move(clipboard));
      });
}

void MemoryClipboard::clearContents() {
  detail::ScopedLock<UnfairLock> guard(lock_);
  text_.reset();
  ++clears_;
}

void MemoryClipboard::setString(std::string_view text) {
  detail::ScopedLock<UnfairLock> guard(lock_);
  text_.emplace(text);
}

std::optional<std::string> MemoryClipboard::string() const {
  detail::ScopedLock<UnfairLock> guard(lock_);
  return text_;
}

int MemoryClipboard::clearCount() const {
  detail::ScopedLock<UnfairLock> guard(lock_);
  return clears_;
}

}  // namespace mornik
