// What the CONNECT and SOCKS5 tunnels share: the socket they work on, the route, one timer over
// the whole step, and a completion that runs exactly once (never after `cancel`). Plain Asio.
#pragma once

#include <boost/asio/error.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <string>
#include <utility>

#include "route.h"

namespace mirelo::services::network {

class TunnelStep : public Tunnel {
 public:
  void cancel() override {
    done_ = nullptr;
    finish(boost::asio::error::operation_aborted, "");
  }

 protected:
  TunnelStep(boost::asio::ip::tcp::socket& socket, const Route& route, TunnelDone done)
      : socket_(socket), route_(route), done_(std::move(done)), timer_(socket.get_executor()) {}

  // Ends the step once: the timer and, on an error, what is pending on the socket are cancelled.
  void finish(boost::system::error_code ec, std::string failure) {
    if (finished_) return;
    finished_ = true;
    timer_.cancel();
    onFinish();
    if (ec) {
      boost::system::error_code ignored;
      socket_.cancel(ignored);
    }
    auto done = std::move(done_);
    done_ = nullptr;
    if (done) done(ec, std::move(failure));
  }

  // What a tunnel has pending besides the socket and the timer.
  virtual void onFinish() {}

  boost::asio::ip::tcp::socket& socket_;
  Route route_;
  TunnelDone done_;
  boost::asio::steady_timer timer_;
  bool finished_ = false;
};

}  // namespace mirelo::services::network
