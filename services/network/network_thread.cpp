#include "network_thread.h"

#include <boost/asio/executor_work_guard.hpp>
#include <thread>

#include "protocol/output.h"

namespace mirelo::services::network {

namespace {

struct NetworkThread {
  // One thread runs it: what it posts to itself, and the completions of its own operations, run
  // before the loop looks at the descriptors again. Such posts join the shared queue when the
  // handler returns, so the request reader ends its turn before handing a line to the main thread
  // after running commands here (reader.cpp).
  boost::asio::io_context context{1};
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{context.get_executor()};

  // The handlers ready now run as one batch, and the reply lines they wrote go out together when
  // the thread runs out of work (a round trip's two replies in one write, which the host reads at
  // once) or after a bounded batch, so a busy loop never holds a line back for long.
  void run() {
    holdLines();
    for (;;) {
      context.run_one();
      if (!linesHeld()) continue;  // nothing to write: no need to look for the end of the batch
      // Running out of work costs one look at the descriptors that does not wait.
      for (unsigned n = 0; n < kBatch && context.poll_one(); ++n) {
      }
      writeHeldLines();
    }
  }
  static constexpr unsigned kBatch = 256;

  NetworkThread() {
    std::thread([this] { run(); }).detach();
  }
};

NetworkThread& networkThread() {
  static NetworkThread* thread = new NetworkThread();  // lives as long as the process
  return *thread;
}

}  // namespace

boost::asio::io_context& networkContext() { return networkThread().context; }

}  // namespace mirelo::services::network
