#include "mornik/desktop/AppInfo.hpp"

#include "mornik/platform/AppIdentity.hpp"

namespace mornik {

Bundle Bundle::main() { return Bundle(AppIdentity::info()); }

std::string Bundle::text(std::string_view key) const {
  if (!info_.is_object()) return std::string(kInfoPlaceholder);
  auto found = info_.find(key);
  if (found == info_.end() || !found->is_string()) return std::string(kInfoPlaceholder);
  return found->get<std::string>();
}

std::string appName(const Bundle& bundle) { return bundle.text(AppIdentity::kNameKey); }

std::string appBuild(const Bundle& bundle) { return bundle.text(AppIdentity::kBuildKey); }

std::string appVersionLong(const Bundle& bundle) { return bundle.text(AppIdentity::kVersionKey); }

std::string copyright(const Bundle& bundle) {
  std::string value = bundle.text(AppIdentity::kCopyrightKey);
  for (std::size_t at = value.find("\\n"); at != std::string::npos;
       at = value.find("\\n", at + 1)) {
    value.replace(at, 2, "\n");
  }
  return value;
}

}  // namespace mornik
