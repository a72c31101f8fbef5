// A deadline that is cheap to move later. Plain Asio, so it is tested without Beast.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <cstdint>
#include <functional>
#include <memory>

namespace mirelo::services::network {

namespace asio = boost::asio;

// One deadline, for a connection: the step of the request it carries or its idle time in the
// pool. On one timer armed lazily: a later deadline is only noted (the timer, when it fires
// early, waits again for the rest), and only an earlier one re-arms it. Sequential requests on a
// kept connection then set no timer at all: each step's deadline is later than the one armed.
class Deadline {
 public:
  using Clock = asio::steady_timer::clock_type;

  explicit Deadline(asio::io_context& ioc) : state_(std::make_shared<State>(ioc)) {}
  ~Deadline() { state_->timer.cancel(); }  // the wait pending keeps the state until it completes
  Deadline(const Deadline&) = delete;
  Deadline& operator=(const Deadline&) = delete;

  // From now on the deadline is `at`, and `expired` runs there unless moved or cleared first.
  // Without `expired`, the one given before stays.
  void set(Clock::time_point at, std::function<void()> expired = nullptr) {
    if (expired) state_->expired = std::move(expired);
    state_->deadline = at;
    if (at < state_->armed) arm(state_);
  }
  // Nothing expires; the timer may still fire once, to no effect.
  void clear() { state_->clear(); }

 private:
  struct State {
    explicit State(asio::io_context& ioc) : timer(ioc) {}
    void clear() {
      deadline = Clock::time_point::max();
      expired = nullptr;
    }
    asio::steady_timer timer;
    Clock::time_point deadline = Clock::time_point::max();
    Clock::time_point armed = Clock::time_point::max();
    uint64_t generation = 0;  // of the wait pending; an older one's completion is stale
    std::function<void()> expired;
  };

  static void arm(const std::shared_ptr<State>& state) {
    state->armed = state->deadline;
    state->timer.expires_at(state->deadline);  // a wait pending completes as aborted: ignored
    state->timer.async_wait([state, generation = ++state->generation](boost::system::error_code ec) {
      if (ec || generation != state->generation) return;
      state->armed = Clock::time_point::max();
      if (state->deadline == Clock::time_point::max()) return;
      if (Clock::now() < state->deadline) return arm(state);
      auto expired = std::move(state->expired);
      state->clear();
      if (expired) expired();
    });
  }

  std::shared_ptr<State> state_;
};

}  // namespace mirelo::services::network
