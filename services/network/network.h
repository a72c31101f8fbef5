// The network commands' face on the main thread: payloads read and checked here (a refused one is
// answered at once), the rest handed to the client's own thread (client.h), which replies from there.
#pragma once

#include <memory>

#include "json.h"
#include "protocol/reply.h"

namespace mirelo::services::network {

class Client;

// The one network client: HTTPS requests and secure WebSockets. Main thread only.
class NativeNetwork {
 public:
  static NativeNetwork& shared();

  void http(const Json& payload, Reply reply);
  void cancel(const Json& payload);
  void open(const Json& payload, Reply reply);
  void send(const Json& payload, Reply reply);
  void receive(const Json& payload, Reply reply);
  void close(const Json& payload, Reply reply);

 private:
  NativeNetwork();
  std::unique_ptr<Client> client_;
};

}  // namespace mirelo::services::network
