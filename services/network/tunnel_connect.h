// The HTTP CONNECT tunnel (RFC 9110 §9.3.6): "CONNECT host:port HTTP/1.1" with Host (IPv6
// literals in brackets) and Proxy-Authorization: Basic when the route carries credentials; any
// 2xx opens the tunnel. The response head is bounded (16 KiB) and read exactly to its end — peeked
// first, then taken — so no byte after it is consumed: whatever follows belongs to TLS, and no body
// is read after a 2xx, whatever Content-Length says. Other statuses are errors naming the status.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "route.h"

namespace mirelo::services::network::connect_tunnel {

constexpr size_t kMaxHead = size_t{16} * 1024;

// The request for `host` (a name, or an address literal without brackets) and `port`.
std::string request(const std::string& host, const std::string& port, const Route& route);

struct Head {
  enum class State { incomplete, complete, malformed, tooLong };
  State state = State::incomplete;
  size_t length = 0;  // bytes of the head, its blank line included (complete only)
  int status = 0;
  std::string reason;  // printable ASCII only, at most 100 bytes
};

// The response head in `bytes`, the first bytes the proxy sent.
Head parseHead(std::string_view bytes);

// "" when the head opens the tunnel, else the error's text.
std::string refusal(const Head& head);

std::shared_ptr<Tunnel> open(boost::asio::ip::tcp::socket& socket, const Route& route, const std::string& host,
                             const std::string& port, std::chrono::milliseconds timeout, TunnelDone done);

}  // namespace mirelo::services::network::connect_tunnel
