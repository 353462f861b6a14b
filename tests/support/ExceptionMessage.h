// The message of the value model's exception an action throws.
#pragma once

#include <functional>
#include <string>

#include "element/Exception.h"

namespace tarvell::testing {

// The exception's message, or "(no exception)" when the action returns.
inline std::string MessageOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const Exception& e) {
    return e.getMessage();
  }
  return "(no exception)";
}

}  // namespace tarvell::testing
