// The network commands' face: payloads read and checked here (a refused one is answered at once),
// the rest handed to the network thread (client.h), which replies from there.
#pragma once

#include <memory>

#include "json.h"
#include "protocol/reply.h"

namespace mirelo::services::network {

class Client;

// The one network client: HTTPS requests and secure WebSockets. Called by one thread at a time:
// the main thread, or the network thread for the commands the request reader runs there.
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
