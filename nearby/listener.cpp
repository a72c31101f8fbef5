// The acceptor and its accept loop (see listener.h).
#include "listener.h"

#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/steady_timer.hpp>

namespace nearby {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;

std::shared_ptr<Listener> Listener::open(asio::io_context& queue, Accepted accepted) {
  tcp::acceptor acceptor(queue);
  auto listen = [&](tcp protocol) {
    error_code error;
    acceptor.open(protocol, error);
    if (!error && protocol == tcp::v6()) acceptor.set_option(asio::ip::v6_only(false), error);
    if (!error) acceptor.bind(tcp::endpoint(protocol, 0), error);
    if (!error) acceptor.listen(asio::socket_base::max_listen_connections, error);
    if (error) acceptor.close(error);
    return acceptor.is_open();
  };
  if (!listen(tcp::v6()) && !listen(tcp::v4())) return nullptr;
  error_code error;
  const uint16_t port = acceptor.local_endpoint(error).port();
  if (error) return nullptr;
  auto listener = std::make_shared<Listener>(std::move(acceptor), port, std::move(accepted));
  listener->accept();
  return listener;
}

Listener::Listener(tcp::acceptor acceptor, uint16_t port, Accepted accepted)
    : acceptor_(std::move(acceptor)), port_(port), accepted_(std::move(accepted)) {}

void Listener::close() {
  closed_ = true;
  error_code ignored;
  acceptor_.close(ignored);
}

void Listener::accept() {
  acceptor_.async_accept([self = shared_from_this()](error_code error, tcp::socket socket) {
    if (self->closed_) return;
    if (!error) {
      self->accepted_(std::move(socket));
      return self->accept();
    }
    if (error == asio::error::operation_aborted) return;
    // Out of descriptors or memory: try again shortly rather than spin.
    auto timer = std::make_shared<asio::steady_timer>(self->acceptor_.get_executor(), std::chrono::milliseconds(100));
    timer->async_wait([self, timer](error_code) {
      if (!self->closed_) self->accept();
    });
  });
}

}  // namespace nearby
