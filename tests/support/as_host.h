#pragma once

#include "json.h"

namespace mirelo::services::testing {

// A reply value as the host reads it: written by the program's writer and parsed back, so values
// the writer encodes on the way (bytes as Base64) come back as their text.
inline Json asHost(const Json& value) {
  const auto text = writeJson(value);
  return text ? Json::parse(*text) : Json();
}

}  // namespace mirelo::services::testing
