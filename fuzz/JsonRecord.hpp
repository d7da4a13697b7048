// A struct of the number types the JSON decoders check, for the Json and
// Cbor targets, and the property they share: whatever decodes into it holds
// exactly the values of the JSON model (no number rounded, cut or wrapped),
// and encodes back to itself.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "mornik/text/Json.hpp"

#include "fuzz/Check.hpp"

namespace fuzz {

struct Record {
  std::int32_t count = 0;
  std::uint8_t level = 0;
  std::uint64_t size = 0;
  std::int64_t offset = 0;
  float ratio = 0;
  double value = 0;
  bool on = false;
  std::string name;
  std::optional<std::vector<std::int16_t>> list;
  std::map<std::string, unsigned> sizes;
  friend bool operator==(const Record&, const Record&) = default;
};
// As NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT would be, with the
// optional written as its value or null and read through mornik::decode.
inline void to_json(mornik::Json& json, const Record& r) {  // NOLINT(readability-identifier-naming)
  json = {{"count", r.count}, {"level", r.level},
          {"size", r.size},   {"offset", r.offset},
          {"ratio", r.ratio}, {"value", r.value},
          {"on", r.on},       {"name", r.name},
          {"sizes", r.sizes}, {"list", r.list ? mornik::Json(*r.list) : mornik::Json()}};
}
inline void from_json(const mornik::Json& json,
                      Record& r) {  // NOLINT(readability-identifier-naming)
  const Record d;
  r.count = json.value("count", d.count);
  r.level = json.value("level", d.level);
  r.size = json.value("size", d.size);
  r.offset = json.value("offset", d.offset);
  r.ratio = json.value("ratio", d.ratio);
  r.value = json.value("value", d.value);
  r.on = json.value("on", d.on);
  r.name = json.value("name", d.name);
  r.list = mornik::decode(json, "list", d.list);
  r.sizes = json.value("sizes", d.sizes);
}

// `record` was decoded from `model`.
inline void checkDecodedRecord(const mornik::Json& model, const Record& record) {
  check(model.is_object());
  const mornik::Json back(record);
  for (const char* key :
       {"count", "level", "size", "offset", "value", "on", "name", "list", "sizes"}) {
    if (model.contains(key)) check(model[key] == back[key]);
  }
  // A float is the number rounded to float precision (or to 0 below its range).
  if (model.contains("ratio")) {
    const double d = model["ratio"].get<double>();
    check(std::abs(static_cast<double>(record.ratio) - d) <=
          std::abs(d) * 0x1p-23 + std::numeric_limits<float>::denorm_min());
  }
  const auto again = mornik::asJson(record);
  check(again.isSuccess() && mornik::decodeFromJson<Record>(again.value()).value() == record);
}

}  // namespace fuzz
