#pragma once

#include <nlohmann/json_fwd.hpp>

#include "mornik/base/Export.hpp"

MORNIK_EXPORTS_BEGIN

// The name of the library's JSON model for headers that only pass it
// around; Json.hpp has the model itself and the encoding and decoding.
namespace mornik {
using Json = nlohmann::json;
}  // namespace mornik

MORNIK_EXPORTS_END
