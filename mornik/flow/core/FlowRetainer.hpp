#pragma once

#include <memory>

#include "mornik/base/Export.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::Flow {

// Something that can keep other objects alive for as long as it lives:
// futures, signals and pools. Operators use it to tie a derived object, a
// source or a target to the lifetime of the object they were applied to.
//
//   future->retain(derived);  // `derived` lives at least as long as `future`
//
// Any object held by a std::shared_ptr converts to the argument. Retained
// objects are released only when the retainer itself is destroyed.
//
// Thread safety: retain() may be called from any thread.
class FlowRetainer {
 public:
  virtual ~FlowRetainer() = default;

  // Keeps `object` alive at least as long as this retainer lives.
  virtual void retain(std::shared_ptr<const void> object) = 0;

 protected:
  FlowRetainer() = default;
  FlowRetainer(const FlowRetainer&) = default;
  FlowRetainer& operator=(const FlowRetainer&) = default;
};

}  // namespace mornik::Flow

MORNIK_EXPORTS_END
