#pragma once

#include <memory>

#include "mornik/base/Error.hpp"
#include "mornik/base/Export.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// The library's error sink: something that collects errors and can pass them
// on to another sink. Error pools and pools implement it.
//
// Holders keep sinks weakly (std::weak_ptr): handing an ErrorFlow to an
// operation never keeps it alive.
class ErrorFlow {
 public:
  virtual ~ErrorFlow() = default;

  // Takes in one error.
  virtual void append(const Error& error) = 0;
  // From now on, errors this sink receives are also handed to `target`
  // (held weakly).
  virtual void forwardErrors(const std::shared_ptr<ErrorFlow>& target) = 0;

 protected:
  ErrorFlow() = default;
  ErrorFlow(const ErrorFlow&) = default;
  ErrorFlow& operator=(const ErrorFlow&) = default;
};

}  // namespace mornik

MORNIK_EXPORTS_END
