#pragma once

#include <optional>
#include <string>

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

}  // namespace mirelo::services
