#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "json.h"

namespace mirelo {

// Readers for the members of a request payload. A member of the wrong JSON type reads as absent.

// Any JSON value; null when absent.
const Json* readValue(const Json& payload, std::string_view name);
// A JSON string.
const std::string* readString(const Json& payload, std::string_view name);
// true or false; the numbers 1 and 0 read as true and false.
std::optional<bool> readBoolean(const Json& payload, std::string_view name);
// A whole number within the signed 64-bit range (3 and 3.0 both read as 3).
std::optional<int64_t> readInteger(const Json& payload, std::string_view name);
// A JSON object.
const Json* readObject(const Json& payload, std::string_view name);

}  // namespace mirelo
