#pragma once

#include <string>

#include "protocol/error.h"

namespace mirelo::services::testing {

// The message of the error value `f` throws, or "" when it throws none.
template <class F>
std::string errorOf(F&& f) {
  try {
    f();
  } catch (const Error& error) {
    return error.message;
  }
  return "";
}

}  // namespace mirelo::services::testing
