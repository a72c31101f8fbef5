// The network client on Boost.Beast over OpenSSL. One thread runs one io_context: every table
// change and every I/O completion runs there, one at a time, so the tables need no lock.
#include "network.h"

#include <openssl/ssl.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <boost/url/parse.hpp>
#include <deque>
#include <map>
#include <thread>

#include "base64.h"
#include "protocol/output.h"
#include "payload.h"

namespace mirelo::services::network {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using Stream = beast::ssl_stream<beast::tcp_stream>;

constexpr size_t kMaxUrl = 2048;
constexpr size_t kMaxBodyText = 2'097'152;
constexpr int64_t kDefaultMaxBytes = 4096;
constexpr int64_t kMaxBytes = 12'582'912;
constexpr size_t kMaxBuffered = 67'108'864;
constexpr size_t kMaxRequests = 32;
constexpr double kDefaultTimeout = 10;
constexpr auto kResourceTimeout = std::chrono::seconds(180);
constexpr size_t kMaxSocketId = 64;
constexpr size_t kMaxSockets = 128;
constexpr size_t kMaxMessage = 786'432;
constexpr auto kOpenTimeout = std::chrono::seconds(5);
constexpr auto kPoolIdle = std::chrono::seconds(60);
constexpr size_t kPoolPerHost = 4;
constexpr size_t kPoolTotal = 16;
constexpr const char* kUserAgent = "Mirelo/0.3.0";

bool isIpLiteral(const std::string& host) {
  boost::system::error_code ec;
  asio::ip::make_address(host, ec);
  return !ec;
}

// Connects and runs the TLS handshake: system CA store, SNI for names, host name checked.
template <class Duration, class Handler>
void connectTls(tcp::resolver& resolver, Stream& stream, const Url& target, Duration timeout, Handler done) {
  if (!isIpLiteral(target.host)) SSL_set_tlsext_host_name(stream.native_handle(), target.host.c_str());
  stream.set_verify_callback(ssl::host_name_verification(target.host));
  resolver.async_resolve(target.host, target.port, [&stream, timeout, done](beast::error_code ec, tcp::resolver::results_type results) mutable {
    if (ec) return done(ec);
    beast::get_lowest_layer(stream).expires_after(timeout);
    beast::get_lowest_layer(stream).async_connect(results, [&stream, timeout, done](beast::error_code ec, const tcp::endpoint&) mutable {
      if (ec) return done(ec);
      // Small requests go out at once instead of waiting for the peer's acknowledgement.
      beast::get_lowest_layer(stream).socket().set_option(tcp::no_delay(true), ec);
      beast::get_lowest_layer(stream).expires_after(timeout);
      stream.async_handshake(ssl::stream_base::client, [done](beast::error_code ec) mutable { done(ec); });
    });
  });
}

}  // namespace

Url url(const Json& payload, std::string_view scheme) {
  const auto invalid = [] { return failure("网络地址无效"); };
  const std::string* text = readString(payload, "url");
  if (!text || text->size() > kMaxUrl) throw invalid();
  const auto parsed = boost::urls::parse_uri(*text);
  if (!parsed) throw invalid();
  const auto& u = *parsed;
  if (!u.has_scheme() || u.scheme() != scheme) throw invalid();
  if (u.has_userinfo()) throw invalid();
  if (!u.has_authority() || u.encoded_host().empty()) throw invalid();
  if (u.has_fragment()) throw invalid();
  Url out;
  out.host = u.host_type() == boost::urls::host_type::ipv6 ? std::string(u.host_address()) : std::string(u.host());
  out.port = u.has_port() ? std::string(u.port()) : "443";
  out.target = u.encoded_path().empty() ? "/" : std::string(u.encoded_path());
  if (u.has_query()) out.target += "?" + std::string(u.encoded_query());
  out.authority = std::string(u.encoded_host_and_port());
  return out;
}

struct Connection {
  Connection(asio::io_context& ioc, ssl::context& tls) : stream(ioc, tls), idle(ioc) {}
  Stream stream;
  beast::flat_buffer buffer;
  asio::steady_timer idle;
  std::string key;
};

