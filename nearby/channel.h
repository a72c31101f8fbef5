#pragma once

// One relayed byte stream to a peer: owns its socket and its life, and reports to ChannelEvents.
// An outbound channel tries the resolved addresses in turn; refused or unreachable, it reports
// "waiting" and tries again after a back-off (0.5 s doubling to 5 s), without a limit of its own.
// Once ready it waits until its socket is readable, reads into the owner's shared buffer, and
// reads again (after whatever else is queued) until a read comes back short, then waits again.
// Writes are handed to the socket one at a time, in order, each offered whole.
//
// Every completion holds the channel alive and, once it is closed, does nothing: a closed channel
// touches neither its owner nor the shared buffer, so the owner may close it at any point and go.
// On the bridge's queue.

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "net_error.h"
#include "write_buffer.h"

namespace nearby {

class Channel;

class ChannelEvents {
 public:
  virtual void channelReady(Channel& channel) = 0;
  virtual void channelWaiting(Channel& channel, const NetError& error) = 0;
  virtual void channelData(Channel& channel, const char* bytes, size_t size) = 0;
  // A write left the channel (written or failed): its bytes are no longer pending.
  virtual void channelWritten(Channel& channel, size_t size) = 0;
  virtual void channelSent(Channel& channel, const std::string& requestId) = 0;
  // The stream ended (code: none at its end, else the error's): the owner closes the channel.
  virtual void channelEnded(Channel& channel, std::optional<std::string> code) = 0;

 protected:
  ~ChannelEvents() = default;
};

class Channel : public std::enable_shared_from_this<Channel> {
 public:
  // `readBuffer` (the owner's, shared by all its channels) is used only while the channel is open.
  Channel(boost::asio::ip::tcp::socket socket, std::string id, bool outbound, ChannelEvents& events, char* readBuffer,
          size_t readSize);

  const std::string& id() const { return id_; }
  bool outbound() const { return outbound_; }
  bool ready() const { return ready_; }
  int64_t pending() const { return pending_; }
  // `{"connectionId":…,"data":"`, made once it is ready (see events.h).
  const std::string& dataHead() const { return dataHead_; }

  void connect(std::vector<boost::asio::ip::tcp::endpoint> addresses);  // outbound
  void accepted();  // inbound: ready now
  // Queues the bytes behind the others; the owner has checked its budgets.
  void write(WriteBuffer bytes, std::string requestId);
  void close();

 private:
  void tryConnect();
  void onConnected(const boost::system::error_code& error);
  void becomeReady();
  void receive();
  void readNow();
  void writeNext();
  void finishWrite(const boost::system::error_code& error);

  boost::asio::ip::tcp::socket socket_;
  std::string id_;
  bool outbound_;
  ChannelEvents& events_;
  char* readBuffer_;
  size_t readSize_;
  bool ready_ = false;
  bool closed_ = false;
  int64_t pending_ = 0;
  std::string dataHead_;
  std::vector<boost::asio::ip::tcp::endpoint> addresses_;  // outbound: tried in turn
  size_t nextAddress_ = 0;
  boost::asio::steady_timer retry_;
  std::chrono::milliseconds backoff_;
  struct Write {
    WriteBuffer bytes;
    std::string requestId;
  };
  std::deque<Write> writes_;  // bounded by the owner's budgets
  size_t written_ = 0;  // of the first write, by the socket so far
  bool writing_ = false;
};

// No delay, keep-alive after 10 s idle: relayed messages are small and peers vanish.
void setTransportOptions(boost::asio::ip::tcp::socket& socket);

}  // namespace nearby
