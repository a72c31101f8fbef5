// The client's tables on the network thread: admission (bounded at 32 requests and 128 sockets),
// the cancel of a request id, the socket commands found by `socketId` (a walk over at most 128
// sockets), and the kept connections (4 per key, 16 in all, closed after an idle minute). A
// command read on the network thread itself is posted there and costs no wake-up; one run on the
// main thread costs one hand-over.
#include "client.h"

#include <algorithm>
#include <cassert>

#include "connection.h"
#include "http_request.h"
#include "network_thread.h"
#include "proxy_gio.h"
#include "tls.h"
#include "web_socket.h"

namespace mirelo::services::network {
namespace {

constexpr size_t kMaxBuffered = 67'108'864;  // response bodies of all live requests together
constexpr size_t kMaxRequests = 32;
constexpr size_t kMaxSockets = 128;
constexpr auto kPoolIdle = std::chrono::seconds(60);
constexpr size_t kPoolPerHost = 4;
constexpr size_t kPoolTotal = 16;
constexpr size_t kLookupThreads = 16;

}  // namespace

Client::Client()
    : ioc_(networkContext()),
      tls_(asio::ssl::context::tls_client),
      lookups_(kLookupThreads),
      environment_(proxy::Environment::fromProcess()),
      gioProxies_(proxy::gioServesMore()) {
  tls::configureContext(tls_.native_handle());
}

Client::~Client() = default;

void Client::http(HttpOrder order, Reply reply) {
  auto request = std::make_shared<HttpRequest>(*this, std::move(order), reply);
  asio::post(ioc_, [this, request = std::move(request), reply = std::move(reply)] {
    if (requests_.size() >= kMaxRequests) return reply.fail(failure("网络请求过多，请稍候"));
    const int64_t task = nextTask_++;
    requests_.emplace(task, request);
    request->start(task);
  });
}

void Client::cancel(const std::string& requestId) {
  {
    std::lock_guard lock(cancelLock_);
    cancelling_.push_back(requestId);
  }
  // Requests admitted later were asked for after this cancel, and are not its concern: admission
  // runs after this operation, which has taken the id out of `cancelling_` by then.
  asio::post(ioc_, [this, id = requestId] {
    std::vector<std::shared_ptr<HttpRequest>> matches;
    for (const auto& [task, request] : requests_) {
      if (request->requestId() == id) matches.push_back(request);
    }
    // Each stops where it is and completes with the cancellation error.
    for (const auto& request : matches) request->cancel();
    std::lock_guard lock(cancelLock_);
    cancelling_.erase(std::find(cancelling_.begin(), cancelling_.end(), id));
  });
}

void Client::open(Url target, std::string socketId, Reply reply) {
  asio::post(ioc_, [this, target = std::move(target), id = std::move(socketId), reply = std::move(reply)]() mutable {
    if (sockets_.size() >= kMaxSockets) return reply.fail(failure("连接过多"));
    auto socket = std::make_shared<Socket>(*this, std::move(id), nextTask_++, std::move(reply));
    sockets_.emplace(socket->task(), socket);
    socket->start(target);
  });
}

void Client::send(std::optional<std::string> socketId, std::optional<std::string> data, Reply reply) {
  asio::post(ioc_, [this, id = std::move(socketId), data = std::move(data), reply = std::move(reply)]() mutable {
    const auto socket = findSocket(id);
    if (!socket) return reply.fail(failure("网络连接已关闭"));
    socket->send(std::move(data), std::move(reply));
  });
}

void Client::receive(std::optional<std::string> socketId, Reply reply) {
  asio::post(ioc_, [this, id = std::move(socketId), reply = std::move(reply)]() mutable {
    const auto socket = findSocket(id);
    if (!socket) return reply.fail(failure("网络连接已关闭"));
    socket->receive(reply);
  });
}

// Closed means closed: out of the table before the reply, so nothing about it reaches the host
// after that.
void Client::close(std::optional<std::string> socketId, Reply reply) {
  asio::post(ioc_, [this, id = std::move(socketId), reply = std::move(reply)]() mutable {
    const auto socket = findSocket(id);
    if (!socket) return reply.succeed(true);
    sockets_.erase(socket->task());
    socket->close(reply);
  });
}

std::shared_ptr<Socket> Client::findSocket(const std::optional<std::string>& socketId) const {
  if (!socketId) return nullptr;
  for (const auto& [task, candidate] : sockets_) {
    if (candidate->id() == *socketId) return candidate;
  }
  return nullptr;
}

std::optional<Routes> Client::fixedRoutes(const std::string& host) const {
  if (gioProxies_) return std::nullopt;
  return environment_.routesFor(host);
}

bool Client::isCancelling(const std::string& requestId) {
  std::lock_guard lock(cancelLock_);
  return std::find(cancelling_.begin(), cancelling_.end(), requestId) != cancelling_.end();
}

size_t Client::bodyRoom() const { return kMaxBuffered - buffered_; }

void Client::finished(int64_t task, size_t bytes) {
  requests_.erase(task);
  assert(buffered_ >= bytes);
  buffered_ -= bytes;
  assert(!requests_.empty() || buffered_ == 0);  // only live requests hold any
}

bool Client::leave(const Socket& socket) {
  const auto found = sockets_.find(socket.task());
  if (found == sockets_.end() || found->second.get() != &socket) return false;
  sockets_.erase(found);
  return true;
}

std::shared_ptr<Connection> Client::takeIdle(const std::string& key) {
  auto found = pool_.find(key);
  while (found != pool_.end() && !found->second.empty()) {
    auto connection = found->second.back();
    found->second.pop_back();
    connection->deadline.clear();
    if (!connection->stale()) return connection;
  }
  return nullptr;
}

void Client::keepIdle(const std::shared_ptr<Connection>& connection) {
  size_t total = 0;
  for (const auto& [key, list] : pool_) total += list.size();
  auto& list = pool_[connection->key];
  if (list.size() >= kPoolPerHost || total >= kPoolTotal) return;  // dropped: it closes
  list.push_back(connection);
  connection->deadline.set(Deadline::Clock::now() + kPoolIdle, [this, weak = std::weak_ptr<Connection>(connection)] {
    auto idle = weak.lock();
    if (!idle) return;
    auto& entries = pool_[idle->key];
    std::erase(entries, idle);
  });
}

}  // namespace mirelo::services::network
