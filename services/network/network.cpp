// The network client on Boost.Beast over OpenSSL. One thread runs one io_context: every table
// change and every I/O completion runs there, one at a time, so the tables need no lock.
//
// Each connection's life is one session object (`HttpRequest`, `Socket`) whose steps are named
// after what has just completed: onResolve, onConnect, onHandshake, onWrite, onRead. Each step first
// asks whether the session was cancelled or closed meanwhile and stops there if so; cancelling
// cancels the resolver, the timers and the socket, so whatever was pending completes at once and
// meets that check.
#include "network.h"

#include <openssl/ssl.h>
#include <poll.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <algorithm>
#include <cassert>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "base64.h"
#include "body_decoder.h"
#include "connector.h"
#include "lookup_pool.h"
#include "payload.h"
#include "protocol/output.h"
#include "proxy_config.h"
#include "proxy_gio.h"
#include "route.h"
#include "tls.h"
#include "tunnel_connect.h"
#include "tunnel_socks5.h"

namespace mirelo::services::network {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using Stream = beast::ssl_stream<beast::tcp_stream>;

constexpr size_t kMaxBodyText = 2'097'152;
constexpr int64_t kDefaultMaxBytes = 4096;
constexpr int64_t kMaxBytes = 12'582'912;       // one response body
constexpr size_t kMaxBuffered = 67'108'864;     // response bodies of all live requests together
constexpr size_t kMaxRequests = 32;
constexpr double kDefaultTimeout = 10;
constexpr auto kResourceTimeout = std::chrono::seconds(180);
constexpr size_t kMaxSocketId = 64;
constexpr size_t kMaxSockets = 128;
constexpr size_t kMaxMessage = 786'432;
constexpr auto kOpenTimeout = std::chrono::seconds(5);
// Text messages read while no receive is armed wait in the socket's inbox; it stops reading when
// the inbox holds this many, or this many bytes (the message being read can add one more).
constexpr size_t kInboxMessages = 16;
constexpr size_t kInboxBytes = 262'144;
constexpr auto kPoolIdle = std::chrono::seconds(60);
constexpr size_t kPoolPerHost = 4;
constexpr size_t kPoolTotal = 16;
constexpr const char* kUserAgent = "Mirelo/" MIRELO_VERSION;
constexpr size_t kLookupThreads = 16;

beast::error_code cancelled() { return asio::error::operation_aborted; }

// SNI for names, and the name or address checked against the certificate's subjectAltName.
void secure(Stream& stream, const Url& target) { tls::configurePeer(stream.native_handle(), target.host); }

// Route, connect, tunnel, TLS handshake: the steps every connection begins with. `Session`
// supplies `net`, `stopped()` (cancelled or closed meanwhile), `tls()` (its stream),
// `stepTimeout()` (how long one step may take), `onRouted()` (the routes are known: connect, or
// take a kept connection) and `onSecured(error)`, where the session goes on. What a proxy said
// about a failure is in `failureText`.
template <class Session>
struct Secure {
  explicit Secure(asio::io_context& ioc) : routeTimer(ioc) {}

  Url destination;
  Routes routes;
  size_t routeAt = 0;  // the route being tried, then the one taken
  std::shared_ptr<proxy::GioLookup> proxyLookup;
  asio::steady_timer routeTimer;  // bounds GIO's answer
  std::shared_ptr<Connector> connector;
  std::shared_ptr<Tunnel> tunnel;
  std::string failureText;

  Session& session() { return static_cast<Session&>(*this); }
  const Route& taken() const { return routes.list[routeAt]; }

