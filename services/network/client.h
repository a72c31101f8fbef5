// What lives on the network thread (network_thread.h): the tables of
// live requests and sockets, the byte budget over all response bodies, the kept connections, and
// the cancels the main thread has noted. Everything but the cancel note is touched on the network
// thread only, one handler at a time, so it needs no lock. Plain Asio: the sessions' Beast code is
// in http_request.cpp and web_socket.cpp.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ssl/context.hpp>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "connector.h"
#include "lookup_pool.h"
#include "protocol/reply.h"
#include "proxy_config.h"
#include "url.h"

namespace mirelo::services::network {

namespace asio = boost::asio;

struct Connection;
class HttpRequest;
class Socket;

// What an `http` command asks for, its payload checked on the main thread.
struct HttpOrder {
  Url target;
  bool post = false;
  std::string body;  // decoded, for a POST
  int64_t limit = 0;
  Duration timeout{0};
  std::string requestId;
};

class Client {
 public:
  Client();
  ~Client();

  // The commands, called by the thread that runs them (the main or the network thread): each posts
  // its work to the network thread.
  void http(HttpOrder order, Reply reply);
  void cancel(const std::string& requestId);
  void open(Url target, std::string socketId, Reply reply);
  void send(std::optional<std::string> socketId, std::optional<std::string> data, Reply reply);
  void receive(std::optional<std::string> socketId, Reply reply);
  void close(std::optional<std::string> socketId, Reply reply);

  // For the sessions, on the network thread.
  asio::io_context& context() { return ioc_; }
  asio::ssl::context& tls() { return tls_; }
  LookupPool& lookups() { return lookups_; }
  // The routes the environment gives `host`; nullopt when GIO's resolver is to be asked instead.
  std::optional<Routes> fixedRoutes(const std::string& host) const;
  // Whether a cancel of `requestId` was noted and not yet carried out (any thread).
  bool isCancelling(const std::string& requestId);
  // The body bytes live requests may still hold together, and the taking and giving back of them.
  size_t bodyRoom() const;
  void charge(size_t bytes) { buffered_ += bytes; }
  // A request leaves the table and gives its `bytes` back.
  void finished(int64_t task, size_t bytes);
  // A socket leaves the table; false when it had left already (the host closed it).
  bool leave(const Socket& socket);
  // A kept connection for `key` with nothing to read, or null; keeping one that stands idle.
  std::shared_ptr<Connection> takeIdle(const std::string& key);
  void keepIdle(const std::shared_ptr<Connection>& connection);

 private:
  std::shared_ptr<Socket> findSocket(const std::optional<std::string>& socketId) const;

  asio::io_context& ioc_;  // the network thread's (network_thread.h)
  asio::ssl::context tls_;
  // Lookups on threads of their own, so none waits for another (asio's resolver has one).
  LookupPool lookups_;
  // Where connections go: GIO's resolver, asked per connection, or the environment read once.
  proxy::Environment environment_;
  bool gioProxies_;
  int64_t nextTask_ = 1;
  std::map<int64_t, std::shared_ptr<HttpRequest>> requests_;
  std::map<int64_t, std::shared_ptr<Socket>> sockets_;
  size_t buffered_ = 0;  // response bytes held by the requests in `requests_`, and by no others
  std::map<std::string, std::deque<std::shared_ptr<Connection>>> pool_;

  // The `requestId`s of cancels handed over by the main thread and not yet carried out here. The
  // host may have read the cancel's reply already: a request about to be written checks this
  // first, so it never reaches the server after that reply.
  std::mutex cancelLock_;
  std::vector<std::string> cancelling_;
};

}  // namespace mirelo::services::network
