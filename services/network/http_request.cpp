// An HTTP request's steps, top to bottom in the order they run: start, the route and connection
// (a kept one, or Secure's connect, tunnel and handshake), write, head, body pieces, finish. Once
// connected, each step's idle timeout is the connection's lazy deadline (connection.h): a request
// on a kept connection sets no timer but its whole-request bound, which is never the earliest. One
// read of the body at a time into a 64 KiB chunk, taken into the reply line as it comes; a
// connection left exactly at the response's end is kept for the next request.
#include "http_request.h"

#include <algorithm>
#include <cassert>

#include "connection.h"

namespace mirelo::services::network {

namespace http = beast::http;

namespace {
constexpr auto kResourceTimeout = std::chrono::seconds(180);
}  // namespace

HttpRequest::HttpRequest(Client& owner, HttpOrder order, Reply reply)
    : Secure(owner, order.timeout),
      reply_(std::move(reply)),
      requestId_(std::move(order.requestId)),
      target_(std::move(order.target)),
      body_(static_cast<size_t>(order.limit)),
      resource_(owner.context()) {
  message_.version(11);
  message_.method(order.post ? http::verb::post : http::verb::get);
  message_.target(target_.target);
  message_.set(http::field::host, target_.authority);
  message_.set(http::field::user_agent, kUserAgent);
  message_.set(http::field::accept_encoding, "gzip, deflate");
  if (order.post) {
    message_.set(http::field::content_type, "application/json");
    message_.body() = std::move(order.body);
    message_.prepare_payload();
  }
}

Stream& HttpRequest::tls() { return connection_->stream; }

void HttpRequest::start(int64_t task) {
  task_ = task;
  resource_.expires_after(kResourceTimeout);
  resource_.async_wait([self = shared_from_this()](beast::error_code ec) {
    if (!ec) self->finish(beast::error::timeout);
  });
  route(target_);
}

// The routes are known: a connection kept on one of them, else a new one.
void HttpRequest::connect() {
  for (size_t at = 0; at < routes.list.size() && !connection_; ++at) {
    connection_ = client.takeIdle(poolKey(target_, routes.list[at]));
    routeAt = at;
  }
  reused_ = connection_ != nullptr;
  if (connection_) return write();
  routeAt = 0;
  connectFresh();
}

void HttpRequest::connectFresh() {
  connection_ = std::make_shared<Connection>(client.context(), client.tls(), target_);
  connectRoute();
}

void HttpRequest::onSecured(beast::error_code ec) {
  // A server that speaks none of the protocols offered says so with an alert: name it.
  const unsigned long tlsError =
      ec && ec.category() == asio::error::get_ssl_category() ? static_cast<unsigned long>(ec.value()) : 0;
  if (ec && !tlsError) return finish(ec);
  if (auto failed = tls::protocolFailure(connection_->stream.native_handle(), tlsError, {})) {
    return finish(ec ? ec : cancelled(), std::move(*failed));
  }
  if (ec) return finish(ec);
  connection_->key = poolKey(target_, taken());
  beast::get_lowest_layer(connection_->stream).expires_never();  // the connection's deadline from here on
  write();
}

void HttpRequest::write() {
  if (client.isCancelling(requestId_)) return finish(cancelled());
  connection_->deadline.set(Deadline::Clock::now() + stepTimeout, [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->finish(beast::error::timeout);
  });
  http::async_write(connection_->stream, message_,
                    [self = shared_from_this()](beast::error_code ec, size_t) { self->onWrite(ec); });
}

void HttpRequest::onWrite(beast::error_code ec) {
  if (finished_) return;
  if (ec) return retryOrFinish(ec);
  readHead();
}

void HttpRequest::readHead() {
  parser_.emplace();
  parser_->body_limit(boost::none);  // our own limits apply, piece by piece
  connection_->deadline.set(Deadline::Clock::now() + stepTimeout);
  http::async_read_header(connection_->stream, connection_->buffer, *parser_,
                          [self = shared_from_this()](beast::error_code ec, size_t) { self->onHead(ec); });
}

void HttpRequest::onHead(beast::error_code ec) {
  if (finished_) return;
  if (ec) {
    // A server that chose no protocol and answers in HTTP/2 is no HTTP/1.1 server at all.
    const auto first = connection_->buffer.cdata();
    if (auto failed = tls::protocolFailure(connection_->stream.native_handle(), 0,
                                           std::string_view(static_cast<const char*>(first.data()), first.size()))) {
      return finish(ec, std::move(*failed));
    }
    return retryOrFinish(ec);
  }
  status_ = parser_->get().result_int();
  // Interim heads (100 Continue, 103 Early Hints) come before the response they announce.
  if (status_ >= 100 && status_ < 200 && status_ != 101) return readHead();
  // Decoded for the host, as the platform's own HTTP client does; the limits count what comes out.
  std::string codings;
  const auto [first, last] = parser_->get().equal_range(http::field::content_encoding);
  for (auto field = first; field != last; ++field) codings.append(field->value()).push_back(',');
  if (!body_.decodes(codings)) {
    return finish(cancelled(),
                  "unsupported Content-Encoding: " + codings.substr(0, std::min<size_t>(64, codings.size() - 1)));
  }
  std::optional<uint64_t> length;
  if (const auto declared = parser_->content_length()) length = *declared;
  if (!body_.admits(length)) return finish(cancelled());  // refused before any of the body is read
  body_.begin(reply_.valuePrefix(), length);
  readBody();
}

void HttpRequest::readBody() {
  if (parser_->is_done()) return finish({});
  parser_->get().body().data = chunk_.data();
  parser_->get().body().size = chunk_.size();
  connection_->deadline.set(Deadline::Clock::now() + stepTimeout);  // no byte for this long fails
  http::async_read_some(connection_->stream, connection_->buffer, *parser_,
                        [self = shared_from_this()](beast::error_code ec, size_t) { self->onRead(ec); });
}

void HttpRequest::onRead(beast::error_code ec) {
  if (finished_) return;
  if (ec == http::error::need_buffer) ec = {};
  // What was parsed counts even when the read then failed.
  const size_t piece = chunk_.size() - parser_->get().body().size;
  if (!take(std::string_view(chunk_.data(), piece))) return;
  if (ec == ssl::error::stream_truncated && !parser_->chunked() && !parser_->content_length()) {
    // The body ends with the connection, and many servers end it without TLS close_notify:
    // what arrived until then is the whole body.
    ec = {};
    parser_->put_eof(ec);
  }
  if (ec) return finish(ec);
  readBody();
}

// A piece of the body, counted against the bound over all requests too. False when it finished.
bool HttpRequest::take(std::string_view piece) {
  const size_t before = body_.received();
  const auto result = body_.take(piece, client.bodyRoom());
  client.charge(body_.received() - before);
  if (result == ResponseBody::Taken::tooLarge) return finish(cancelled()), false;
  if (result == ResponseBody::Taken::invalid) return finish(cancelled(), body_.invalidText()), false;
  return true;
}

// A kept connection the server has closed meanwhile fails at once: try once more on a new one,
// as long as nothing of a response has arrived.
void HttpRequest::retryOrFinish(beast::error_code ec) {
  if (!reused_ || retried_ || ec == asio::error::operation_aborted || ec == beast::error::timeout ||
      (parser_ && parser_->got_some())) {
    return finish(ec);
  }
  retried_ = true;
  reused_ = false;
  connection_->deadline.clear();
  beast::get_lowest_layer(connection_->stream).close();
  connectFresh();
}

// A connection is kept only when it stands exactly at the end of this response.
bool HttpRequest::reusable() const {
  return parser_ && parser_->is_done() && parser_->keep_alive() && status_ != 101 && connection_->buffer.size() == 0;
}

// Ends the request: with `ec`, reported as `message` when one is given, or with the body.
void HttpRequest::finish(beast::error_code ec, std::string message) {
  if (finished_) return;
  if (!ec) {
    if (auto cut = body_.unfinished()) {
      ec = cancelled();
      message = std::move(*cut);
    }
  }
  finished_ = true;
  resource_.cancel();
  stopResolving();
  client.finished(task_, body_.received());
  if (connection_) {
    connection_->deadline.clear();
    if (!ec && reusable()) {
      beast::get_lowest_layer(connection_->stream).expires_never();  // nothing is pending
      client.keepIdle(connection_);
    } else {
      beast::get_lowest_layer(connection_->stream).close();  // what is pending completes, and stops
    }
  }
  if (ec) {
    body_.release();
    if (message.empty()) message = failureText.empty() ? ec.message() : failureText;
    return reply_.fail(platformError(message));
  }
  reply_.succeedLine(body_.end(status_));
  body_.release();
}

}  // namespace mirelo::services::network
