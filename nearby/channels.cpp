// The channel table (see channels.h).
#include "channels.h"

#include "uuid.h"

namespace nearby {

namespace {

// One read takes up to this much of a socket (four "data" events, one write to the host): a read,
// a poll and a write per 64 KiB were most of the relay's system calls. A read and its lines stay
// within a core's cache; a 1 MiB read saved no more CPU time in the relay bench.
constexpr size_t kReadSize = size_t{256} << 10;

}  // namespace

Channels::Channels(boost::asio::io_context& queue, Events& events)
    : queue_(queue), events_(events), readBuffer_(kReadSize) {}

Channels::~Channels() { closeAll(); }

Channel* Channels::find(const std::string& id) const {
  auto it = table_.find(id);
  return it == table_.end() ? nullptr : it->second.get();
}

void Channels::connect(const std::string& id, std::vector<boost::asio::ip::tcp::endpoint> addresses) {
  auto channel = std::make_shared<Channel>(boost::asio::ip::tcp::socket(queue_), id, true, reports(),
                                           readBuffer_.data(), kReadSize);
  add(channel);
  channel->connect(std::move(addresses));
}

void Channels::accepted(boost::asio::ip::tcp::socket socket) {
  setTransportOptions(socket);
  auto channel =
      std::make_shared<Channel>(std::move(socket), makeUuid(), false, reports(), readBuffer_.data(), kReadSize);
  add(channel);
  channel->accepted();  // an accepted connection is established already
}

void Channels::add(std::shared_ptr<Channel> channel) {
  std::shared_ptr<Channel>& slot = table_[channel->id()];
  slot = std::move(channel);
}

void Channels::write(Channel& channel, WriteBuffer bytes, std::string requestId) {
  const auto n = static_cast<int64_t>(bytes.size());
  if (!budget_.fits(channel.pending(), n)) return close(channel.id(), "QUEUE_FULL");
  budget_.take(n);
  channel.write(std::move(bytes), std::move(requestId));
}

void Channels::close(const std::string& id, const std::optional<std::string>& code) {
  auto it = table_.find(id);
  if (it == table_.end()) return;
  std::shared_ptr<Channel> channel = std::move(it->second);
  table_.erase(it);
  budget_.give(channel->pending());
  channel->close();
  events_.connectionClosed(channel->id(), code);
}

void Channels::closeAll() {
  for (auto& [id, channel] : table_) channel->close();
  table_.clear();
  budget_.clear();
}

void Channels::channelReady(Channel& channel) { events_.connectionReady(channel.id(), channel.outbound()); }

void Channels::channelWaiting(Channel& channel, const NetError& error) {
  events_.connectionWaiting(channel.id(), error);
}

void Channels::channelData(Channel& channel, const char* bytes, size_t size) {
  events_.data(channel.dataHead(), bytes, size);
}

void Channels::channelWritten(Channel&, size_t size) { budget_.give(static_cast<int64_t>(size)); }

void Channels::channelSent(Channel& channel, const std::string& requestId) { events_.sent(channel.id(), requestId); }

void Channels::channelEnded(Channel& channel, std::optional<std::string> code) { close(channel.id(), code); }

}  // namespace nearby