struct HttpRequest;
struct Socket;

struct NativeNetwork::Impl {
  Impl() : work(asio::make_work_guard(ioc)), tls(ssl::context::tls_client) {
    tls.set_default_verify_paths();  // the system store, or SSL_CERT_FILE where OpenSSL is told so
    tls.set_verify_mode(ssl::verify_peer);
    SSL_CTX_set_min_proto_version(tls.native_handle(), TLS1_2_VERSION);
    thread = std::thread([this] { ioc.run(); });
    thread.detach();
  }

  asio::io_context ioc;
  asio::executor_work_guard<asio::io_context::executor_type> work;
  ssl::context tls;
  std::thread thread;
  int64_t nextTask = 1;
  std::map<int64_t, std::shared_ptr<HttpRequest>> requests;
  std::map<int64_t, std::shared_ptr<Socket>> sockets;
  size_t buffered = 0;  // response bytes held by all requests
  std::map<std::string, std::deque<std::shared_ptr<Connection>>> pool;

  std::shared_ptr<Connection> takeIdle(const std::string& key) {
    auto found = pool.find(key);
    if (found == pool.end() || found->second.empty()) return nullptr;
    auto connection = found->second.back();
    found->second.pop_back();
    connection->idle.cancel();
    return connection;
  }

  void keepIdle(std::shared_ptr<Connection> connection) {
    size_t total = 0;
    for (const auto& [key, list] : pool) total += list.size();
    auto& list = pool[connection->key];
    if (list.size() >= kPoolPerHost || total >= kPoolTotal) return;  // dropped: it closes
    list.push_back(connection);
    connection->idle.expires_after(kPoolIdle);
    connection->idle.async_wait([this, weak = std::weak_ptr<Connection>(connection)](beast::error_code ec) {
      auto idle = weak.lock();
      if (ec || !idle) return;
      auto& entries = pool[idle->key];
      std::erase(entries, idle);
    });
  }
};

struct HttpRequest : std::enable_shared_from_this<HttpRequest> {
  HttpRequest(NativeNetwork::Impl& net, Reply reply) : net(net), reply(std::move(reply)), resource(net.ioc) {}

