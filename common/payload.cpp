#include "payload.h"

#include <cmath>

namespace mirelo {
namespace {

const Json* member(const Json& payload, std::string_view name) {
  if (!payload.is_object()) return nullptr;
  const auto it = payload.find(name);
  return it == payload.end() ? nullptr : &*it;
}

}  // namespace

const Json* readValue(const Json& payload, std::string_view name) { return member(payload, name); }

const std::string* readString(const Json& payload, std::string_view name) {
  const Json* value = member(payload, name);
  return value && value->is_string() ? &value->get_ref<const std::string&>() : nullptr;
}

std::optional<bool> readBoolean(const Json& payload, std::string_view name) {
  const Json* value = member(payload, name);
  if (!value) return std::nullopt;
  if (value->is_boolean()) return value->get<bool>();
  if (value->is_number()) {
    const double number = value->get<double>();
    if (number == 1) return true;
    if (number == 0) return false;
  }
  return std::nullopt;
}

std::optional<int64_t> readInteger(const Json& payload, std::string_view name) {
  const Json* value = member(payload, name);
  if (!value) return std::nullopt;
  if (value->is_number_integer() && !value->is_number_unsigned()) return value->get<int64_t>();
  if (value->is_number_unsigned()) {
    const uint64_t number = value->get<uint64_t>();
    if (number <= static_cast<uint64_t>(INT64_MAX)) return static_cast<int64_t>(number);
    return std::nullopt;
  }
  if (value->is_number_float()) {
    const double number = value->get<double>();
    // [-2^63, 2^63): every double in that range converts exactly.
    if (std::isfinite(number) && number == std::trunc(number) && number >= -9223372036854775808.0 &&
        number < 9223372036854775808.0) {
      return static_cast<int64_t>(number);
    }
  }
  return std::nullopt;
}

const Json* readObject(const Json& payload, std::string_view name) {
  const Json* value = member(payload, name);
  return value && value->is_object() ? value : nullptr;
}

}  // namespace mirelo
