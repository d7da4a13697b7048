#pragma once

#include <cstdint>
#include <string_view>

#include "mornik/base/Export.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// Quality of service of a queue: the pool serves work of a higher class
// first. `unspecified` (for new serial queues) is served as `default_`.
enum class QoS : std::uint8_t {
  background,
  utility,
  default_,
  userInitiated,
  userInteractive,
  unspecified,
};

// "background", "utility", "default", "userInitiated", "userInteractive",
// "unspecified".
std::string_view qosName(QoS qos) noexcept;

}  // namespace mornik

MORNIK_EXPORTS_END
