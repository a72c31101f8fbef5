#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "protocol/reply.h"
#include "json.h"

namespace mirelo::services::network {

// The one network client: HTTPS requests and secure WebSockets. Commands arrive on the main
// thread, which checks their payloads; everything after that (the `requests` and `sockets` tables,
// every I/O completion) runs on the client's own thread, one handler at a time, and replies from
// there.
class NativeNetwork {
 public:
  static NativeNetwork& shared();

  void http(const Json& payload, Reply reply);
  void cancel(const Json& payload);
  void open(const Json& payload, Reply reply);
  // socket-send, socket-receive and socket-close.
  void socket(const Json& payload, const std::string& operation, Reply reply);

  struct Impl;

 private:
  NativeNetwork();
  std::unique_ptr<Impl> impl_;
};

// A URL the client accepts: the payload's `url`, at most 2,048 bytes, parsed, of exactly this
// scheme, with a host and without user, password or fragment. Throws "网络地址无效".
struct Url {
  std::string host;
  std::string port;
  std::string target;     // path and query, "/" when empty
  std::string authority;  // host and port as written, for the Host header
};
Url url(const Json& payload, std::string_view scheme);

}  // namespace mirelo::services::network
