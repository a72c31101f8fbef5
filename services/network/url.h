#pragma once

#include <string>
#include <string_view>

#include "json.h"

namespace mirelo::services::network {

// A URL the client accepts: the payload's `url`, at most 2,048 bytes, parsed, of exactly this
// scheme, with a host (a name without empty labels, or an address) and without user, password
// or fragment. Throws "网络地址无效".
struct Url {
  std::string host;
  std::string port;
  std::string target;  // path and query, "/" when empty
  std::string authority;  // host and port as written, for the Host header
};
Url url(const Json& payload, std::string_view scheme);

}  // namespace mirelo::services::network
