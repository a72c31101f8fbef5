// What the two sessions share (http_request.h, web_socket.h): the TLS stream, the User-Agent, the
// cancellation error, and `Secure`, the steps every connection begins with: route, connect,
// tunnel, TLS handshake. A CRTP base instantiated once per session; Beast, so only the sessions'
// translation units include it.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "client.h"
#include "connector.h"
#include "proxy_gio.h"
#include "route.h"
#include "tls.h"
#include "tunnel_connect.h"
#include "tunnel_socks5.h"
#include "url.h"

namespace mirelo::services::network {

namespace beast = boost::beast;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using Stream = beast::ssl_stream<beast::tcp_stream>;

inline constexpr const char* kUserAgent = "Mirelo/" MIRELO_VERSION;

inline beast::error_code cancelled() { return asio::error::operation_aborted; }

// SNI for names, and the name or address checked against the certificate's subjectAltName.
inline void configurePeer(Stream& stream, const Url& target) {
  tls::configurePeer(stream.native_handle(), target.host);
}

// Route, connect, tunnel, TLS handshake, each step given `stepTimeout`. `Session` (which makes
// this base its friend) supplies `stopped()` (cancelled or closed meanwhile), `tls()` (its
// stream), `connect()` (the routes are known: connect, or take a kept connection) and
// `onSecured(error)`, where the session goes on. What a proxy said about a failure is in
// `failureText`. Each step first checks `stopped()`.
template <class Session>
class Secure {
 protected:
  Secure(Client& owner, Duration step) : client(owner), stepTimeout(step), routeTimer(owner.context()) {}

  Client& client;
  const Duration stepTimeout;
  Url destination;
  Routes routes;
  size_t routeAt = 0;  // the route being tried, then the one taken
  std::shared_ptr<proxy::GioLookup> proxyLookup;
  asio::steady_timer routeTimer;  // bounds GIO's answer
  std::shared_ptr<Connector> connector;
  std::shared_ptr<Tunnel> tunnel;
  std::string failureText;

  Session& session() { return static_cast<Session&>(*this); }
  const Route& taken() const { return routes.list[routeAt]; }

  // Decides the routes: GIO's resolver when it serves more than the default, else the environment.
  void route(const Url& target) {
    destination = target;
    if (auto fixed = client.fixedRoutes(target.host)) {
      routes = std::move(*fixed);
      return onRoute();
    }
    routeTimer.expires_after(stepTimeout);
    routeTimer.async_wait([self = session().shared_from_this()](beast::error_code ec) {
      if (ec || self->stopped() || !self->proxyLookup) return;
      proxy::cancel(self->proxyLookup);
      self->proxyLookup.reset();
      self->onSecured(beast::error::timeout);
    });
    const std::string host = target.host.find(':') != std::string::npos ? "[" + target.host + "]" : target.host;
    auto answered = [self = session().shared_from_this(), &ioc = client.context()](std::vector<std::string> uris,
                                                                                   std::string failure) {
      asio::post(ioc, [self, uris = std::move(uris), failure = std::move(failure)] {
        if (self->stopped() || !self->proxyLookup) return;
        self->proxyLookup.reset();
        self->routeTimer.cancel();
        if (!failure.empty()) {
          self->routes = {};
          self->routes.failure = failure;
        } else {
          self->routes = proxy::routesFromUris(uris);
        }
        self->onRoute();
      });
    };
    proxyLookup = proxy::lookupGio("https://" + host + ":" + target.port, std::move(answered));
  }

  void onRoute() {
    routeAt = 0;
    if (routes.list.empty()) {
      failureText = routes.failure;
      return session().onSecured(asio::error::host_unreachable);
    }
    session().connect();
  }

  // The TCP connection: to the server, or to the route's proxy.
  void connectRoute() {
    const Route& route = taken();
    const std::string& host = route.direct() ? destination.host : route.host;
    const std::string& port = route.direct() ? destination.port : route.port;
    connector = Connector::start(client.context().get_executor(), client.lookups(), host, port, stepTimeout,
                                 [self = session().shared_from_this()](beast::error_code ec, tcp::socket socket) {
                                   self->onConnect(ec, std::move(socket));
                                 });
  }

  void onConnect(beast::error_code ec, tcp::socket socket) {
    if (session().stopped()) return;
    connector.reset();
    if (ec == asio::error::timed_out) ec = beast::error::timeout;  // the step's time is up
    if (ec) {
      // A proxy that cannot be reached: the next route, if there is one.
      if (routeAt + 1 < routes.list.size()) {
        ++routeAt;
        return connectRoute();
      }
      if (!taken().direct()) failureText = "cannot reach proxy " + taken().name() + ": " + ec.message();
      return session().onSecured(ec);
    }
    auto& layer = beast::get_lowest_layer(session().tls());
    layer.socket() = std::move(socket);
    // Small requests go out at once instead of waiting for the peer's acknowledgement.
    layer.socket().set_option(tcp::no_delay(true), ec);
    const Route& route = taken();
    if (route.direct()) return handshake();
    auto done = [self = session().shared_from_this()](beast::error_code tunnelled, std::string failure) {
      self->onTunnel(tunnelled, std::move(failure));
    };
    tunnel = route.kind == Route::Kind::connect
                 ? connect_tunnel::open(layer.socket(), route, destination.host, destination.port, stepTimeout,
                                        std::move(done))
                 : socks5::open(layer.socket(), client.lookups(), route, destination.host, destination.port,
                                stepTimeout, std::move(done));
  }

  void onTunnel(beast::error_code ec, std::string failure) {
    if (session().stopped()) return;
    tunnel.reset();
    if (ec == asio::error::timed_out) ec = beast::error::timeout;
    if (ec) {
      failureText = std::move(failure);
      return session().onSecured(ec);
    }
    handshake();
  }

  void handshake() {
    auto& layer = beast::get_lowest_layer(session().tls());
    layer.expires_after(stepTimeout);
    session().tls().async_handshake(ssl::stream_base::client, [self = session().shared_from_this()](
                                                                  beast::error_code ec) { self->onHandshake(ec); });
  }

  void onHandshake(beast::error_code ec) {
    if (session().stopped()) return;
    session().onSecured(ec);
  }

  // Cancels what is pending: the proxy lookup, the name lookup and connects, the tunnel.
  void stopResolving() {
    proxy::cancel(proxyLookup);
    proxyLookup.reset();
    routeTimer.cancel();
    if (connector) connector->cancel();
    connector.reset();
    if (tunnel) tunnel->cancel();
    tunnel.reset();
  }
};

}  // namespace mirelo::services::network
