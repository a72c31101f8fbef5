#pragma once

// The TCP acceptor peers connect to: an ephemeral port, IPv6 dual-stack or else IPv4. It accepts
// until it is closed, handing each connection over; out of descriptors or memory, it pauses
// 100 ms rather than spin. Its completions hold it alive and find it closed through its own
// state. Made at "start", closed at shutdown; on the bridge's queue.

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <cstdint>
#include <functional>
#include <memory>

namespace nearby {

class Listener : public std::enable_shared_from_this<Listener> {
 public:
  using Accepted = std::function<void(boost::asio::ip::tcp::socket socket)>;

  // Listening and accepting already, or null when no socket could be made.
  static std::shared_ptr<Listener> open(boost::asio::io_context& queue, Accepted accepted);
  Listener(boost::asio::ip::tcp::acceptor acceptor, uint16_t port, Accepted accepted);

  uint16_t port() const { return port_; }
  void close();

 private:
  void accept();

  boost::asio::ip::tcp::acceptor acceptor_;
  uint16_t port_;
  Accepted accepted_;
  bool closed_ = false;
};

}  // namespace nearby
