// A WebSocket's steps, top to bottom in the order they run: start, Secure's route, connect, tunnel
// and handshake, the upgrade, then reads and writes until the close. Each step first checks the
// phase: what completes after a cancel or a close stops there. A message read costs one copy into
// its event line (or one into the inbox and one into the line).
#include "web_socket.h"

#include "protocol/output.h"

namespace mirelo::services::network {

namespace http = beast::http;
namespace websocket = beast::websocket;

namespace {

constexpr size_t kMaxMessage = 786'432;
constexpr auto kOpenTimeout = std::chrono::seconds(5);
// Text messages read while no receive is armed wait in the socket's inbox; it stops reading when
// the inbox holds this many, or this many bytes (the message being read can add one more).
constexpr size_t kInboxMessages = 16;
constexpr size_t kInboxBytes = 262'144;

void reportClosed(const std::string& id) { emit(Json{{"event", "socket-closed"}, {"socketId", id}}); }

// One "socket-message" for the receive armed, written around the message: one copy, escaped as it
// is made. Keys in the writer's order: "data", "event", "socketId".
void deliver(const std::string& id, std::string_view message) {
  std::string line;
  line.reserve(message.size() + message.size() / 16 + id.size() + 64);
  appendLineHead(line, {}, "data");
  if (!appendJsonString(line, message)) return;
  line.append(",\"event\":\"socket-message\",\"socketId\":");
  if (!appendJsonString(line, id)) return;
  line.push_back('}');
  writeLine(line);
}

// Sends not yet begun fail with the socket; the one being written completes on its own.
void failQueued(std::deque<std::pair<std::string, Reply>>& writes, bool inFlight) {
  const auto begun = writes.begin() + (inFlight ? 1 : 0);
  for (auto it = begun; it != writes.end(); ++it) it->second.fail(platformError(cancelled().message()));
  writes.erase(begun, writes.end());
}

}  // namespace

Socket::Socket(Client& owner, std::string id, int64_t task, Reply opened)
    : Secure(owner, kOpenTimeout),
      id_(std::move(id)),
      task_(task),
      opened_(std::move(opened)),
      ws_(owner.context(), owner.tls()),
      opening_(owner.context()) {}

void Socket::start(const Url& target) {
  opening_.expires_after(kOpenTimeout);
  opening_.async_wait([self = shared_from_this()](beast::error_code ec) {
    if (!ec && self->phase_ == Phase::opening) self->gone(false);
  });
  ws_.read_message_max(kMaxMessage);
  ws_.set_option(websocket::stream_base::decorator(
      [](websocket::request_type& request) { request.set(http::field::user_agent, kUserAgent); }));
  configurePeer(ws_.next_layer(), target);
  route(target);
}

void Socket::onSecured(beast::error_code ec) {
  if (ec) return gone(false);
  beast::get_lowest_layer(ws_).expires_never();  // the WebSocket's own timeouts from here on
  ws_.set_option(websocket::stream_base::timeout{kOpenTimeout, websocket::stream_base::none(), false});
  ws_.async_handshake(destination.authority, destination.target,
                      [self = shared_from_this()](beast::error_code upgraded) { self->onUpgrade(upgraded); });
}

void Socket::onUpgrade(beast::error_code ec) {
  if (stopped()) return;
  if (ec) return gone(false);
  phase_ = Phase::open;
  opening_.cancel();
  if (opened_) {
    opened_->succeed(true);
    opened_.reset();
  }
  // Reading starts with the open, whether or not a receive is armed: pings and the server's
  // close are answered as they come. A receive asked for while opening gets the first message.
  pull();
  writeNext();
}

void Socket::receive(const Reply& reply) {
  if (read_ == Read::armed || read_ == Read::serving) return reply.fail(failure("网络读取已在进行"));
  reply.succeed(true);
  if (phase_ == Phase::opening) {  // the first message read after the open is its
    read_ = Read::armed;
    return;
  }
  if (phase_ != Phase::open) return reportClosed(id_);  // closing: the receive fails at once
  if (inbox_.empty()) {  // the read in flight delivers
    read_ = Read::serving;
    return;
  }
  deliver(id_, inbox_.front());
  inboxBytes_ -= inbox_.front().size();
  inbox_.pop_front();
  pull();  // the inbox has room again
}

// Reads the next message, unless a read is in flight or the inbox is full: then the server waits
// (TCP's flow control) until the host takes messages.
void Socket::pull() {
  if (read_ == Read::pulling || read_ == Read::serving || phase_ != Phase::open || inbox_.size() >= kInboxMessages ||
      inboxBytes_ >= kInboxBytes) {
    return;
  }
  read_ = read_ == Read::armed ? Read::serving : Read::pulling;
  buffer_.clear();
  ws_.async_read(buffer_, [self = shared_from_this()](beast::error_code ec, size_t) { self->onRead(ec); });
}

// Pings were answered with pongs, and a close with ours, inside the read; what completes it is a
// data message or the connection's end.
void Socket::onRead(beast::error_code ec) {
  const bool armed = read_ == Read::serving;
  read_ = armed ? Read::armed : Read::idle;
  if (phase_ != Phase::open) return;  // closed by the host: its "socket-closed" went out then
  // A receive armed when the connection ends fails with it, and says so, before the close does.
  if (ec || !ws_.got_text() || buffer_.size() > kMaxMessage) {
    read_ = Read::idle;
    if (armed) reportClosed(id_);
  }
  if (ec) return gone(ec == websocket::error::closed);
  if (!ws_.got_text()) return shutdown(websocket::close_code::unknown_data);
  if (buffer_.size() > kMaxMessage) return shutdown(websocket::close_code::too_big);
  const auto data = buffer_.cdata();
  const std::string_view message(static_cast<const char*>(data.data()), data.size());
  if (armed && inbox_.empty()) {
    read_ = Read::idle;
    deliver(id_, message);
  } else {
    inbox_.emplace_back(message);
    inboxBytes_ += message.size();
  }
  pull();
}

void Socket::send(std::optional<std::string> data, Reply reply) {
  if (!data || data->size() > kMaxMessage) return reply.fail(failure("网络数据帧过大"));
  if (phase_ == Phase::closing || phase_ == Phase::gone) return reply.fail(platformError(cancelled().message()));
  writes_.emplace_back(std::move(*data), std::move(reply));
  writeNext();
}

void Socket::writeNext() {
  if (writeInFlight_ || phase_ != Phase::open || writes_.empty()) return;
  writeInFlight_ = true;
  ws_.text(true);
  ws_.async_write(asio::buffer(writes_.front().first),
                  [self = shared_from_this()](beast::error_code ec, size_t) { self->onWrite(ec); });
}

// Every send is answered, whatever happened to the socket meanwhile: no phase check first.
void Socket::onWrite(beast::error_code ec) {
  writeInFlight_ = false;
  Reply reply = std::move(writes_.front().second);
  writes_.pop_front();
  if (ec) {
    reply.fail(platformError(ec.message()));
  } else {
    reply.succeed(true);
  }
  if (phase_ == Phase::closing) return startClose();
  writeNext();
}

// The receive the host had armed ends here with the one "socket-closed" it is owed.
void Socket::close(const Reply& reply) {
  reply.succeed(true);
  if (opened_) {
    opened_->fail(failure("网络连接已取消"));
    opened_.reset();
  }
  if (read_ == Read::armed || read_ == Read::serving) {
    read_ = read_ == Read::serving ? Read::pulling : Read::idle;
    reportClosed(id_);
  }
  if (phase_ == Phase::opening) return gone(false);  // resolver, timer and socket all cancelled
  shutdown(websocket::close_code::going_away);
}

// Ends an open socket with a close handshake, after the write in flight.
void Socket::shutdown(websocket::close_code code) {
  if (phase_ != Phase::open) return;
  phase_ = Phase::closing;
  closeCode_ = code;
  failQueued(writes_, writeInFlight_);
  if (!writeInFlight_) startClose();
}

void Socket::startClose() {
  ws_.async_close(websocket::close_reason(closeCode_),
                  [self = shared_from_this()](beast::error_code) { self->gone(true); });
}

// The connection has ended. While the socket is still in the table it leaves it, with one
// "socket-closed"; a socket the host closed is already out and reports nothing more.
void Socket::gone(bool closedByPeer) {
  if (phase_ == Phase::gone) return;
  phase_ = Phase::gone;
  stopResolving();
  opening_.cancel();
  beast::get_lowest_layer(ws_).close();
  failQueued(writes_, writeInFlight_);
  inbox_.clear();  // messages the host did not ask for in time end with the connection
  inboxBytes_ = 0;
  if (!client.leave(*this)) return;
  if (opened_) {
    opened_->fail(failure(closedByPeer ? "网络连接已关闭" : "网络连接未建立"));
    opened_.reset();
  }
  reportClosed(id_);
}

}  // namespace mirelo::services::network
