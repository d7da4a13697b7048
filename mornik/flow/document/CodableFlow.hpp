#pragma once

#include <memory>
#include <string>
#include <utility>

#include "mornik/base/ErrorFlow.hpp"
#include "mornik/base/Export.hpp"
#include "mornik/flow/document/Document.hpp"
#include "mornik/settings/UserDefaults.hpp"
#include "mornik/text/Json.hpp"
#include "mornik/text/URL.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// The JSON documents of one encodable type, named once:
//
//   auto settings = mornik::flow<Settings>().documentJsonURL(url, Settings{});
//   auto layout = mornik::flow<Layout>().documentJsonUserDefaultsKey("layout", Layout{});
//
// Each operation is exactly the Document factory of the same name (see
// Document.hpp). A CodableFlow holds nothing.
template <class T>
  requires Decodable<T> && Encodable<T>
struct CodableFlow {
  // Flow::Document<T>::makeJsonURL.
  typename Flow::Document<T>::Pointer documentJsonURL(
      const URL& jsonURL, T defaultContent, std::shared_ptr<ErrorFlow> errors = nullptr) const {
    return Flow::Document<T>::makeJsonURL(jsonURL, std::move(defaultContent), std::move(errors));
  }

  // Flow::Document<T>::makeJsonUserDefaultsKey.
  typename Flow::Document<T>::Pointer documentJsonUserDefaultsKey(
      const std::string& key, T defaultContent, std::shared_ptr<ErrorFlow> errors = nullptr,
      std::shared_ptr<UserDefaults> userDefaults = UserDefaults::standard()) const {
    return Flow::Document<T>::makeJsonUserDefaultsKey(key, std::move(defaultContent),
                                                      std::move(errors), std::move(userDefaults));
  }
};

// The CodableFlow of T.
template <class T>
  requires Decodable<T> && Encodable<T>
CodableFlow<T> flow() {
  return {};
}

}  // namespace mornik

MORNIK_EXPORTS_END
