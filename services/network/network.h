#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "protocol/reply.h"
#include "json.h"
#include "url.h"

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


}  // namespace mirelo::services::network