  NativeNetwork::Impl& net;
  Reply reply;
  int64_t task = 0;
  int64_t limit = kDefaultMaxBytes;
  std::string bytes;
  int64_t status = 0;
  std::string requestId;
  Url target;
  std::chrono::milliseconds timeout{10'000};
  http::request<http::string_body> message;
  std::shared_ptr<Connection> connection;
  std::optional<tcp::resolver> resolver;
  std::optional<http::response_parser<http::buffer_body>> parser;
  std::array<char, 64 * 1024> chunk;
  asio::steady_timer resource;
  bool reused = false;
  bool retried = false;
  bool finished = false;

  std::string key() const { return target.host + ":" + target.port; }

  void start() {
    resource.expires_after(kResourceTimeout);
    resource.async_wait([self = shared_from_this()](beast::error_code ec) {
      if (!ec) self->finish(beast::error::timeout);
    });
    connection = net.takeIdle(key());
    reused = connection != nullptr;
    if (connection) return send();
    connectFresh();
  }

  void connectFresh() {
    connection = std::make_shared<Connection>(net.ioc, net.tls);
    connection->key = key();
    resolver.emplace(net.ioc);
    connectTls(*resolver, connection->stream, target, timeout, [self = shared_from_this()](beast::error_code ec) {
      if (ec) return self->finish(ec);
      self->send();
    });
  }

  // A kept connection the server has closed meanwhile fails at once: try once more on a new one.
  bool retryStale(beast::error_code ec) {
    if (!reused || retried || finished || ec == asio::error::operation_aborted || ec == beast::error::timeout) return false;
    retried = true;
    reused = false;
    connectFresh();
    return true;
  }

  void send() {
    beast::get_lowest_layer(connection->stream).expires_after(timeout);
    http::async_write(connection->stream, message, [self = shared_from_this()](beast::error_code ec, size_t) {
      if (ec) return self->retryStale(ec) ? void() : self->finish(ec);
      self->parser.emplace();
      self->parser->body_limit(boost::none);  // our own limits apply, chunk by chunk
      beast::get_lowest_layer(self->connection->stream).expires_after(self->timeout);
      http::async_read_header(self->connection->stream, self->connection->buffer, *self->parser,
                              [self](beast::error_code ec, size_t) { self->onHead(ec); });
    });
  }

  void onHead(beast::error_code ec) {
    if (ec) return retryStale(ec) ? void() : finish(ec);
    if (const auto length = parser->content_length(); length && *length > static_cast<uint64_t>(limit)) {
      return finish(asio::error::operation_aborted);  // refused before any of the body is read
    }
    status = parser->get().result_int();
    if (const auto length = parser->content_length()) bytes.reserve(*length);
    readBody();
  }

  void readBody() {
    if (parser->is_done()) return finish({});
    parser->get().body().data = chunk.data();
    parser->get().body().size = chunk.size();
    beast::get_lowest_layer(connection->stream).expires_after(timeout);  // no byte for this long fails
    http::async_read_some(connection->stream, connection->buffer, *parser,
                          [self = shared_from_this()](beast::error_code ec, size_t) {
                            if (ec == http::error::need_buffer) ec = {};
                            if (ec) return self->finish(ec);
                            const size_t received = self->chunk.size() - self->parser->get().body().size;
                            if (self->bytes.size() + received > static_cast<size_t>(self->limit) ||
                                self->net.buffered + received > kMaxBuffered) {
                              return self->finish(asio::error::operation_aborted);
                            }
                            self->bytes.append(self->chunk.data(), received);
                            self->net.buffered += received;
                            self->readBody();
                          });
  }

  void finish(beast::error_code ec) {
    if (finished) return;
    finished = true;
    resource.cancel();
    net.requests.erase(task);
    net.buffered -= bytes.size();
    if (connection) {
      connection->idle.cancel();
      beast::get_lowest_layer(connection->stream).expires_never();
      if (!ec && parser && parser->is_done() && parser->keep_alive()) {
        net.keepIdle(connection);
      } else {
        beast::get_lowest_layer(connection->stream).close();
      }
    }
    if (ec) return reply.fail(platformError(ec.message()));
    Json value = Json::object();
    value["status"] = status;
    value["body"] = base64Encode(bytes);
    std::string().swap(bytes);
    reply.succeed(std::move(value));
  }
};

struct Socket : std::enable_shared_from_this<Socket> {
  Socket(NativeNetwork::Impl& net, std::string id, Reply opened)
      : net(net), id(std::move(id)), opened(std::move(opened)), ws(net.ioc, net.tls), resolver(net.ioc), opening(net.ioc) {}

  NativeNetwork::Impl& net;
  int64_t task = 0;
  std::string id;
  std::optional<Reply> opened;
  bool reading = false;
  websocket::stream<Stream> ws;
  tcp::resolver resolver;
  asio::steady_timer opening;
  beast::flat_buffer buffer;
  bool open = false;
  bool readWhenOpen = false;
  std::deque<std::pair<std::string, Reply>> writes;

  void start(const Url& target) {
    opening.expires_after(kOpenTimeout);
    opening.async_wait([self = shared_from_this()](beast::error_code ec) {
      if (!ec && !self->open) beast::get_lowest_layer(self->ws).close();
    });
    ws.read_message_max(kMaxMessage);
    ws.set_option(websocket::stream_base::decorator([](websocket::request_type& request) {
      request.set(http::field::user_agent, kUserAgent);
    }));
    connectTls(resolver, ws.next_layer(), target, std::chrono::duration_cast<std::chrono::milliseconds>(kOpenTimeout),
               [self = shared_from_this(), target](beast::error_code ec) {
                 if (ec) return self->gone(false);
                 beast::get_lowest_layer(self->ws).expires_never();
                 websocket::stream_base::timeout timeouts{kOpenTimeout, websocket::stream_base::none(), false};
                 self->ws.set_option(timeouts);
                 self->ws.async_handshake(target.authority, target.target, [self](beast::error_code ec) {
                   if (ec) return self->gone(false);
                   self->open = true;
                   self->opening.cancel();
                   if (self->opened) {
                     self->opened->succeed(true);
                     self->opened.reset();
                   }
                   // What the host asked for while the socket was opening.
                   if (self->readWhenOpen) self->read();
                   self->writeNext();
                 });
               });
  }

