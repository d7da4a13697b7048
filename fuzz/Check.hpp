#pragma once

namespace fuzz {
// A property of a target: a broken one is a finding, like a crash.
inline void check(bool holds) {
  if (!holds) __builtin_trap();
}
}  // namespace fuzz
