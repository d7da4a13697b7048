#pragma once

#include <nlohmann/json_fwd.hpp>

// The name of the library's JSON model for headers that only pass it
// around; Json.hpp has the model itself and the encoding and decoding.
namespace mornik {
using Json = nlohmann::json;
}  // namespace mornik
