#include "mornik/platform/FileDialogs.hpp"

#include <utility>

#include "mornik/concurrency/LockingProtocol.hpp"
#include "mornik/platform/detail/AdapterSlot.hpp"
#include "mornik/platform/detail/DesktopFactories.hpp"

namespace mornik {

namespace {

using Chosen = std::optional<std::vector<std::filesystem::path>>;

// Where no dialog can be shown: every run fails with the reason.
class UnavailableDialogs final : public FileDialogs {
 public:
  // NOLINTNEXTLINE(bugprone-throw-keyword-missing): kept to be returned, not thrown
  explicit UnavailableDialogs(Error why) : why_(std::move(why)) {}
  Result<Chosen> run(const Request& /*request*/) override { return why_; }

 private:
  const Error why_;
};

detail::AdapterSlot<FileDialogs>& slot() {
  static detail::AdapterSlot<FileDialogs> dialogs(
      "the desktop's file dialogs", [](const Error& why) -> std::shared_ptr<FileDialogs> {
        return std::make_shared<UnavailableDialogs>(why);
      });
  return dialogs;
}

}  // namespace

void detail::setDesktopFactory(Result<std::shared_ptr<FileDialogs>> (*factory)()) {
  slot().setFactory(factory);
}

Result<std::shared_ptr<FileDialogs>> FileDialogs::forDesktop() { return slot().forDesktop(); }
std::shared_ptr<FileDialogs> FileDialogs::shared() { return slot().get(); }
void FileDialogs::setShared(std::shared_ptr<FileDialogs> dialogs) {
  slot().set(std::move(dialogs));
}

Result<Chosen> MemoryFileDialogs::run(const Request& request) {
  detail::ScopedLock<UnfairLock> guard(lock_);
  requests_.push_back(request);
  if (answers_.empty()) return Chosen();
  Answer answer = std::move(answers_.front());
  answers_.erase(answers_.begin());
  return answer;
}

void MemoryFileDialogs::answerNext(Answer answer) {
  detail::ScopedLock<UnfairLock> guard(lock_);
  answers_.push_back(std::move(answer));
}

std::vector<FileDialogs::Request> MemoryFileDialogs::requests() const {
  detail::ScopedLock<UnfairLock> guard(lock_);
  return requests_;
}

}  // namespace mornik
