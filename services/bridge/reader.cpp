#include "reader.h"

#include <fcntl.h>
#include <glib.h>
#include <malloc.h>

#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/post.hpp>
#include <memory>
#include <optional>

#include "line_reader.h"
#include "protocol/request.h"
#include "utf8.h"

namespace mirelo::services {
namespace {

namespace asio = boost::asio;

constexpr size_t kRequestOverhead = 256;  // queue weight of a request beyond its line
constexpr size_t kLargeLine = 1u << 20;
constexpr unsigned kIdleSeconds = 3;
constexpr size_t kWarmHeap = 64u << 20;
constexpr size_t kReaderLine = 1u << 20;  // longer lines are parsed on the main thread

void refuseOversized() { Reply("").fail(failure("请求过大")); }

// Main thread only.
JsonReader& jsonReader() {
  static JsonReader reader;
  return reader;
}

// The parser's buffers grow to the largest line read, and the heap to the largest request's
// values. Both stay warm for the next large request (a second 24 MiB line touches no fresh page)
// and are given back after a few idle seconds; a heap left with very much free (a parsed
// `[{},{},…]` is tens of times its line) is trimmed at once.
void trimWhenIdle() {
  if (::mallinfo2().fordblks > kWarmHeap) ::malloc_trim(0);
  static guint source = 0;
  if (source) g_source_remove(source);
  source = g_timeout_add_seconds(
      kIdleSeconds,
      [](gpointer) -> gboolean {
        source = 0;
        jsonReader().trim(kLargeLine);
        ::malloc_trim(0);
        return G_SOURCE_REMOVE;
      },
      nullptr);
}

// Runs on the main thread, one request at a time: only the raw lines wait in the queue, so what
// the queue holds is what its bound counts. A parsed value may be many times its line
// (`[{},{},…]`), and at most one exists at a time.
void runLine(LineBytes& line, const ReaderCallbacks& callbacks) {
  JsonReader& json = jsonReader();
  const size_t size = line.size();
  std::optional<Request> request;
  if (json.load(line.data(), line.size(), line.capacity())) {
    line.reset();  // given back before the value is built
    request = parseRequest(json, callbacks.wantsPayload);
  }
  line.reset();
  if (request) {
    callbacks.request(request->command, request->payload, Reply(std::move(request->id)));
  }
  if (size >= kLargeLine) {
    request.reset();
    trimWhenIdle();
  }
}

// A line the reader runs itself, when its command allows and the main thread owes nothing read
// before it. Only a line that spells such a command's name plainly can be one; any other (an
// escaped name too) goes to the main thread, which runs every command, so both ways are right.
bool ranOnReader(JsonReader& json, const LineBytes& line, MainQueue& queue, const ReaderCallbacks& callbacks) {
  if (!callbacks.runsOnReader || line.size() > kReaderLine || !queue.idle()) return false;
  const std::string_view text(line.data(), line.size());
  if (text.find("\"socket-") == std::string_view::npos && text.find("\"http") == std::string_view::npos) return false;
  if (!json.load(line.data(), line.size(), line.capacity())) return false;
  const std::optional<std::string_view> command = json.loadedString("command");
  if (!command || !callbacks.runsOnReader(*command)) return false;
  std::optional<Request> request = parseRequest(json, callbacks.wantsPayload);
  if (!request) return false;
  callbacks.request(request->command, request->payload, Reply(std::move(request->id)));
  return true;
}

// Reads on the network thread: the descriptor is waited for in the network client's own loop,
// so a command for it is read, parsed and run where its socket lives, and replies are written
// from there, with no other thread woken.
class Reader {
 public:
  Reader(asio::io_context& context, int fd, MainQueue& queue, const ReaderCallbacks& callbacks)
      : context_(context), input_(context, fd), lines_(fd, kRequestLineLimit), queue_(queue), callbacks_(callbacks) {}

  // Reads what is there, a bounded number of lines per turn so that the sessions on this thread
  // are not held up by a host that writes fast; then waits for more, or for room in the queue.
  void read() {
    ranHere_ = false;
    if (deferred_) {
      LineBytes line = std::move(*deferred_);
      deferred_.reset();
      if (!queueLine(std::move(line))) return;
    }
    for (unsigned n = 0; n < kLinesPerTurn; ++n) {
      const auto result = lines_.next();
      if (result == LineReader::Result::Pending) return waitReadable();
      if (result == LineReader::Result::End) {
        queue_.push(callbacks_.endOfInput, 0);
        return;
      }
      if (result == LineReader::Result::TooLong) {
        refuseOversized();
        continue;
      }
      if (!take()) return;
    }
    asio::post(context_, [this] { read(); });
  }

 private:
  static constexpr unsigned kLinesPerTurn = 64;

  void waitReadable() {
    input_.async_wait(asio::posix::descriptor_base::wait_read, [this](const boost::system::error_code& ec) {
      if (ec) return queue_.push(callbacks_.endOfInput, 0), void();  // no way to wait: as at its end
      read();
    });
  }

  // Runs the line here or queues it for the main thread; false when this turn ends: the queue is
  // full (reading stops until it has room), or the line waits for the next turn.
  bool take() {
    std::string_view text(lines_.data(), lines_.size());
    LineBytes line;
    if (isValidUtf8(text)) {
      line = lines_.take();
    } else {
      // Replacement never shortens the text, but may lengthen it past the limit.
      const std::string repaired = replaceInvalidUtf8(text);
      if (repaired.size() > kRequestLineLimit) {
        refuseOversized();
        return true;
      }
      line = LineBytes(repaired);
    }
    if (ranOnReader(json_, line, queue_, callbacks_)) {
      ranHere_ = true;
      return true;
    }
    if (ranHere_) {
      // What this turn posted to the network thread joins its queue only when the turn ends: a
      // line for the main thread waits for that, so what the main thread posts for it comes after.
      deferred_ = std::move(line);
      asio::post(context_, [this] { read(); });
      return false;
    }
    return queueLine(std::move(line));
  }

  bool queueLine(LineBytes line) {
    const size_t weight = line.size() + kRequestOverhead;
    return queue_.push(
        [&callbacks = callbacks_, line = std::make_shared<LineBytes>(std::move(line))] { runLine(*line, callbacks); },
        weight, [this] { asio::post(context_, [this] { read(); }); });
  }

  asio::io_context& context_;
  asio::posix::stream_descriptor input_;  // waited on only; LineReader reads the descriptor
  LineReader lines_;
  MainQueue& queue_;
  const ReaderCallbacks& callbacks_;
  JsonReader json_;  // this thread's, for the lines it runs itself
  bool ranHere_ = false;  // this turn ran a line here
  std::optional<LineBytes> deferred_;  // for the main thread, after what this turn ran
};

}  // namespace

void readRequests(asio::io_context& context, int fd, MainQueue& queue, const ReaderCallbacks& callbacks) {
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  auto* reader = new Reader(context, fd, queue, callbacks);  // reads until the process ends
  asio::post(context, [reader] { reader->read(); });
}

}  // namespace mirelo::services
