// SOCKS5 on plain Asio (see tunnel_socks5.h). Costs: three or four small exchanges, and a lookup
// on the pool for socks5 with a name.
#include "tunnel_socks5.h"

#include <boost/asio/error.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <optional>

#include "tunnel_step.h"

namespace mirelo::services::network::socks5 {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;

constexpr char kVersion = 5;

std::string prefix(const Route& route) { return "SOCKS5 proxy " + route.name(); }

}  // namespace

std::string replyText(uint8_t code) {
  switch (code) {
    case 1: return "general SOCKS server failure";
    case 2: return "connection not allowed by ruleset";
    case 3: return "network unreachable";
    case 4: return "host unreachable";
    case 5: return "connection refused";
    case 6: return "TTL expired";
    case 7: return "command not supported";
    case 8: return "address type not supported";
    default: return "unknown reply " + std::to_string(code);
  }
}

Handshake::Handshake(const Route& route, std::string host, uint16_t port)
    : route_(route), host_(std::move(host)), port_(port) {}

Step Handshake::fail(const std::string& failure) {
  state_ = State::done;
  Step step;
  step.what = Step::What::failed;
  step.failure = prefix(route_) + ": " + failure;
  return step;
}

Step Handshake::start() {
  Step step;
  // No authentication, and user and password when we have them.
  step.data = route_.credentials ? std::string{kVersion, 2, 0, 2} : std::string{kVersion, 1, 0};
  step.read = 2;
  state_ = State::method;
  return step;
}

Step Handshake::request() {
  Step step;
  step.data = {kVersion, 1, 0};
  error_code ec;
  const auto address = asio::ip::make_address(host_, ec);
  if (!ec && address.is_v4()) {
    step.data.push_back(1);
    const auto bytes = address.to_v4().to_bytes();
    step.data.append(bytes.begin(), bytes.end());
  } else if (!ec) {
    step.data.push_back(4);
    const auto bytes = address.to_v6().to_bytes();
    step.data.append(bytes.begin(), bytes.end());
  } else {
    if (host_.empty() || host_.size() > 255) return fail("the host name is too long to send");
    step.data.push_back(3);
    step.data.push_back(static_cast<char>(host_.size()));
    step.data += host_;
  }
  step.data.push_back(static_cast<char>(port_ >> 8));
  step.data.push_back(static_cast<char>(port_ & 0xff));
  step.read = 5;  // version, reply, reserved, address type, and the address's first byte
  state_ = State::replyHead;
  return step;
}

Step Handshake::received(std::string_view bytes) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(bytes[i]); };
  switch (state_) {
    case State::method: {
      if (bytes.size() != 2 || byte(0) != kVersion) return fail("not a SOCKS5 answer");
      if (byte(1) == 0) return request();
      if (byte(1) == 2 && route_.credentials) {
        if (route_.user.empty() || route_.user.size() > 255 || route_.password.size() > 255) {
          return fail("the user name or password is too long to send");
        }
        Step step;
        step.data = {1, static_cast<char>(route_.user.size())};
        step.data += route_.user;
        step.data.push_back(static_cast<char>(route_.password.size()));
        step.data += route_.password;
        step.read = 2;
        state_ = State::auth;
        return step;
      }
      if (byte(1) == 0xff) {
        return fail(route_.credentials ? "accepts none of our authentication methods"
                                       : "wants a user name and password");
      }
      return fail("chose a method we did not offer");
    }
    case State::auth:
      if (bytes.size() != 2 || byte(0) != 1) return fail("not a SOCKS5 answer");
      if (byte(1) != 0) return fail("refused the user name and password");
      return request();
    case State::replyHead: {
      if (bytes.size() != 5 || byte(0) != kVersion) return fail("not a SOCKS5 answer");
      if (byte(1) != 0) return fail(replyText(byte(1)));
      Step step;
      switch (byte(3)) {
        case 1: step.read = 4 - 1 + 2; break;
        case 4: step.read = 16 - 1 + 2; break;
        case 3: step.read = byte(4) + 2u; break;  // the first byte was the name's length
        default: return fail("answered with an unknown address type");
      }
      state_ = State::replyRest;
      return step;
    }
    case State::replyRest: {
      state_ = State::done;
      Step step;
      step.what = Step::What::open;
      return step;
    }
    case State::done: break;
  }
  return fail("spoke out of turn");
}

namespace {

class Socks5Tunnel : public TunnelStep, public std::enable_shared_from_this<Socks5Tunnel> {
 public:
  Socks5Tunnel(tcp::socket& socket, const Route& route, TunnelDone done) : TunnelStep(socket, route, std::move(done)) {}

  void start(LookupPool& lookups, const std::string& host, uint16_t port, std::chrono::milliseconds timeout) {
    timer_.expires_after(timeout);
    timer_.async_wait([self = shared_from_this()](error_code ec) {
      if (!ec) self->finish(asio::error::timed_out, "");
    });
    error_code ec;
    asio::ip::make_address(host, ec);
    if (route_.kind == Route::Kind::socks5 && ec) {
      // We look the name up; the proxy is given the address.
      lookup_ = lookups.lookup(host, "0", socket_.get_executor(),
                               [self = shared_from_this(), port](error_code looked, Endpoints endpoints) {
                                 self->lookup_.reset();
                                 if (self->finished_) return;
                                 if (looked) return self->finish(looked, "");
                                 self->begin(endpoints.front().address().to_string(), port);
                               });
      return;
    }
    begin(host, port);
  }

 private:
  void begin(const std::string& host, uint16_t port) {
    handshake_.emplace(route_, host, port);
    run(handshake_->start());
  }

  void run(Step step) {
    if (finished_) return;
    if (step.what == Step::What::open) return finish({}, "");
    if (step.what == Step::What::failed) {
      return finish(boost::system::errc::make_error_code(boost::system::errc::connection_refused), step.failure);
    }
    want_ = step.read;
    out_ = std::move(step.data);
    if (out_.empty()) return read();
    asio::async_write(socket_, asio::buffer(out_), [self = shared_from_this()](error_code ec, size_t) {
      if (self->finished_) return;
      if (ec) return self->finish(ec, "");
      self->read();
    });
  }

  void read() {
    in_.resize(want_);
    asio::async_read(socket_, asio::buffer(in_), [self = shared_from_this()](error_code ec, size_t) {
      if (self->finished_) return;
      if (ec == asio::error::eof) {
        return self->finish(ec, prefix(self->route_) + " closed the connection before opening the tunnel");
      }
      if (ec) return self->finish(ec, "");
      self->run(self->handshake_->received(self->in_));
    });
  }

  void onFinish() override { LookupPool::cancel(lookup_); }

  std::shared_ptr<LookupPool::Job> lookup_;
  std::optional<Handshake> handshake_;
  std::string out_;
  std::string in_;
  size_t want_ = 0;
};

}  // namespace

std::shared_ptr<Tunnel> open(tcp::socket& socket, LookupPool& lookups, const Route& route, const std::string& host,
                             const std::string& port, std::chrono::milliseconds timeout, TunnelDone done) {
  auto tunnel = std::make_shared<Socks5Tunnel>(socket, route, std::move(done));
  tunnel->start(lookups, host, static_cast<uint16_t>(std::stoi(port)), timeout);
  return tunnel;
}

}  // namespace mirelo::services::network::socks5
