#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "json.h"

namespace mirelo::services {

// One request line's envelope: a JSON object with a string `id` and a string `command`; `payload`
// when it is an object, else an empty object. Anything else is no request (dropped, no reply).
struct Request {
  std::string id;
  std::string command;
  Json payload;
};

std::optional<Request> parseRequest(std::optional<Json> value);

// The same from a reader that has loaded a line. The payload is built only when
// `wantsPayload(command)`: a command that will not run is answered without it, so a large line for
// an unknown command costs no copy of its strings.
std::optional<Request> parseRequest(JsonReader& loaded, const std::function<bool(std::string_view)>& wantsPayload);

}  // namespace mirelo::services
