// One HTTP request, from admission to its one reply: route, connect (or a kept connection), tunnel,
// TLS handshake, write, head, body, finish, each step named after what has just completed and
// each first checking whether the request finished meanwhile. While it is in the client's table it
// is live; `finish` takes it out, gives its bytes back and stops whatever is pending. Network
// thread only, but for the constructor (the main thread, as the command arrives).
#pragma once

#include <array>
#include <boost/beast/http.hpp>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "client.h"
#include "response_body.h"
#include "secure.h"

namespace mirelo::services::network {

class HttpRequest : public std::enable_shared_from_this<HttpRequest>, public Secure<HttpRequest> {
 public:
  HttpRequest(Client& client, HttpOrder order, Reply reply);

  // Admitted into the client's table as `task`: goes.
  void start(int64_t task);
  const std::string& requestId() const { return requestId_; }
  // Completes at once with asio's "Operation canceled".
  void cancel() { finish(cancelled()); }

 private:
  friend class Secure<HttpRequest>;

  // For Secure. `stepTimeout` is the request's idle timeout: each step (GIO's answer, the lookup,
  // the connect race, the tunnel, the handshake, every write and read) gets this long.
  bool stopped() const { return finished_; }
  Stream& tls();

  void connect();
  void connectFresh();
  void onSecured(beast::error_code ec);
  void write();
  void onWrite(beast::error_code ec);
  void readHead();
  void onHead(beast::error_code ec);
  void readBody();
  void onRead(beast::error_code ec);
  bool take(std::string_view piece);
  void retryOrFinish(beast::error_code ec);
  bool reusable() const;
  void finish(beast::error_code ec, std::string message = {});

  Reply reply_;
  int64_t task_ = 0;
  std::string requestId_;
  Url target_;
  beast::http::request<beast::http::string_body> message_;
  std::shared_ptr<Connection> connection_;
  std::optional<beast::http::response_parser<beast::http::buffer_body>> parser_;
  std::array<char, size_t{64} * 1024> chunk_;
  ResponseBody body_;
  int64_t status_ = 0;
  asio::steady_timer resource_;  // the whole request
  bool reused_ = false;
  bool retried_ = false;
  bool finished_ = false;
};

}  // namespace mirelo::services::network
