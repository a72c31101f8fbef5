// One TCP connection to a host, the way every connection of the client begins (HTTP and
// WebSockets alike, to the server or to a proxy): the name looked up on the lookup pool, then the
// addresses raced as RFC 8305 (happy eyeballs v2) asks — interleaved by family, IPv6 first, a new
// attempt every 250 ms or as soon as the one before failed; the first to connect wins and the
// others are closed. The lookup and the race each get the step timeout.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "lookup_pool.h"

namespace mirelo::services::network {

using Duration = std::chrono::milliseconds;

// The order RFC 8305 tries addresses in: families alternate, IPv6 first, each family in the
// system's order.
Endpoints interleaved(const Endpoints& endpoints);

class Connector : public std::enable_shared_from_this<Connector> {
 public:
  using Done = std::function<void(boost::system::error_code, boost::asio::ip::tcp::socket)>;
  static constexpr Duration kAttemptDelay{250};

  // `done` runs once on `executor`: with the connected socket, or with the last attempt's error
  // (asio's timeout error when the step timeout passed), unless cancelled first.
  static std::shared_ptr<Connector> start(const boost::asio::any_io_executor& executor, LookupPool& lookups,
                                          const std::string& host, const std::string& port, Duration timeout,
                                          Done done);
  // Stops the lookup and every attempt; `done` never runs after this.
  void cancel();

  Connector(const boost::asio::any_io_executor& executor, Duration timeout, Done done);
  ~Connector();

 private:
  struct Attempt;
  void onLookup(boost::system::error_code ec, const Endpoints& endpoints);
  void attemptNext();
  void onAttempt(size_t index, boost::system::error_code ec);
  void finish(boost::system::error_code ec, boost::asio::ip::tcp::socket* winner);

  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace mirelo::services::network
