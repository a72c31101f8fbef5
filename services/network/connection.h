// One TLS connection of HTTP requests to a host and port, kept between requests while idle
// (Client::keepIdle, takeIdle). Its key says where it goes and how, so a connection made through
// one proxy, or checked for one name, never carries a request that is to go another way.
#pragma once

#include <openssl/ssl.h>
#include <poll.h>

#include <string>

#include "deadline.h"
#include "secure.h"

namespace mirelo::services::network {

// Kept connections are told apart by where they go and how.
inline std::string poolKey(const Url& target, const Route& route) {
  return "https|" + target.host + "|" + target.port + "|" + route.key();
}

struct Connection {
  Connection(asio::io_context& ioc, ssl::context& context, const Url& target) : stream(ioc, context), deadline(ioc) {
    configurePeer(stream, target);
    // The HTTP reader asks the stream for at most the buffer's free capacity, and no less than
    // 512 bytes: left to itself the buffer stays at 512, and a 16 KiB TLS record then takes 32
    // trips through the event loop. With room for a whole record it takes one.
    buffer.reserve(size_t{64} * 1024);
  }

  // Anything to read on an idle connection (bytes, or the peer's end) means the server has moved
  // on from it: it cannot carry another request.
  bool stale() {
    pollfd fd{beast::get_lowest_layer(stream).socket().native_handle(), POLLIN, 0};
    return ::poll(&fd, 1, 0) != 0 || SSL_pending(stream.native_handle()) > 0;
  }

  Stream stream;
  beast::flat_buffer buffer;
  Deadline deadline;  // the request's step while one runs, the idle minute while kept
  std::string key;  // poolKey: target and route, set once connected
};

}  // namespace mirelo::services::network
