// SolvaNearby: the host drives it through standard input and output, one JSON object per line.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>

#include <cerrno>
#include <future>
#include <thread>

#include "bridge.h"
#include "line_reader.h"

namespace {

bool writeStdout(std::string_view line) {
  while (!line.empty()) {
    ssize_t n = ::write(1, line.data(), line.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    line.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

[[noreturn]] void exitProcess(int status) { ::_exit(status); }

// Runs `work` on the bridge's queue and waits for it, so commands never overlap with callbacks.
template <typename Work>
void onQueue(nearby::NearbyBridge& bridge, Work work) {
  std::promise<void> done;
  boost::asio::post(bridge.queue, [&] {
    work();
    done.set_value();
  });
  done.get_future().wait();
}

}  // namespace

// A failure to start (the event loop, a thread) ends the process in std::terminate: the host sees it exit.
int main() {  // NOLINT(bugprone-exception-escape)
  ::signal(SIGPIPE, SIG_IGN);
  // Relayed data crosses the pipes in lines of up to a megabyte: larger pipes (when they are pipes)
  // save the host and this process a wake-up every 64 KiB.
  ::fcntl(0, F_SETPIPE_SZ, 1 << 20);
  ::fcntl(1, F_SETPIPE_SZ, 1 << 20);
  boost::asio::io_context queue(1);
  auto work = boost::asio::make_work_guard(queue);
  nearby::NearbyBridge bridge(queue, {writeStdout, exitProcess});
  std::thread queueThread([&] { queue.run(); });
  queueThread.detach();

  // This thread is the reader; the process ends only through exitProcess. Each read takes what a
  // full pipe holds; the buffer (at most a line and a read, doubled) is kept for the process. A read
  // of a little under 1 MiB keeps a buffer of two under the 2 MiB from which the pool maps huge
  // pages (2 MiB more resident for the relay's sends).
  constexpr size_t kReadSize = (1 << 20) - 8192;
  constexpr size_t kKeep = 8 << 20;
  mirelo::LineReader input(0, nearby::maxCommand, kReadSize, kKeep, mirelo::LineReader::Framing::Exact);
  for (;;) {
    const mirelo::LineReader::Result result = input.next();
    if (result == mirelo::LineReader::Result::Line) {
      const std::string_view line(input.data(), input.size());
      onQueue(bridge, [&] { bridge.handleLine(line); });
      continue;
    }
    // End of input, a read error, or a line (or unterminated bytes) past the limit.
    onQueue(bridge, [&] { bridge.shutdown(); });
    exitProcess(result == mirelo::LineReader::Result::TooLong ? 2 : 0);
  }
}