  // The connection has ended: the entry leaves the table once, with one "socket-closed".
  void gone(bool closedByPeer) {
    opening.cancel();
    failPendingWrites();
    const auto found = net.sockets.find(task);
    if (found == net.sockets.end() || found->second.get() != this) return;
    net.sockets.erase(found);
    if (opened) {
      opened->fail(failure(closedByPeer ? "网络连接已关闭" : "网络连接未建立"));
      opened.reset();
    }
    reportClosed();
  }

  void reportClosed() { emit(Json{{"event", "socket-closed"}, {"socketId", id}}); }

  void close(websocket::close_code code) {
    if (!open) {
      beast::get_lowest_layer(ws).close();
      failPendingWrites();
      if (reading) {  // the receive armed while opening fails with the connection
        reading = false;
        reportClosed();
      }
      return;
    }
    ws.async_close(websocket::close_reason(code), [self = shared_from_this()](beast::error_code) {
      beast::get_lowest_layer(self->ws).close();
      self->gone(true);
    });
  }

  void receive() {
    reading = true;
    if (!open) {
      readWhenOpen = true;
      return;
    }
    read();
  }

  void read() {
    readWhenOpen = false;
    buffer.clear();
    ws.async_read(buffer, [self = shared_from_this()](beast::error_code ec, size_t) {
      self->reading = false;
      if (ec) {
        self->reportClosed();
        return self->gone(ec == websocket::error::closed);
      }
      if (!self->ws.got_text()) {
        self->close(websocket::close_code::unknown_data);
        return self->reportClosed();
      }
      if (self->buffer.size() > kMaxMessage) {
        self->close(websocket::close_code::too_big);
        return self->reportClosed();
      }
      emit(Json{{"event", "socket-message"}, {"socketId", self->id}, {"data", beast::buffers_to_string(self->buffer.data())}});
    });
  }

  void send(std::string data, Reply reply) {
    writes.emplace_back(std::move(data), std::move(reply));
    if (writes.size() == 1) writeNext();
  }

  // Messages queued while the socket was opening fail with it.
  void failPendingWrites() {
    if (open) return;
    while (!writes.empty()) {
      writes.front().second.fail(platformError(beast::error_code(asio::error::operation_aborted).message()));
      writes.pop_front();
    }
  }

