// Where one connection goes: straight to its host, or through a proxy (an HTTP CONNECT tunnel, or
// SOCKS5 with the name looked up here or by the proxy). Decided per connection (proxy_config.h);
// a connection kept for reuse is kept under its route, so it never carries a request of another.
#pragma once

#include <string>
#include <vector>

namespace mirelo::services::network {

struct Route {
  enum class Kind { direct, connect, socks5, socks5h };
  Kind kind = Kind::direct;
  std::string host;  // the proxy: a name, or an address literal without brackets
  std::string port;
  std::string user;  // percent-decoded; used when `credentials`
  std::string password;
  bool credentials = false;

  bool direct() const { return kind == Kind::direct; }
  // Tells routes apart for the connection pool.
  std::string key() const {
    if (direct()) return "direct";
    static const char* names[] = {"direct", "connect", "socks5", "socks5h"};
    std::string out = names[static_cast<int>(kind)];
    out += "|" + host + "|" + port;
    if (credentials) out += "|" + std::to_string(user.size()) + ":" + user + password;
    return out;
  }
  // For errors: "proxy HOST:PORT".
  std::string name() const {
    return host.find(':') != std::string::npos ? "[" + host + "]:" + port : host + ":" + port;
  }
};

// The routes to try in order: the first whose proxy accepts the TCP connection is taken. Empty
// with `failure` set when no route can be used (a proxy setting we cannot follow, GIO's error).
struct Routes {
  std::vector<Route> list;
  std::string failure;
};

}  // namespace mirelo::services::network

#include <boost/system/error_code.hpp>
#include <functional>

namespace mirelo::services::network {

// A tunnel being opened through a proxy on a connected socket (tunnel_connect.h,
// tunnel_socks5.h). `TunnelDone` runs once: no error when the tunnel is open, else the error and,
// for what the proxy said, a text that says it (empty: the error's own message).
using TunnelDone = std::function<void(boost::system::error_code, std::string failure)>;

class Tunnel {
 public:
  virtual ~Tunnel() = default;
  // Stops the step; its `TunnelDone` never runs after this. The socket stays the caller's.
  virtual void cancel() = 0;
};

}  // namespace mirelo::services::network
