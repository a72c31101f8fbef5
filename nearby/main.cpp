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
#include "input.h"

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

int main() {
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

  // This thread is the reader; the process ends only through exitProcess.
  // Reads land in the line buffer itself; one read takes what a full pipe holds.
  nearby::LineInput input(nearby::maxCommand);
  constexpr size_t kReadSize = 1 << 20;
  for (;;) {
    ssize_t n = ::read(0, input.space(kReadSize), kReadSize);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      onQueue(bridge, [&] { bridge.shutdown(); });
      exitProcess(0);
    }
    input.commit(static_cast<size_t>(n));
    for (;;) {
      auto result = input.next();
      if (result == nearby::LineInput::Result::NeedMore) break;
      if (result == nearby::LineInput::Result::TooLong) {
        onQueue(bridge, [&] { bridge.shutdown(); });
        exitProcess(2);
      }
      std::string_view line = input.line();
      onQueue(bridge, [&] { bridge.handleLine(line); });
    }
  }
}