  // Decides the routes: GIO's resolver when it serves more than the default, else the environment.
  void route(const Url& target) {
    destination = target;
    auto& net = session().net;
    if (!net.gioProxies) {
      routes = net.environment.routesFor(target.host);
      return onRoutes();
    }
    routeTimer.expires_after(session().stepTimeout());
    routeTimer.async_wait([self = session().shared_from_this()](beast::error_code ec) {
      if (ec || self->stopped() || !self->proxyLookup) return;
      proxy::cancel(self->proxyLookup);
      self->proxyLookup.reset();
      self->onSecured(beast::error::timeout);
    });
    const std::string host = target.host.find(':') != std::string::npos ? "[" + target.host + "]" : target.host;
    proxyLookup = proxy::lookupGio("https://" + host + ":" + target.port,
                                   [self = session().shared_from_this(), &ioc = net.ioc](std::vector<std::string> uris, std::string failure) {
                                     asio::post(ioc, [self, uris = std::move(uris), failure = std::move(failure)] {
                                       if (self->stopped() || !self->proxyLookup) return;
                                       self->proxyLookup.reset();
                                       self->routeTimer.cancel();
                                       if (!failure.empty()) {
                                         self->routes = {};
                                         self->routes.failure = failure;
                                       } else {
                                         self->routes = proxy::routesFromUris(uris);
                                       }
                                       self->onRoutes();
                                     });
                                   });
  }

  void onRoutes() {
    routeAt = 0;
    if (routes.list.empty()) {
      failureText = routes.failure;
      return session().onSecured(asio::error::host_unreachable);
    }
    session().onRouted();
  }

  // The TCP connection: to the server, or to the route's proxy.
  void connectRoute() {
    const Route& route = taken();
    const std::string& host = route.direct() ? destination.host : route.host;
    const std::string& port = route.direct() ? destination.port : route.port;
    auto& net = session().net;
    connector = Connector::start(net.ioc.get_executor(), net.lookups, host, port, session().stepTimeout(),
                                 [self = session().shared_from_this()](beast::error_code ec, tcp::socket socket) {
                                   self->onConnect(ec, std::move(socket));
                                 });
  }

  // Cancels what is pending: the proxy lookup, the name lookup and connects, the tunnel.
  void stopResolving() {
    proxy::cancel(proxyLookup);
    proxyLookup.reset();
    routeTimer.cancel();
    if (connector) connector->cancel();
    connector.reset();
    if (tunnel) tunnel->cancel();
    tunnel.reset();
  }

  void onConnect(beast::error_code ec, tcp::socket socket) {
    if (session().stopped()) return;
    connector.reset();
    if (ec == asio::error::timed_out) ec = beast::error::timeout;  // the step's time is up
    if (ec) {
      // A proxy that cannot be reached: the next route, if there is one.
      if (routeAt + 1 < routes.list.size()) {
        ++routeAt;
        return connectRoute();
      }
      if (!taken().direct()) failureText = "cannot reach proxy " + taken().name() + ": " + ec.message();
      return session().onSecured(ec);
    }
    auto& layer = beast::get_lowest_layer(session().tls());
    layer.socket() = std::move(socket);
    // Small requests go out at once instead of waiting for the peer's acknowledgement.
    layer.socket().set_option(tcp::no_delay(true), ec);
    const Route& route = taken();
    if (route.direct()) return handshake();
    auto done = [self = session().shared_from_this()](beast::error_code ec, std::string failure) {
      self->onTunnel(ec, std::move(failure));
    };
    tunnel = route.kind == Route::Kind::connect
                 ? connect_tunnel::open(layer.socket(), route, destination.host, destination.port,
                                        session().stepTimeout(), std::move(done))
                 : socks5::open(layer.socket(), session().net.lookups, route, destination.host, destination.port,
                                session().stepTimeout(), std::move(done));
  }

  void onTunnel(beast::error_code ec, std::string failure) {
    if (session().stopped()) return;
    tunnel.reset();
    if (ec == asio::error::timed_out) ec = beast::error::timeout;
    if (ec) {
      failureText = std::move(failure);
      return session().onSecured(ec);
    }
    handshake();
  }

  void handshake() {
    auto& layer = beast::get_lowest_layer(session().tls());
    layer.expires_after(session().stepTimeout());
    session().tls().async_handshake(ssl::stream_base::client, [self = session().shared_from_this()](beast::error_code ec) {
      self->onHandshake(ec);
    });
  }

