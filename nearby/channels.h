#pragma once

// The channels by connection id, with their pending-byte budgets (budget.h) and the one 256 KiB
// buffer they all read into: each read becomes "data" events of at most maxDataEvent bytes (the
// host's bound), written at once. Turns what the channels report into events. A channel taken
// out of the table is closed there and then (its completions find it closed). Owned by the
// bridge; on its queue.

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "block_pool.h"
#include "budget.h"
#include "channel.h"
#include "events.h"

namespace nearby {

class Channels final : ChannelEvents {
 public:
  Channels(boost::asio::io_context& queue, Events& events);
  ~Channels();
  Channels(const Channels&) = delete;
  Channels& operator=(const Channels&) = delete;

  Channel* find(const std::string& id) const;
  bool has(const std::string& id) const { return table_.count(id) > 0; }
  bool full() const { return table_.size() >= maxConnections; }

  void connect(const std::string& id, std::vector<boost::asio::ip::tcp::endpoint> addresses);
  void accepted(boost::asio::ip::tcp::socket socket);  // under a fresh id, ready at once
  // Hands the bytes to the channel within the budgets, else closes it ("QUEUE_FULL").
  void write(Channel& channel, WriteBuffer bytes, std::string requestId);
  // Reports "connection-closed" (with the code, if any) when there is such a channel.
  void close(const std::string& id, const std::optional<std::string>& code);
  // Closes every channel without an event.
  void closeAll();

 private:
  void add(std::shared_ptr<Channel> channel);
  ChannelEvents& reports() { return *this; }
  void channelReady(Channel& channel) override;
  void channelWaiting(Channel& channel, const NetError& error) override;
  void channelData(Channel& channel, const char* bytes, size_t size) override;
  void channelWritten(Channel& channel, size_t size) override;
  void channelSent(Channel& channel, const std::string& requestId) override;
  void channelEnded(Channel& channel, std::optional<std::string> code) override;

  boost::asio::io_context& queue_;
  Events& events_;
  std::map<std::string, std::shared_ptr<Channel>> table_;
  PendingBudget budget_;
  mirelo::BlockBuffer readBuffer_;
};

}  // namespace nearby
