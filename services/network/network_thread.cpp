#include "network_thread.h"

#include <boost/asio/executor_work_guard.hpp>
#include <thread>

#include "protocol/output.h"

namespace mirelo::services::network {

namespace {

struct NetworkThread {
  // Not the one-thread hint: with it, what the thread posts waits in a queue of its own until the
  // handler returns, behind what the main thread posted meanwhile. A command the reader runs here
  // must reach the queue before any the main thread runs after it.
  boost::asio::io_context context;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{context.get_executor()};

  // The handlers ready now run as one batch, and the reply lines they wrote go out together when
  // the thread runs out of work (a round trip's two replies in one write, which the host reads at
  // once) or after a bounded batch, so a busy loop never holds a line back for long.
  void run() {
    holdLines();
    for (;;) {
      context.run_one();
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
