#pragma once

#include <gmock/gmock.h>

#include "mornik/base/Error.hpp"

namespace mornik::test {

// EXPECT_THAT(future->wait(), Succeeded(42)): a successful Result holding
// the value (for Result<void>: Succeeded()).
MATCHER_P(Succeeded, value, "succeeds with " + testing::PrintToString(value)) {
  if (!arg.isSuccess()) {
    *result_listener << "fails with " << arg.error().localizedDescription();
    return false;
  }
  return arg.value() == value;
}
MATCHER(Succeeded, "succeeds") { return arg.isSuccess(); }

// EXPECT_THAT(result, Failed(WTF("gone", 3))): a failed Result holding an
// equal error; FailedWith("text") compares the description only.
MATCHER_P(Failed, error, "fails with " + error.localizedDescription()) {
  if (arg.isSuccess()) return false;
  *result_listener << "fails with " << arg.error().localizedDescription();
  return arg.error() == error;
}
MATCHER_P(FailedWith, text, std::string("fails with ") + text) {
  if (arg.isSuccess()) return false;
  *result_listener << "fails with " << arg.error().localizedDescription();
  return arg.error().localizedDescription() == text;
}

}  // namespace mornik::test
