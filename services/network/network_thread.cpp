#include "network_thread.h"

#include <boost/asio/executor_work_guard.hpp>
#include <thread>

namespace mirelo::services::network {

namespace {

struct NetworkThread {
  boost::asio::io_context context{1};  // one thread runs it: asio may skip its locks
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{context.get_executor()};
  std::thread::id id;

  NetworkThread() {
    std::thread thread([this] { context.run(); });
    id = thread.get_id();
    thread.detach();
  }
};

NetworkThread& networkThread() {
  static NetworkThread* thread = new NetworkThread();  // lives as long as the process
  return *thread;
}

}  // namespace

boost::asio::io_context& networkContext() { return networkThread().context; }

bool onNetworkThread() { return std::this_thread::get_id() == networkThread().id; }

}  // namespace mirelo::services::network
