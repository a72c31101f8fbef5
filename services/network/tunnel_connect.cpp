// The HTTP CONNECT tunnel on plain Asio (see tunnel_connect.h). Costs: one write, then one peek and
// one exact read per piece of the head that arrives.
#include "tunnel_connect.h"

#include <array>
#include <boost/asio/error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include "base64.h"
#include "tunnel_step.h"

namespace mirelo::services::network::connect_tunnel {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;

std::string authority(const std::string& host, const std::string& port) {
  return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + port;
}

class ConnectTunnel : public TunnelStep, public std::enable_shared_from_this<ConnectTunnel> {
 public:
  ConnectTunnel(tcp::socket& socket, const Route& route, TunnelDone done)
      : TunnelStep(socket, route, std::move(done)) {}

  void start(std::string text, std::chrono::milliseconds timeout) {
    request_ = std::move(text);
    timer_.expires_after(timeout);
    timer_.async_wait([self = shared_from_this()](error_code ec) {
      if (!ec) self->finish(asio::error::timed_out, "");
    });
    asio::async_write(socket_, asio::buffer(request_), [self = shared_from_this()](error_code ec, size_t) {
      if (ec) return self->finish(ec, "");
      self->waitForHead();
    });
  }

 private:
  void waitForHead() {
    if (finished_) return;
    socket_.async_wait(tcp::socket::wait_read, [self = shared_from_this()](error_code ec) { self->onReadable(ec); });
  }

  void onReadable(error_code ec) {
    if (finished_) return;
    if (ec) return finish(ec, "");
    std::array<char, kMaxHead> peeked;
    const size_t room = kMaxHead - head_.size();
    const size_t got = socket_.receive(asio::buffer(peeked.data(), room), tcp::socket::message_peek, ec);
    if (ec == asio::error::would_block) return waitForHead();
    if (ec == asio::error::eof || (!ec && got == 0)) {
      return finish(asio::error::eof, "proxy " + route_.name() + " closed the connection before opening the tunnel");
    }
    if (ec) return finish(ec, "");
    const size_t before = head_.size();
    head_.append(peeked.data(), got);
    const Head head = parseHead(head_);
    // Take exactly what belongs to the head; what follows stays in the socket for TLS.
    const size_t take = head.state == Head::State::complete ? head.length - before : got;
    std::array<char, kMaxHead> sink;
    socket_.receive(asio::buffer(sink.data(), take), 0, ec);
    if (ec) return finish(ec, "");
    head_.resize(before + take);
    switch (head.state) {
      case Head::State::incomplete: return waitForHead();
      case Head::State::tooLong:
        return finish(boost::system::errc::make_error_code(boost::system::errc::protocol_error),
                      "proxy " + route_.name() + " sent a response head over 16 KiB");
      case Head::State::malformed:
        return finish(boost::system::errc::make_error_code(boost::system::errc::protocol_error),
                      "proxy " + route_.name() + " sent a malformed response");
      case Head::State::complete: break;
    }
    const std::string refused = refusal(head);
    if (refused.empty()) return finish({}, "");
    finish(boost::system::errc::make_error_code(boost::system::errc::connection_refused), refused);
  }

  std::string request_;
  std::string head_;
};

}  // namespace

std::string request(const std::string& host, const std::string& port, const Route& route) {
  const std::string target = authority(host, port);
  std::string out = "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n";
  if (route.credentials)
    out += "Proxy-Authorization: Basic " + base64Encode(route.user + ":" + route.password) + "\r\n";
  out += "User-Agent: Mirelo/0.3.0\r\n\r\n";
  return out;
}

Head parseHead(std::string_view bytes) {
  Head head;
  size_t end = bytes.find("\r\n\r\n");
  size_t blank = 4;
  if (const size_t bare = bytes.find("\n\n");
      bare != std::string_view::npos && (end == std::string_view::npos || bare < end)) {
    end = bare;
    blank = 2;
  }
  if (end == std::string_view::npos) {
    head.state = bytes.size() >= kMaxHead ? Head::State::tooLong : Head::State::incomplete;
    return head;
  }
  if (end + blank > kMaxHead) {
    head.state = Head::State::tooLong;
    return head;
  }
  head.length = end + blank;
  // "HTTP/1.x NNN reason"
  std::string_view line = bytes.substr(0, bytes.find('\n'));
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.size() < 12 || !line.starts_with("HTTP/1.") || !std::isdigit(static_cast<unsigned char>(line[7])) ||
      line[8] != ' ' || !std::isdigit(static_cast<unsigned char>(line[9])) ||
      !std::isdigit(static_cast<unsigned char>(line[10])) || !std::isdigit(static_cast<unsigned char>(line[11])) ||
      (line.size() > 12 && line[12] != ' ')) {
    head.state = Head::State::malformed;
    return head;
  }
  head.status = (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');
  if (head.status < 100) {
    head.state = Head::State::malformed;
    return head;
  }
  for (const char c : line.size() > 13 ? line.substr(13) : std::string_view()) {
    if (head.reason.size() >= 100) break;
    head.reason.push_back(c >= 0x20 && c < 0x7f ? c : '?');
  }
  head.state = Head::State::complete;
  return head;
}

std::string refusal(const Head& head) {
  if (head.status >= 200 && head.status < 300) return "";
  std::string out = "proxy refused the tunnel: " + std::to_string(head.status);
  if (!head.reason.empty()) out += " " + head.reason;
  return out;
}

std::shared_ptr<Tunnel> open(tcp::socket& socket, const Route& route, const std::string& host, const std::string& port,
                             std::chrono::milliseconds timeout, TunnelDone done) {
  auto tunnel = std::make_shared<ConnectTunnel>(socket, route, std::move(done));
  tunnel->start(request(host, port, route), timeout);
  return tunnel;
}

}  // namespace mirelo::services::network::connect_tunnel
