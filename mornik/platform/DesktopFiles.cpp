#include "mornik/platform/DesktopFiles.hpp"

#include <cerrno>
#include <system_error>
#include <utility>

#include "mornik/concurrency/LockingProtocol.hpp"
#include "mornik/platform/detail/AdapterSlot.hpp"
#include "mornik/platform/detail/DesktopFactories.hpp"

namespace mornik {

namespace {

// Without the desktop library: the trash fails with the reason, and
// nothing is known.
class UnavailableFiles final : public DesktopFiles {
 public:
  // NOLINTNEXTLINE(bugprone-throw-keyword-missing): kept to be returned, not thrown
  explicit UnavailableFiles(Error why) : why_(std::move(why)) {}

  Result<void> moveToTrash(const std::filesystem::path& /*item*/) override { return why_; }
  std::optional<ItemInfo> queryItem(const std::filesystem::path& /*item*/) override { return {}; }
  std::string contentTypeForName(std::string_view /*name*/) override {
    return "application/octet-stream";
  }
  std::optional<double> dateAdded(const std::filesystem::path& /*item*/) override { return {}; }
  std::optional<std::pair<int, int>> imageSize(const std::filesystem::path& /*image*/) override {
    return {};
  }
  std::optional<Thumbnail> thumbnail(const std::filesystem::path& /*image*/,
                                     int /*side*/) override {
    return {};
  }
  Result<Thumbnail> iconImage(const std::vector<std::string>& /*names*/, int /*side*/) override {
    return why_;
  }

 private:
  const Error why_;
};

detail::AdapterSlot<DesktopFiles>& slot() {
  static detail::AdapterSlot<DesktopFiles> files(
      "the desktop's file information", [](const Error& why) -> std::shared_ptr<DesktopFiles> {
        return std::make_shared<UnavailableFiles>(why);
      });
  return files;
}

}  // namespace

void detail::setDesktopFactory(Result<std::shared_ptr<DesktopFiles>> (*factory)()) {
  slot().setFactory(factory);
}

Result<std::shared_ptr<DesktopFiles>> DesktopFiles::forDesktop() { return slot().forDesktop(); }
std::shared_ptr<DesktopFiles> DesktopFiles::shared() { return slot().get(); }
void DesktopFiles::setShared(std::shared_ptr<DesktopFiles> files) { slot().set(std::move(files)); }

std::optional<DesktopFiles::Image> DesktopFiles::decodeImage(
    const std::filesystem::path& /*image*/) {
  return std::nullopt;
}

// ---- MemoryDesktopFiles ----

Result<void> MemoryDesktopFiles::moveToTrash(const std::filesystem::path& item) {
  std::error_code error;
  std::filesystem::create_directories(trash_, error);
  if (!error) std::filesystem::rename(item, trash_ / item.filename(), error);
  if (error) return Error::fromErrno(error.value(), "trash " + item.string());
  detail::ScopedLock<UnfairLock> guard(lock_);
  trashed_.push_back(item);
  return {};
}

std::optional<DesktopFiles::ItemInfo> MemoryDesktopFiles::queryItem(
    const std::filesystem::path& item) {
  detail::ScopedLock<UnfairLock> guard(lock_);
  const auto found = items_.find(item);
  if (found == items_.end()) return std::nullopt;
  return found->second;
}

std::string MemoryDesktopFiles::contentTypeForName(std::string_view name) {
  detail::ScopedLock<UnfairLock> guard(lock_);
  for (const auto& [suffix, type] : types_) {
    if (name.ends_with(suffix)) return type;
  }
  return "application/octet-stream";
}

std::optional<double> MemoryDesktopFiles::dateAdded(const std::filesystem::path& /*item*/) {
  return std::nullopt;
}

std::optional<std::pair<int, int>> MemoryDesktopFiles::imageSize(
    const std::filesystem::path& /*image*/) {
  return std::nullopt;
}

std::optional<DesktopFiles::Thumbnail> MemoryDesktopFiles::thumbnail(
    const std::filesystem::path& /*image*/, int /*side*/) {
  return std::nullopt;
}

Result<DesktopFiles::Thumbnail> MemoryDesktopFiles::iconImage(const std::vector<std::string>& names,
                                                              int /*side*/) {
  detail::ScopedLock<UnfairLock> guard(lock_);
  for (const std::string& name : names) {
    if (const auto found = icons_.find(name); found != icons_.end()) return found->second;
  }
  return Error::fromErrno(ENOENT, "no icon named " + (names.empty() ? "" : names.front()));
}

void MemoryDesktopFiles::setIcon(const std::string& name, Thumbnail image) {
  detail::ScopedLock<UnfairLock> guard(lock_);
  icons_.insert_or_assign(name, std::move(image));
}

void MemoryDesktopFiles::describe(const std::filesystem::path& item, ItemInfo info) {
  detail::ScopedLock<UnfairLock> guard(lock_);
  items_.insert_or_assign(item, std::move(info));
}

void MemoryDesktopFiles::setContentType(const std::string& suffix, const std::string& type) {
  detail::ScopedLock<UnfairLock> guard(lock_);
  types_.emplace_back(suffix, type);
}

std::vector<std::filesystem::path> MemoryDesktopFiles::trashed() const {
  detail::ScopedLock<UnfairLock> guard(lock_);
  return trashed_;
}

}  // namespace mornik
