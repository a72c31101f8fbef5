// One secure WebSocket, from admission until it is gone: route, connect, tunnel, TLS handshake
// (Secure), the upgrade, then one read always going while open (so pings and the server's close
// are answered as they come) and the host's sends written one at a time. Text messages go to the
// armed receive or wait in the inbox (at most 16 messages or 256 KiB; while it is full nothing
// more is read): about 1 MiB per socket at most. The host's `socket-close` takes it out of the
// client's table at once; from then on nothing about it reaches the host. Network thread only.
#pragma once

#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "client.h"
#include "secure.h"

namespace mirelo::services::network {

class Socket : public std::enable_shared_from_this<Socket>, public Secure<Socket> {
 public:
  Socket(Client& client, std::string id, int64_t task, Reply opened);

  // Admitted into the client's table: opens, and answers `opened` when open or failed.
  void start(const Url& target);
  const std::string& id() const { return id_; }
  int64_t task() const { return task_; }

  // socket-send: queued, and answered once written (or failed with the socket).
  void send(std::optional<std::string> data, Reply reply);
  // socket-receive: answered at once; the next message follows as one "socket-message", now or
  // when it comes, or one "socket-closed" when the socket ends first.
  void receive(const Reply& reply);
  // socket-close, once the client's table no longer holds it: answered at once, then closed.
  void close(const Reply& reply);

 private:
  friend class Secure<Socket>;

  enum class Phase { opening, open, closing, gone };
  // The host's receive and the read on the wire, which run apart: a receive is armed with no read
  // while the socket opens (`armed`), or waits for the read in flight (`serving`); a read in flight
  // with no receive armed fills the inbox (`pulling`). While open, a read is in flight unless the
  // inbox is full.
  enum class Read { idle, armed, pulling, serving };

  // For Secure.
  bool stopped() const { return phase_ != Phase::opening; }
  Stream& tls() { return ws_.next_layer(); }
  void connect() { connectRoute(); }

  void onSecured(beast::error_code ec);
  void onUpgrade(beast::error_code ec);
  void pull();
  void onRead(beast::error_code ec);
  void writeNext();
  void onWrite(beast::error_code ec);
  void shutdown(beast::websocket::close_code code);
  void startClose();
  void gone(bool closedByPeer);

  std::string id_;
  int64_t task_;
  std::optional<Reply> opened_;
  beast::websocket::stream<Stream> ws_;
  asio::steady_timer opening_;
  Phase phase_ = Phase::opening;
  Read read_ = Read::idle;
  beast::flat_buffer buffer_;
  std::deque<std::string> inbox_;  // text messages read before a receive asked for them
  size_t inboxBytes_ = 0;
  std::deque<std::pair<std::string, Reply>> writes_;
  // Beast allows one write at a time: the front of `writes_` is on the wire. Apart from the phase,
  // because the close handshake waits for it, and from the read state, because writes and reads
  // run side by side.
  bool writeInFlight_ = false;
  beast::websocket::close_code closeCode_ = beast::websocket::close_code::normal;
};

}  // namespace mirelo::services::network
