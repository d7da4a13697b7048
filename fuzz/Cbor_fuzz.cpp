// Binary archives (CBOR): reading never crashes, however deep the archive
// nests; what reads archives back to the same value; and a struct reads only
// when each number fits its field exactly.
#include <cstddef>
#include <cstdint>

#include "mornik/text/Json.hpp"

#include "fuzz/JsonRecord.hpp"

using fuzz::check;
using mornik::Json;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const mornik::Data archive(data, data + size);
  const auto model = mornik::unarchivedObject<Json>(archive);
  if (model.isFailure()) return 0;
  const auto again = mornik::archived(model.value());
  check(again.isSuccess() &&
        mornik::unarchivedObject<Json>(again.value()).value() == model.value());
  if (const auto record = mornik::unarchivedObject<fuzz::Record>(archive); record.isSuccess()) {
    // Text from an archive need not be UTF-8, which JSON text must be.
    if (mornik::asJson(model.value()).isSuccess())
      fuzz::checkDecodedRecord(model.value(), record.value());
  }
  return 0;
}
