// A WSS echo server for the WebSocket benchmark, fast enough not to be what is measured.
// Usage: ws_echo_server CERT KEY — listens on 127.0.0.1 on a free port and prints the port.
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <cstdio>
#include <memory>
#include <thread>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, asio::ssl::context& tls) : ws_(std::move(socket), tls) {}

  void start() {
    ws_.next_layer().async_handshake(asio::ssl::stream_base::server, [self = shared_from_this()](beast::error_code ec) {
      if (ec) return;
      self->ws_.read_message_max(0);
      self->ws_.async_accept([self](beast::error_code accepted) {
        if (!accepted) self->read();
      });
    });
  }

 private:
  void read() {
    ws_.async_read(buffer_, [self = shared_from_this()](beast::error_code ec, size_t) {
      if (ec) return;
      self->ws_.text(self->ws_.got_text());
      self->ws_.async_write(self->buffer_.data(), [self](beast::error_code written, size_t) {
        if (written) return;
        self->buffer_.consume(self->buffer_.size());
        self->read();
      });
    });
  }

  websocket::stream<asio::ssl::stream<tcp::socket>> ws_;
  beast::flat_buffer buffer_;
};

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  asio::io_context ioc;
  asio::ssl::context tls(asio::ssl::context::tls_server);
  tls.use_certificate_chain_file(argv[1]);
  tls.use_private_key_file(argv[2], asio::ssl::context::pem);
  tcp::acceptor acceptor(ioc, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  std::printf("%u\n", acceptor.local_endpoint().port());
  std::fflush(stdout);
  std::function<void()> accept = [&] {
    acceptor.async_accept([&](beast::error_code ec, tcp::socket socket) {
      if (!ec) {
        socket.set_option(tcp::no_delay(true));
        std::make_shared<Session>(std::move(socket), tls)->start();
      }
      accept();
    });
  };
  accept();
  ioc.run();
}
