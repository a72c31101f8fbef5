// A bounded pool of lookup threads around getaddrinfo (see lookup_pool.h). Costs: one thread per
// lookup running at once, up to the bound; idle threads end after kIdle.
#include "lookup_pool.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <algorithm>
#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

namespace mirelo::services::network {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

constexpr auto kIdle = std::chrono::seconds(20);

}  // namespace

struct LookupPool::Job {
  std::string host;
  std::string port;
  asio::any_io_executor executor;
  std::mutex lock;  // guards `done`: cancel() may come from another thread than the answer
  Done done;
};

struct LookupPool::State {
  std::mutex lock;
  std::condition_variable wake;
  std::condition_variable ended;
  std::deque<std::shared_ptr<Job>> queue;
  size_t max = 0;
  size_t threads = 0;
  size_t idle = 0;
  bool closing = false;
};

boost::system::error_code lookupError(int eai, int savedErrno) {
  switch (eai) {
    case 0: return {};
    case EAI_NONAME: return asio::error::host_not_found;
#ifdef EAI_NODATA
    case EAI_NODATA: return asio::error::no_data;
#endif
    case EAI_AGAIN: return asio::error::host_not_found_try_again;
    case EAI_SERVICE: return asio::error::service_not_found;
    case EAI_SOCKTYPE: return asio::error::socket_type_not_supported;
    case EAI_FAMILY: return asio::error::address_family_not_supported;
    case EAI_MEMORY: return asio::error::no_memory;
    case EAI_SYSTEM: return {savedErrno, boost::system::system_category()};
    default: return asio::error::no_recovery;
  }
}

namespace {

void answer(const std::shared_ptr<LookupPool::Job>& job, boost::system::error_code ec, Endpoints endpoints) {
  LookupPool::Done done;
  {
    std::lock_guard hold(job->lock);
    done = std::move(job->done);
    job->done = nullptr;
  }
  if (!done) return;  // cancelled
  asio::post(job->executor, [done = std::move(done), ec, endpoints = std::move(endpoints)]() mutable {
    done(ec, std::move(endpoints));
  });
}

bool cancelled(const std::shared_ptr<LookupPool::Job>& job) {
  std::lock_guard hold(job->lock);
  return !job->done;
}

void resolve(const std::shared_ptr<LookupPool::Job>& job) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* list = nullptr;
  const int eai = ::getaddrinfo(job->host.c_str(), job->port.c_str(), &hints, &list);
  const int savedErrno = errno;
  Endpoints endpoints;
  for (addrinfo* entry = list; entry; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET && entry->ai_family != AF_INET6) continue;
    tcp::endpoint endpoint;
    std::memcpy(endpoint.data(), entry->ai_addr, entry->ai_addrlen);
    if (std::find(endpoints.begin(), endpoints.end(), endpoint) == endpoints.end()) endpoints.push_back(endpoint);
  }
  if (list) ::freeaddrinfo(list);
  auto ec = lookupError(eai, savedErrno);
  if (!ec && endpoints.empty()) ec = asio::error::host_not_found;
  answer(job, ec, std::move(endpoints));
}

void work(std::shared_ptr<LookupPool::State> state) {
  std::unique_lock hold(state->lock);
  for (;;) {
    ++state->idle;
    const bool woken = state->wake.wait_for(hold, kIdle, [&] { return state->closing || !state->queue.empty(); });
    --state->idle;
    if (state->queue.empty() && (!woken || state->closing)) break;
    auto job = std::move(state->queue.front());
    state->queue.pop_front();
    hold.unlock();
    if (!cancelled(job)) resolve(job);
    job.reset();
    hold.lock();
  }
  --state->threads;
  state->ended.notify_all();
}

}  // namespace

LookupPool::LookupPool(size_t threads) : state_(std::make_shared<State>()) {
  state_->max = std::max<size_t>(threads, 1);
}

LookupPool::~LookupPool() {
  std::unique_lock hold(state_->lock);
  state_->closing = true;
  for (auto& job : state_->queue) {
    std::lock_guard jobHold(job->lock);
    job->done = nullptr;
  }
  state_->queue.clear();
  state_->wake.notify_all();
  state_->ended.wait(hold, [&] { return state_->threads == 0; });
}

std::shared_ptr<LookupPool::Job> LookupPool::lookup(const std::string& host, const std::string& port,
                                                    asio::any_io_executor executor, Done done) {
  auto job = std::make_shared<Job>();
  job->host = host;
  job->port = port;
  job->executor = std::move(executor);
  job->done = std::move(done);
  // A literal needs no lookup, and no thread.
  boost::system::error_code ec;
  const auto address = asio::ip::make_address(host, ec);
  if (!ec) {
    char* end = nullptr;
    const unsigned long number = std::strtoul(port.c_str(), &end, 10);
    if (port.empty() || *end || number > 65535) {
      answer(job, asio::error::service_not_found, {});
    } else {
      answer(job, {}, {tcp::endpoint(address, static_cast<unsigned short>(number))});
    }
    return job;
  }
  std::lock_guard hold(state_->lock);
  state_->queue.push_back(job);
  if (state_->idle >= state_->queue.size() || state_->threads >= state_->max) {
    state_->wake.notify_one();
  } else {
    ++state_->threads;
    std::thread(work, state_).detach();
  }
  return job;
}

void LookupPool::cancel(const std::shared_ptr<Job>& job) {
  if (!job) return;
  std::lock_guard hold(job->lock);
  job->done = nullptr;
}

size_t LookupPool::threads() const {
  std::lock_guard hold(state_->lock);
  return state_->threads;
}

}  // namespace mirelo::services::network
