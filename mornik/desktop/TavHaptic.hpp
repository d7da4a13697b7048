#pragma once

#include "mornik/base/Export.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// The patterns of a haptic tap.
enum class HapticFeedbackPattern { generic, alignment, levelChange };

// A single haptic tap.
//
// Linux desktops have no haptic feedback device for applications to drive,
// so vibrate() does nothing: callers may use it unconditionally, and a port
// to a desktop with such a device fills it in.
class TavHaptic {
 public:
  TavHaptic() = delete;
  static void vibrate(HapticFeedbackPattern /*style*/) {}
};

}  // namespace mornik

MORNIK_EXPORTS_END