  void onHandshake(beast::error_code ec) {
    if (session().stopped()) return;
    session().onSecured(ec);
  }
};

// Kept connections are told apart by where they go and how.
std::string poolKey(const Url& target, const Route& route) {
  return "https|" + target.host + "|" + target.port + "|" + route.key();
}

}  // namespace

// One TLS connection to a host and port, kept between requests while idle.
struct Connection {
  Connection(asio::io_context& ioc, ssl::context& tls, const Url& target)
      : stream(ioc, tls), idle(ioc) {
    secure(stream, target);
    // The HTTP reader asks the stream for at most the buffer's free capacity, and no less than
    // 512 bytes: left to itself the buffer stays at 512, and a 16 KiB TLS record then takes 32
    // trips through the event loop. With room for a whole record it takes one.
    buffer.reserve(64 * 1024);
  }

  // Anything to read on an idle connection (bytes, or the peer's end) means the server has moved
  // on from it: it cannot carry another request.
  bool stale() {
    pollfd fd{beast::get_lowest_layer(stream).socket().native_handle(), POLLIN, 0};
    return ::poll(&fd, 1, 0) != 0 || SSL_pending(stream.native_handle()) > 0;
  }

  Stream stream;
  beast::flat_buffer buffer;
  asio::steady_timer idle;
  std::string key;  // poolKey: target and route, set once connected
};

struct HttpRequest;
struct Socket;

struct NativeNetwork::Impl {
  Impl() : work(asio::make_work_guard(ioc)), tls(ssl::context::tls_client) {
    tls::configureContext(tls.native_handle());
    thread = std::thread([this] { ioc.run(); });
    thread.detach();
  }

  asio::io_context ioc;
  asio::executor_work_guard<asio::io_context::executor_type> work;
  ssl::context tls;
  std::thread thread;
  // Lookups on threads of their own, so none waits for another (asio's resolver has one).
  LookupPool lookups{kLookupThreads};
  // Where connections go: GIO's resolver, asked per connection, or the environment read once.
  proxy::Environment environment = proxy::Environment::fromProcess();
  bool gioProxies = proxy::gioServesMore();
  int64_t nextTask = 1;
  std::map<int64_t, std::shared_ptr<HttpRequest>> requests;
  std::map<int64_t, std::shared_ptr<Socket>> sockets;
  size_t buffered = 0;  // response bytes held by the requests in `requests`, and by no others

  // The `requestId`s of cancels handed over by the main thread and not yet carried out here. The
  // host may have read the cancel's reply already: a request about to be written checks this
  // first, so it never reaches the server after that reply.
  std::mutex cancelLock;
  std::vector<std::string> cancelling;

  bool isCancelling(const std::string& requestId) {
    std::lock_guard lock(cancelLock);
    return std::find(cancelling.begin(), cancelling.end(), requestId) != cancelling.end();
  }
  std::map<std::string, std::deque<std::shared_ptr<Connection>>> pool;