  void writeNext() {
    if (writes.empty() || !open) return;
    ws.text(true);
    ws.async_write(asio::buffer(writes.front().first), [self = shared_from_this()](beast::error_code ec, size_t) {
      Reply reply = std::move(self->writes.front().second);
      self->writes.pop_front();
      if (ec) {
        reply.fail(platformError(ec.message()));
      } else {
        reply.succeed(true);
      }
      self->writeNext();
    });
  }
};

NativeNetwork::NativeNetwork() : impl_(std::make_unique<Impl>()) {}

NativeNetwork& NativeNetwork::shared() {
  static NativeNetwork* network = new NativeNetwork();  // lives as long as the process
  return *network;
}

void NativeNetwork::http(const Json& payload, Reply reply) {
  const Url target = url(payload, "https");
  const std::string* method = readString(payload, "method");
  const std::string verb = method ? *method : "GET";
  if (verb != "GET" && verb != "POST") throw failure("网络请求方式无效");
  auto request = std::make_shared<HttpRequest>(*impl_, reply);
  request->limit = std::clamp<int64_t>(readInteger(payload, "maxBytes").value_or(kDefaultMaxBytes), 1, kMaxBytes);
  const Json* timeout = readValue(payload, "timeout");
  const double seconds = std::clamp(timeout && timeout->is_number() ? timeout->get<double>() : kDefaultTimeout, 1.0, 180.0);
  request->timeout = std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
  request->target = target;
  auto& message = request->message;
  message.version(11);
  message.method(verb == "POST" ? http::verb::post : http::verb::get);
  message.target(target.target);
  message.set(http::field::host, target.authority);
  message.set(http::field::user_agent, kUserAgent);
  if (verb == "POST") {
    const std::string* body = readString(payload, "body");
    if (!body || body->size() > kMaxBodyText) throw failure("网络请求内容无效");
    auto decoded = base64Decode(*body);
    if (!decoded) throw failure("网络请求内容无效");
    message.set(http::field::content_type, "application/json");
    message.body() = std::move(*decoded);
    message.prepare_payload();
  }
  if (const std::string* id = readString(payload, "requestId")) request->requestId = *id;
  asio::post(impl_->ioc, [impl = impl_.get(), request] {
    if (impl->requests.size() >= kMaxRequests) {
      request->finished = true;
      return request->reply.fail(failure("网络请求过多，请稍候"));
    }
    request->task = impl->nextTask++;
    impl->requests.emplace(request->task, request);
    request->start();
  });
}

void NativeNetwork::cancel(const Json& payload) {
  const std::string* id = readString(payload, "requestId");
  if (!id) return;
  asio::post(impl_->ioc, [impl = impl_.get(), id = *id] {
    std::vector<std::shared_ptr<HttpRequest>> matches;
    for (const auto& [task, request] : impl->requests) {
      if (request->requestId == id) matches.push_back(request);
    }
    // Each stops where it is and completes with the cancellation error.
    for (const auto& request : matches) request->finish(asio::error::operation_aborted);
  });
}

void NativeNetwork::open(const Json& payload, Reply reply) {
  const Url target = url(payload, "wss");
  const std::string* id = readString(payload, "socketId");
  if (!id || id->size() > kMaxSocketId) throw failure("连接标识无效");
  asio::post(impl_->ioc, [impl = impl_.get(), target, id = *id, reply]() mutable {
    if (impl->sockets.size() >= kMaxSockets) return reply.fail(failure("连接过多"));
    auto socket = std::make_shared<Socket>(*impl, id, std::move(reply));
    socket->task = impl->nextTask++;
    impl->sockets.emplace(socket->task, socket);
    socket->start(target);
  });
}

void NativeNetwork::socket(const Json& payload, const std::string& operation, Reply reply) {
  const std::string* idText = readString(payload, "socketId");
  std::optional<std::string> id = idText ? std::optional<std::string>(*idText) : std::nullopt;
  const std::string* dataText = readString(payload, "data");
  std::optional<std::string> data = dataText ? std::optional<std::string>(*dataText) : std::nullopt;
  asio::post(impl_->ioc, [impl = impl_.get(), id, data, operation, reply]() mutable {
    std::shared_ptr<Socket> socket;
    if (id) {
      for (const auto& [task, candidate] : impl->sockets) {
        if (candidate->id == *id) {
          socket = candidate;
          break;
        }
      }
    }
    if (!socket) return operation == "socket-close" ? reply.succeed(true) : reply.fail(failure("网络连接已关闭"));
    if (operation == "socket-close") {
      impl->sockets.erase(socket->task);
      if (socket->opened) {
        socket->opened->fail(failure("网络连接已取消"));
        socket->opened.reset();
      }
      socket->close(websocket::close_code::going_away);
      return reply.succeed(true);
    }
    if (operation == "socket-send") {
      if (!data || data->size() > kMaxMessage) return reply.fail(failure("网络数据帧过大"));
      return socket->send(std::move(*data), std::move(reply));
    }
    if (operation == "socket-receive") {
      if (socket->reading) return reply.fail(failure("网络读取已在进行"));
      socket->receive();
      return reply.succeed(true);
    }
    reply.fail(failure("网络操作无效"));
  });
}

}  // namespace mirelo::services::network
