// A channel's connecting, reading and writing (see channel.h).
#include "channel.h"

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <boost/asio/post.hpp>

#include <algorithm>

#include "events.h"

namespace nearby {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;

namespace {

constexpr auto kFirstBackoff = std::chrono::milliseconds(500);
constexpr auto kLastBackoff = std::chrono::seconds(5);

}  // namespace

void setTransportOptions(tcp::socket& socket) {
  error_code ignored;
  socket.set_option(tcp::no_delay(true), ignored);
  socket.set_option(asio::socket_base::keep_alive(true), ignored);
  int idle = 10;
  ::setsockopt(socket.native_handle(), IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
}

Channel::Channel(tcp::socket socket, std::string id, bool outbound, ChannelEvents& events, char* readBuffer,
                 size_t readSize)
    : socket_(std::move(socket)),
      id_(std::move(id)),
      outbound_(outbound),
      events_(events),
      readBuffer_(readBuffer),
      readSize_(readSize),
      retry_(socket_.get_executor()),
      backoff_(kFirstBackoff) {}

void Channel::connect(std::vector<tcp::endpoint> addresses) {
  addresses_ = std::move(addresses);
  tryConnect();
}

void Channel::accepted() { becomeReady(); }

void Channel::close() {
  closed_ = true;
  pending_ = 0;
  error_code ignored;
  socket_.close(ignored);
  retry_.cancel();
}

void Channel::tryConnect() {
  error_code ignored;
  socket_.close(ignored);
  socket_.async_connect(addresses_[nextAddress_], [self = shared_from_this()](error_code error) {
    if (!self->closed_) self->onConnected(error);
  });
}

void Channel::onConnected(const error_code& error) {
  if (!error) {
    setTransportOptions(socket_);
    return becomeReady();
  }
  if (++nextAddress_ < addresses_.size()) return tryConnect();
  nextAddress_ = 0;
  if (!isWaitingError(error)) return events_.channelEnded(*this, errorCode(netErrorOf(error)));
  // Refused or unreachable: report it and keep trying, with no limit of our own.
  events_.channelWaiting(*this, netErrorOf(error));
  retry_.expires_after(backoff_);
  backoff_ = std::min<std::chrono::milliseconds>(backoff_ * 2, kLastBackoff);
  retry_.async_wait([self = shared_from_this()](error_code e) {
    if (!e && !self->closed_) self->tryConnect();
  });
}

void Channel::becomeReady() {
  if (ready_) return;
  ready_ = true;
  events_.channelReady(*this);
  dataHead_ = nearby::dataHead(id_);
  error_code ignored;
  socket_.non_blocking(true, ignored);
  if (!closed_) receive();
}

// Reads land in the shared buffer, so a read is made only when the socket has bytes.
void Channel::receive() {
  socket_.async_wait(tcp::socket::wait_read, [self = shared_from_this()](error_code error) {
    if (self->closed_) return;
    if (error) return self->events_.channelEnded(*self, errorCode(netErrorOf(error)));
    self->readNow();
  });
}

// A read shorter than the buffer emptied the socket: any later arrival is a new edge for the wait
// registered here, before the queue polls again, so the read that would only say "nothing" is saved.
void Channel::readNow() {
  error_code error;
  const size_t size = socket_.read_some(asio::buffer(readBuffer_, readSize_), error);
  if (error == asio::error::would_block || error == asio::error::try_again) return receive();
  if (size > 0) events_.channelData(*this, readBuffer_, size);
  if (closed_) return;
  if (error == asio::error::eof) return events_.channelEnded(*this, std::nullopt);
  if (error) return events_.channelEnded(*this, errorCode(netErrorOf(error)));
  if (size < readSize_) return receive();
  asio::post(socket_.get_executor(), [self = shared_from_this()] {
    if (!self->closed_) self->readNow();
  });
}

void Channel::write(WriteBuffer bytes, std::string requestId) {
  pending_ += static_cast<int64_t>(bytes.size());
  writes_.push_back({std::move(bytes), std::move(requestId)});
  if (writing_) return;
  // From a handler of its own, as asio's completions would be: the "sent" and any error follow the
  // command, and the channel may be closed under them.
  writing_ = true;
  asio::post(socket_.get_executor(), [self = shared_from_this()] {
    if (!self->closed_) self->writeNext();
  });
}

// Each "sent" follows its bytes into the socket. The socket takes as much of a write as its buffer
// holds in one call (asio's async_write would hand it 64 KiB at a time, each through the reactor);
// only what it leaves waits for room.
void Channel::writeNext() {
  while (!writes_.empty()) {
    const WriteBuffer& bytes = writes_.front().bytes;
    error_code error;
    while (written_ < bytes.size()) {
      written_ += socket_.write_some(asio::buffer(bytes.data() + written_, bytes.size() - written_), error);
      if (error == asio::error::would_block || error == asio::error::try_again) {
        socket_.async_wait(tcp::socket::wait_write, [self = shared_from_this()](error_code e) {
          if (self->closed_) return;
          if (e) return self->finishWrite(e);
          self->writeNext();
        });
        return;
      }
      if (error) break;
    }
    finishWrite(error);
    if (closed_) return;
  }
  writing_ = false;
}

void Channel::finishWrite(const error_code& error) {
  Write done = std::move(writes_.front());
  writes_.pop_front();
  written_ = 0;
  pending_ -= static_cast<int64_t>(done.bytes.size());
  events_.channelWritten(*this, done.bytes.size());
  if (error) return events_.channelEnded(*this, errorCode(netErrorOf(error)));
  events_.channelSent(*this, done.requestId);
}

}  // namespace nearby