  std::shared_ptr<Connection> takeIdle(const std::string& key) {
    auto found = pool.find(key);
    while (found != pool.end() && !found->second.empty()) {
      auto connection = found->second.back();
      found->second.pop_back();
      connection->idle.cancel();
      if (!connection->stale()) return connection;
    }
    return nullptr;
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

// One HTTP request, from admission to its one reply. While it is in `requests` it is live; `finish`
// takes it out, gives its bytes back to the budget over all requests, and stops whatever is pending.
struct HttpRequest : std::enable_shared_from_this<HttpRequest>, Secure<HttpRequest> {
  HttpRequest(NativeNetwork::Impl& net, Reply reply)
      : Secure(net.ioc), net(net), reply(std::move(reply)), resource(net.ioc) {}

  NativeNetwork::Impl& net;
  Reply reply;
  int64_t task = 0;
  int64_t limit = kDefaultMaxBytes;
  // The reply line, its Base64 written as the body arrives: sized once from Content-Length, else
  // grown geometrically, never zero-filled. No other copy of the body is kept.
  BlockBuffer line;
  size_t received = 0;  // body bytes, decoded
  size_t encoded = 0;   // body bytes as they came, while a Content-Encoding is decoded
  std::unique_ptr<BodyDecoder> decoder;
  unsigned char carry[2];  // body bytes after the last whole group of three, not yet encoded
  size_t carried = 0;
  std::array<char, 64 * 1024> chunk;
  int64_t status = 0;
  std::string requestId;
  Url target;
  Duration timeout{10'000};  // idle: each step (lookup, connect, handshake, write, read) gets this long
  http::request<http::string_body> message;
  std::shared_ptr<Connection> connection;
  std::optional<http::response_parser<http::buffer_body>> parser;
  asio::steady_timer resource;  // the whole request
  bool reused = false;
  bool retried = false;
  bool finished = false;

  bool stopped() const { return finished; }
  Stream& tls() { return connection->stream; }
  Duration stepTimeout() const { return timeout; }

  void start() {
    resource.expires_after(kResourceTimeout);
    resource.async_wait([self = shared_from_this()](beast::error_code ec) {
      if (!ec) self->finish(beast::error::timeout);
    });
    route(target);
  }

  // A connection kept on one of the routes, else a new one.
  void onRouted() {
    for (size_t at = 0; at < routes.list.size() && !connection; ++at) {
      connection = net.takeIdle(poolKey(target, routes.list[at]));
      routeAt = at;
    }
    reused = connection != nullptr;
    if (connection) return write();
    routeAt = 0;
    connectFresh();
  }

  void connectFresh() {
    connection = std::make_shared<Connection>(net.ioc, net.tls, target);
    connectRoute();
  }

  void onSecured(beast::error_code ec) {
    // A server that speaks none of the protocols offered says so with an alert: name it.
    const unsigned long tlsError = ec && ec.category() == asio::error::get_ssl_category() ? static_cast<unsigned long>(ec.value()) : 0;
    if (ec && !tlsError) return finish(ec);
    if (auto failed = tls::protocolFailure(connection->stream.native_handle(), tlsError, {})) {
      return finish(ec ? ec : cancelled(), std::move(*failed));
    }
    if (ec) return finish(ec);
    connection->key = poolKey(target, taken());
    write();
  }

  void write() {
    if (net.isCancelling(requestId)) return finish(cancelled());
    beast::get_lowest_layer(connection->stream).expires_after(timeout);
    http::async_write(connection->stream, message, [self = shared_from_this()](beast::error_code ec, size_t) {
      self->onWrite(ec);
    });
  }

  void onWrite(beast::error_code ec) {
    if (finished) return;
    if (ec) return retryOrFinish(ec);
    readHead();
  }

  void readHead() {
    parser.emplace();
    parser->body_limit(boost::none);  // our own limits apply, piece by piece
    beast::get_lowest_layer(connection->stream).expires_after(timeout);
    http::async_read_header(connection->stream, connection->buffer, *parser,
                            [self = shared_from_this()](beast::error_code ec, size_t) { self->onHead(ec); });
  }

  void onHead(beast::error_code ec) {
    if (finished) return;
    if (ec) {
      // A server that chose no protocol and answers in HTTP/2 is no HTTP/1.1 server at all.
      const auto first = connection->buffer.cdata();
      if (auto failed = tls::protocolFailure(connection->stream.native_handle(), 0,
                                             std::string_view(static_cast<const char*>(first.data()), first.size()))) {
        return finish(ec, std::move(*failed));
      }
      return retryOrFinish(ec);
    }
    status = parser->get().result_int();
    // Interim heads (100 Continue, 103 Early Hints) come before the response they announce.
    if (status >= 100 && status < 200 && status != 101) return readHead();
    // Decoded for the host, as the platform's own HTTP client does; the limits count what comes out.
    const auto& head = parser->get();
    std::string codings;
    const auto [first, last] = head.equal_range(http::field::content_encoding);
    for (auto field = first; field != last; ++field) codings.append(field->value()).push_back(',');
    const auto coding = codingOf(codings);
    if (!coding) return finish(cancelled(), "unsupported Content-Encoding: " + codings.substr(0, std::min<size_t>(64, codings.size() - 1)));
    if (*coding != Coding::identity) decoder = std::make_unique<BodyDecoder>(*coding);
    const uint64_t declaredBound = decoder ? encodedBound(static_cast<size_t>(limit)) : static_cast<uint64_t>(limit);
    if (const auto length = parser->content_length(); length && *length > declaredBound) {
      return finish(cancelled());  // refused before any of the body is read
    }
    // {"id":…,"value":{"body":"…","status":N}}
    line.clear();
    line.append(reply.valuePrefix());
    line.append("{\"body\":\"");
    if (const auto length = parser->content_length(); length && !decoder) {
      line.reserve(line.size() + base64EscapedBound(*length) + 32);
    }
    readBody();
  }

  void readBody() {
    if (parser->is_done()) return finish({});
    parser->get().body().data = chunk.data();
    parser->get().body().size = chunk.size();
    beast::get_lowest_layer(connection->stream).expires_after(timeout);  // no byte for this long fails
    http::async_read_some(connection->stream, connection->buffer, *parser,
                          [self = shared_from_this()](beast::error_code ec, size_t) { self->onRead(ec); });
  }

  void onRead(beast::error_code ec) {
    if (finished) return;
    if (ec == http::error::need_buffer) ec = {};
    // What was parsed counts even when the read then failed.
    const size_t piece = chunk.size() - parser->get().body().size;
    if (!take(std::string_view(chunk.data(), piece))) return;
    if (ec == ssl::error::stream_truncated && !parser->chunked() && !parser->content_length()) {
      // The body ends with the connection, and many servers end it without TLS close_notify:
      // what arrived until then is the whole body.
      ec = {};
      parser->put_eof(ec);
    }
    if (ec) return finish(ec);
    readBody();
  }

  // A piece of the body as it came: decoded if it is encoded, then counted against this request's
  // limit and the bound over all requests, and encoded into the reply. False when it finished.
  bool take(std::string_view piece) {
    const size_t room = std::min(static_cast<size_t>(limit) - received, kMaxBuffered - net.buffered);
    if (!decoder) {
      if (piece.size() > room) return finish(cancelled()), false;
      count(piece);
      return true;
    }
    encoded += piece.size();
    if (encoded > encodedBound(static_cast<size_t>(limit))) return finish(cancelled()), false;
    const auto result = decoder->feed(piece, room, [this](std::string_view decoded) { count(decoded); });
    if (result == BodyDecoder::Result::tooLarge) return finish(cancelled()), false;
    if (result == BodyDecoder::Result::invalid) return finish(cancelled(), decoder->failure(result)), false;
    return true;
  }

  void count(std::string_view piece) {
    received += piece.size();
    net.buffered += piece.size();
    encode(piece);
  }

  // Whole groups of three bytes are encoded as they arrive; the rest waits for the next piece.
  void encode(std::string_view piece) {
    line.reserve(line.size() + base64EscapedBound(piece.size() + carried));
    std::string_view rest = piece;
    if (carried) {
      char group[3];
      std::memcpy(group, carry, carried);
      const size_t taken = std::min(3 - carried, rest.size());
      std::memcpy(group + carried, rest.data(), taken);
      rest.remove_prefix(taken);
      if (carried + taken < 3) {
        std::memcpy(carry, group, carried + taken);
        carried += taken;
        return;
      }
      line.commit(base64EncodeEscaped(std::string_view(group, 3), line.end()));
      carried = 0;
    }
    const size_t whole = rest.size() / 3 * 3;
    line.commit(base64EncodeEscaped(rest.substr(0, whole), line.end()));
    carried = rest.size() - whole;
    std::memcpy(carry, rest.data() + whole, carried);
  }

  // A kept connection the server has closed meanwhile fails at once: try once more on a new one,
  // as long as nothing of a response has arrived.
  void retryOrFinish(beast::error_code ec) {
    if (!reused || retried || ec == asio::error::operation_aborted || ec == beast::error::timeout ||
        (parser && parser->got_some())) {
      return finish(ec);
    }
    retried = true;
    reused = false;
    beast::get_lowest_layer(connection->stream).close();
    connectFresh();
  }

  // A connection is kept only when it stands exactly at the end of this response.
  bool reusable() const {
    return parser && parser->is_done() && parser->keep_alive() && status != 101 && connection->buffer.size() == 0;
  }

  // Ends the request: with `ec`, reported as `message` when one is given, or with the body.
  void finish(beast::error_code ec, std::string message = {}) {
    if (finished) return;
    if (!ec && decoder && !decoder->complete()) {
      ec = cancelled();
      message = decoder->failure(BodyDecoder::Result::more);
    }
    finished = true;
    resource.cancel();
    stopResolving();
    net.requests.erase(task);
    assert(net.buffered >= received);
    net.buffered -= received;
    assert(!net.requests.empty() || net.buffered == 0);  // only live requests hold any
    if (connection) {
      connection->idle.cancel();
      if (!ec && reusable()) {
        beast::get_lowest_layer(connection->stream).expires_never();  // nothing is pending
        net.keepIdle(connection);
      } else {
        beast::get_lowest_layer(connection->stream).close();  // what is pending completes, and stops
      }
    }
    if (ec) {
      line.release();
      if (message.empty()) message = failureText.empty() ? ec.message() : failureText;
      return reply.fail(platformError(message));
    }
    line.reserve(line.size() + base64EscapedBound(carried) + 32);
    line.commit(base64EncodeEscaped(std::string_view(reinterpret_cast<const char*>(carry), carried), line.end()));
    line.append("\",\"status\":");
    line.append(std::to_string(status));
    line.append("}");
    reply.succeedLine(line);
    line.release();
  }
};

// One WebSocket, from admission until it is gone. The host's `socket-close` takes it out of the
// table at once; from then on nothing about it reaches the host.
struct Socket : std::enable_shared_from_this<Socket>, Secure<Socket> {
  enum class State { opening, open, closing, gone };

  Socket(NativeNetwork::Impl& net, std::string id, Reply opened)
      : Secure(net.ioc), net(net), id(std::move(id)), opened(std::move(opened)), ws(net.ioc, net.tls), opening(net.ioc) {}

  NativeNetwork::Impl& net;
  int64_t task = 0;
  std::string id;
  std::optional<Reply> opened;
  websocket::stream<Stream> ws;
  asio::steady_timer opening;
  beast::flat_buffer buffer;
  State state = State::opening;
  bool closedByHost = false;
  bool reading = false;         // a receive is armed
  bool pulling = false;         // a read is in progress
  std::deque<std::string> inbox;  // text messages read before a receive asked for them
  size_t inboxBytes = 0;
  bool writing = false;         // writes.front() is being written
  std::deque<std::pair<std::string, Reply>> writes;
  websocket::close_code closeCode = websocket::close_code::normal;

  bool stopped() const { return state != State::opening; }
  Stream& tls() { return ws.next_layer(); }
  Duration stepTimeout() const { return kOpenTimeout; }

  void start(const Url& target) {
    opening.expires_after(kOpenTimeout);
    opening.async_wait([self = shared_from_this()](beast::error_code ec) {
      if (!ec && self->state == State::opening) self->gone(false);
    });
    ws.read_message_max(kMaxMessage);
    ws.set_option(websocket::stream_base::decorator([](websocket::request_type& request) {
      request.set(http::field::user_agent, kUserAgent);
    }));
    secure(ws.next_layer(), target);
    authority = target.authority;
    path = target.target;
    route(target);
  }

  void onRouted() { connectRoute(); }

  std::string authority;
  std::string path;

  void onSecured(beast::error_code ec) {
    if (ec) return gone(false);
    beast::get_lowest_layer(ws).expires_never();  // the WebSocket's own timeouts from here on
    ws.set_option(websocket::stream_base::timeout{kOpenTimeout, websocket::stream_base::none(), false});
    ws.async_handshake(authority, path, [self = shared_from_this()](beast::error_code ec) { self->onUpgrade(ec); });
  }

  void onUpgrade(beast::error_code ec) {
    if (stopped()) return;
    if (ec) return gone(false);
    state = State::open;
    opening.cancel();
    if (opened) {
      opened->succeed(true);
      opened.reset();
    }
    // Reading starts with the open, whether or not a receive is armed: pings and the server's
    // close are answered as they come. A receive asked for while opening gets the first message.
    pull();
    writeNext();
  }

  void reportClosed() { emit(Json{{"event", "socket-closed"}, {"socketId", id}}); }

  // The connection has ended. While the socket is still in the table it leaves it, with one
  // "socket-closed"; a socket the host closed is already out and reports nothing more.
  void gone(bool closedByPeer) {
    if (state == State::gone) return;
    state = State::gone;
    stopResolving();
    opening.cancel();
    beast::get_lowest_layer(ws).close();
    failQueuedWrites();
    inbox.clear();  // messages the host did not ask for in time end with the connection
    inboxBytes = 0;
    const auto found = net.sockets.find(task);
    if (found == net.sockets.end() || found->second.get() != this) return;
    net.sockets.erase(found);
    if (opened) {
      opened->fail(failure(closedByPeer ? "网络连接已关闭" : "网络连接未建立"));
      opened.reset();
    }
    reportClosed();
  }

  // socket-close, after its reply: the entry has left the table. The receive the host had armed
  // ends here with the one "socket-closed" it is owed.
  void closeByHost() {
    closedByHost = true;
    if (opened) {
      opened->fail(failure("网络连接已取消"));
      opened.reset();
    }
    if (reading) {
      reading = false;
      reportClosed();
    }
    if (state == State::opening) return gone(false);  // resolver, timer and socket all cancelled
    shutdown(websocket::close_code::going_away);
  }

  // Ends an open socket with a close handshake, after the write in progress.
  void shutdown(websocket::close_code code) {
    if (state != State::open) return;
    state = State::closing;
    closeCode = code;
    failQueuedWrites();
    if (!writing) startClose();
  }

  void startClose() {
    ws.async_close(websocket::close_reason(closeCode), [self = shared_from_this()](beast::error_code) { self->gone(true); });
  }

  void receive() {
    reading = true;
    if (state == State::opening) return;  // the first message read after the open is its
    if (state != State::open) {  // closing: the receive fails at once
      reading = false;
      return reportClosed();
    }
    if (inbox.empty()) return;  // the read in progress delivers
    reading = false;
    deliver(inbox.front());
    inboxBytes -= inbox.front().size();
    inbox.pop_front();
    pull();  // the inbox has room again
  }

  // Reads the next message, unless a read is in progress or the inbox is full: then the server
  // waits (TCP's flow control) until the host takes messages.
  void pull() {
    if (pulling || state != State::open || inbox.size() >= kInboxMessages || inboxBytes >= kInboxBytes) return;
    pulling = true;
    buffer.clear();
    ws.async_read(buffer, [self = shared_from_this()](beast::error_code ec, size_t) { self->onRead(ec); });
  }

  // Pings were answered with pongs, and a close with ours, inside the read; what completes it is a
  // data message or the connection's end.
  void onRead(beast::error_code ec) {
    pulling = false;
    if (closedByHost || state == State::gone) return;  // its "socket-closed" went out with the close
    // A receive armed when the connection ends fails with it, and says so, before the close does.
    const bool armed = reading;
    if (ec || !ws.got_text() || buffer.size() > kMaxMessage) reading = false;
    if (ec) {
      if (armed) reportClosed();
      return gone(ec == websocket::error::closed);
    }
    if (!ws.got_text()) {
      if (armed) reportClosed();
      return shutdown(websocket::close_code::unknown_data);
    }
    if (buffer.size() > kMaxMessage) {
      if (armed) reportClosed();
      return shutdown(websocket::close_code::too_big);
    }
    const auto data = buffer.cdata();
    const std::string_view message(static_cast<const char*>(data.data()), data.size());
    if (reading && inbox.empty()) {
      reading = false;
      deliver(message);
    } else {
      inbox.emplace_back(message);
      inboxBytes += message.size();
    }
    pull();
  }

  // One "socket-message" for the receive armed.
  void deliver(std::string_view message) {
    // The line is written around the message: one copy, escaped as it is made.
    // Keys in the writer's order: "data", "event", "socketId".
    std::string line;
    line.reserve(message.size() + message.size() / 16 + id.size() + 64);
    line.append("{\"data\":");
    if (!appendJsonString(line, message)) return;
    line.append(",\"event\":\"socket-message\",\"socketId\":");
    if (!appendJsonString(line, id)) return;
    line.push_back('}');
    writeLine(line);
  }

  void send(std::string data, Reply reply) {
    if (state == State::closing || state == State::gone) return reply.fail(platformError(cancelled().message()));
    writes.emplace_back(std::move(data), std::move(reply));
    writeNext();
  }

  // Sends not yet begun fail with the socket; the one being written completes on its own.
  void failQueuedWrites() {
    const auto begun = writes.begin() + (writing ? 1 : 0);
    for (auto it = begun; it != writes.end(); ++it) it->second.fail(platformError(cancelled().message()));
    writes.erase(begun, writes.end());
  }

  void writeNext() {
    if (writing || state != State::open || writes.empty()) return;
    writing = true;
    ws.text(true);
    ws.async_write(asio::buffer(writes.front().first), [self = shared_from_this()](beast::error_code ec, size_t) {
      self->onWrite(ec);
    });
  }

  // Every send is answered, whatever happened to the socket meanwhile.
  void onWrite(beast::error_code ec) {
    writing = false;
    Reply reply = std::move(writes.front().second);
    writes.pop_front();
    if (ec) {
      reply.fail(platformError(ec.message()));
    } else {
      reply.succeed(true);
    }
    if (state == State::closing) return startClose();
    writeNext();
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
  request->timeout = Duration(static_cast<int64_t>(seconds * 1000));
  request->target = target;
  auto& message = request->message;
  message.version(11);
  message.method(verb == "POST" ? http::verb::post : http::verb::get);
  message.target(target.target);
  message.set(http::field::host, target.authority);
  message.set(http::field::user_agent, kUserAgent);
  message.set(http::field::accept_encoding, "gzip, deflate");
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
  {
    std::lock_guard lock(impl_->cancelLock);
    impl_->cancelling.push_back(*id);
  }
  // Requests admitted later were asked for after this cancel, and are not its concern: admission
  // runs after this operation, which has taken the id out of `cancelling` by then.
  asio::post(impl_->ioc, [impl = impl_.get(), id = *id] {
    std::vector<std::shared_ptr<HttpRequest>> matches;
    for (const auto& [task, request] : impl->requests) {
      if (request->requestId == id) matches.push_back(request);
    }
    // Each stops where it is and completes with the cancellation error.
    for (const auto& request : matches) request->finish(cancelled());
    std::lock_guard lock(impl->cancelLock);
    impl->cancelling.erase(std::find(impl->cancelling.begin(), impl->cancelling.end(), id));
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
      reply.succeed(true);
      return socket->closeByHost();
    }
    if (operation == "socket-send") {
      if (!data || data->size() > kMaxMessage) return reply.fail(failure("网络数据帧过大"));
      return socket->send(std::move(*data), std::move(reply));
    }
    if (operation == "socket-receive") {
      if (socket->reading) return reply.fail(failure("网络读取已在进行"));
      reply.succeed(true);
      return socket->receive();
    }
    reply.fail(failure("网络操作无效"));
  });
}

}  // namespace mirelo::services::network
