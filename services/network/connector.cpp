// Happy eyeballs over the lookup pool (see connector.h). Costs: one socket per attempt started,
// at most one new attempt per 250 ms; everything runs on the caller's executor.
#include "connector.h"

#include <boost/asio/error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <optional>
#include <vector>

namespace mirelo::services::network {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;

}  // namespace

Endpoints interleaved(const Endpoints& endpoints) {
  Endpoints v6, v4, out;
  for (const auto& endpoint : endpoints) (endpoint.address().is_v6() ? v6 : v4).push_back(endpoint);
  for (size_t i = 0; i < std::max(v6.size(), v4.size()); ++i) {
    if (i < v6.size()) out.push_back(v6[i]);
    if (i < v4.size()) out.push_back(v4[i]);
  }
  return out;
}

struct Connector::Impl {
  Impl(const asio::any_io_executor& on, Duration bound, Done then)
      : executor(on), timeout(bound), done(std::move(then)), deadline(on), stagger(on) {}

  asio::any_io_executor executor;
  Duration timeout;
  Done done;
  std::shared_ptr<LookupPool::Job> lookup;
  asio::steady_timer deadline;
  asio::steady_timer stagger;  // when the next attempt starts
  Endpoints order;
  size_t next = 0;
  std::vector<std::unique_ptr<tcp::socket>> attempts;  // null once failed or closed; never moved while pending
  size_t running = 0;
  error_code last = asio::error::host_not_found;
  bool finished = false;
};

Connector::Connector(const asio::any_io_executor& executor, Duration timeout, Done done)
    : impl_(std::make_unique<Impl>(executor, timeout, std::move(done))) {}

Connector::~Connector() = default;

std::shared_ptr<Connector> Connector::start(const asio::any_io_executor& executor, LookupPool& lookups,
                                            const std::string& host, const std::string& port, Duration timeout,
                                            Done done) {
  auto connector = std::make_shared<Connector>(executor, timeout, std::move(done));
  auto& impl = *connector->impl_;
  impl.deadline.expires_after(timeout);
  impl.deadline.async_wait([self = connector](error_code ec) {
    if (!ec) self->finish(asio::error::timed_out, nullptr);
  });
  impl.lookup = lookups.lookup(host, port, executor, [self = connector](error_code ec, const Endpoints& endpoints) {
    self->onLookup(ec, endpoints);
  });
  return connector;
}

void Connector::onLookup(error_code ec, const Endpoints& endpoints) {
  auto& impl = *impl_;
  if (impl.finished) return;
  impl.lookup.reset();
  if (ec) return finish(ec, nullptr);
  impl.order = interleaved(endpoints);
  // The race gets a step of its own.
  impl.deadline.expires_after(impl.timeout);
  impl.deadline.async_wait([self = shared_from_this()](error_code waited) {
    if (!waited) self->finish(asio::error::timed_out, nullptr);
  });
  attemptNext();
}

void Connector::attemptNext() {
  auto& impl = *impl_;
  if (impl.finished || impl.next >= impl.order.size()) return;
  const size_t index = impl.next++;
  const auto& endpoint = impl.order[index];
  auto& socket = impl.attempts.emplace_back(std::make_unique<tcp::socket>(impl.executor));
  ++impl.running;
  error_code ec;
  socket->open(endpoint.protocol(), ec);
  if (ec) {
    asio::post(impl.executor, [self = shared_from_this(), index, ec] { self->onAttempt(index, ec); });
  } else {
    socket->async_connect(
        endpoint, [self = shared_from_this(), index](error_code connected) { self->onAttempt(index, connected); });
  }
  if (impl.next < impl.order.size()) {
    impl.stagger.expires_after(kAttemptDelay);
    impl.stagger.async_wait([self = shared_from_this()](error_code waited) {
      if (!waited) self->attemptNext();
    });
  }
}

void Connector::onAttempt(size_t index, error_code ec) {
  auto& impl = *impl_;
  if (impl.finished) return;
  --impl.running;
  if (!ec) return finish({}, impl.attempts[index].get());
  impl.last = ec;
  impl.attempts[index].reset();
  if (impl.next < impl.order.size()) {
    // The latest attempt failed: the next need not wait for its turn.
    if (index + 1 == impl.next) {
      impl.stagger.cancel();
      attemptNext();
    }
    return;
  }
  if (impl.running == 0) finish(impl.last, nullptr);
}

void Connector::finish(error_code ec, tcp::socket* winner) {
  auto& impl = *impl_;
  if (impl.finished) return;
  impl.finished = true;
  LookupPool::cancel(impl.lookup);
  impl.deadline.cancel();
  impl.stagger.cancel();
  Done done = std::move(impl.done);
  impl.done = nullptr;
  std::optional<tcp::socket> won;
  for (auto& attempt : impl.attempts) {
    if (!attempt) continue;
    if (attempt.get() == winner) {
      won.emplace(std::move(*attempt));
    } else {
      error_code ignored;
      attempt->close(ignored);  // its pending connect completes, and meets `finished`
    }
  }
  if (!done) return;
  if (won) return done({}, std::move(*won));
  done(ec, tcp::socket(impl.executor));
}

void Connector::cancel() {
  auto& impl = *impl_;
  impl.done = nullptr;
  finish(asio::error::operation_aborted, nullptr);
}

}  // namespace mirelo::services::network
