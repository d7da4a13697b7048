#include "mornik/desktop/AppInfo.hpp"

#include "mornik/settings/AppIdentity.hpp"

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
  // The two characters \ and n stand for a line break.
  const std::string value = bundle.text(AppIdentity::kCopyrightKey);
  std::string text;
  text.reserve(value.size());
  for (std::size_t at = 0; at < value.size(); ++at) {
    if (value[at] == '\\' && at + 1 < value.size() && value[at + 1] == 'n') {
      text.push_back('\n');
      ++at;
    } else {
      text.push_back(value[at]);
    }
  }
  return text;
}

}  // namespace mornik
