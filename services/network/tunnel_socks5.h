// The SOCKS5 tunnel (RFC 1928) with no authentication or user and password (RFC 1929). For
// socks5h the name goes to the proxy (the domain-name address type); for socks5 it is looked up
// here first and the address sent (IPv4 or IPv6 type); address literals go as addresses either
// way. The reply's reason codes become errors that say them.
//
// `Handshake` is the client's side as a pure state machine over the proxy's bytes, so it can be
// tested and fuzzed without a socket; `open` drives it on one.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "lookup_pool.h"
#include "route.h"

namespace mirelo::services::network::socks5 {

// What the client does next: write `data` and then read exactly `read` bytes (either may be
// empty), or it is done: open, or failed with `failure`.
struct Step {
  enum class What { exchange, open, failed };
  What what = What::exchange;
  std::string data;
  size_t read = 0;
  std::string failure;
};

class Handshake {
 public:
  // `host` is a name (sent as one; at most 255 bytes) or an address literal without brackets.
  Handshake(const Route& route, std::string host, uint16_t port);
  Step start();
  // The `read` bytes the last step asked for.
  Step received(std::string_view bytes);

 private:
  enum class State { method, auth, replyHead, replyRest, done };
  Step request();
  Step fail(const std::string& failure);
  Route route_;
  std::string host_;
  uint16_t port_;
  State state_ = State::method;
};

// The text of a reply code (RFC 1928 §6).
std::string replyText(uint8_t code);

std::shared_ptr<Tunnel> open(boost::asio::ip::tcp::socket& socket, LookupPool& lookups, const Route& route,
                             const std::string& host, const std::string& port, std::chrono::milliseconds timeout,
                             TunnelDone done);

}  // namespace mirelo::services::network::socks5
