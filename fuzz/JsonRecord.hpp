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
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT(Record, count, level, size, offset, ratio, value,
                                                on, name, list, sizes)

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
