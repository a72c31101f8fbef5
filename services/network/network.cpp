// The network commands' payloads, read on the main thread in the order their refusals take
// precedence: the URL, the method, the body, then the ids. No Beast: the sessions are elsewhere.
#include "network.h"

#include <algorithm>
#include <optional>

#include "base64.h"
#include "client.h"
#include "payload.h"
#include "url.h"

namespace mirelo::services::network {
namespace {

constexpr size_t kMaxBodyText = 2'097'152;
constexpr int64_t kDefaultMaxBytes = 4096;
constexpr int64_t kMaxBytes = 12'582'912;  // one response body
constexpr double kDefaultTimeout = 10;
constexpr size_t kMaxSocketId = 64;

std::optional<std::string> optionalString(const Json& payload, std::string_view name) {
  const std::string* text = readString(payload, name);
  return text ? std::optional<std::string>(*text) : std::nullopt;
}

}  // namespace

NativeNetwork::NativeNetwork() : client_(std::make_unique<Client>()) {}

NativeNetwork& NativeNetwork::shared() {
  static NativeNetwork* network = new NativeNetwork();  // lives as long as the process
  return *network;
}

void NativeNetwork::http(const Json& payload, Reply reply) {
  HttpOrder order;
  order.target = url(payload, "https");
  const std::string* method = readString(payload, "method");
  const std::string verb = method ? *method : "GET";
  if (verb != "GET" && verb != "POST") throw failure("网络请求方式无效");
  order.post = verb == "POST";
  order.limit = std::clamp<int64_t>(readInteger(payload, "maxBytes").value_or(kDefaultMaxBytes), 1, kMaxBytes);
  const Json* timeout = readValue(payload, "timeout");
  const double seconds =
      std::clamp(timeout && timeout->is_number() ? timeout->get<double>() : kDefaultTimeout, 1.0, 180.0);
  order.timeout = Duration(static_cast<int64_t>(seconds * 1000));
  if (order.post) {
    const std::string* body = readString(payload, "body");
    if (!body || body->size() > kMaxBodyText) throw failure("网络请求内容无效");
    auto decoded = base64Decode(*body);
    if (!decoded) throw failure("网络请求内容无效");
    order.body = std::move(*decoded);
  }
  if (const std::string* id = readString(payload, "requestId")) order.requestId = *id;
  client_->http(std::move(order), std::move(reply));
}

void NativeNetwork::cancel(const Json& payload) {
  if (const std::string* id = readString(payload, "requestId")) client_->cancel(*id);
}

void NativeNetwork::open(const Json& payload, Reply reply) {
  Url target = url(payload, "wss");
  const std::string* id = readString(payload, "socketId");
  if (!id || id->size() > kMaxSocketId) throw failure("连接标识无效");
  client_->open(std::move(target), *id, std::move(reply));
}

void NativeNetwork::send(const Json& payload, Reply reply) {
  client_->send(optionalString(payload, "socketId"), optionalString(payload, "data"), std::move(reply));
}

void NativeNetwork::receive(const Json& payload, Reply reply) {
  client_->receive(optionalString(payload, "socketId"), std::move(reply));
}

void NativeNetwork::close(const Json& payload, Reply reply) {
  client_->close(optionalString(payload, "socketId"), std::move(reply));
}

}  // namespace mirelo::services::network
