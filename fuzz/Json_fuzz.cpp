// JSON text: decoding never crashes, however deep the text nests; what
// decodes encodes back to text that decodes to the same value; and a struct,
// a dictionary or an array decodes only when each number fits exactly.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string_view>
#include <vector>

#include "mornik/text/Json.hpp"

#include "fuzz/JsonRecord.hpp"

using fuzz::check;
using mornik::Json;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto model = mornik::decodeFromJson<Json>(text);
  if (model.isSuccess()) {
    const auto again = mornik::asJson(model.value());
    check(again.isSuccess() &&
          mornik::decodeFromJson<Json>(again.value()).value() == model.value());
  }
  if (const auto record = mornik::decodeFromJson<fuzz::Record>(text); record.isSuccess()) {
    fuzz::checkDecodedRecord(model.value(), record.value());
  }
  if (const auto map = mornik::decodeFromJson<std::map<std::string, std::int64_t>>(text);
      map.isSuccess()) {
    check(Json(map.value()) == model.value());
  }
  if (const auto list = mornik::decodeFromJson<std::vector<std::uint16_t>>(text);
      list.isSuccess()) {
    check(Json(list.value()) == model.value());
  }
  return 0;
}
