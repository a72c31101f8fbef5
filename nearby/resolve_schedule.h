#pragma once

// When each browsed instance may have a resolver open, apart from Avahi.
//
// A resolver is one object of the daemon's per-client budget (objects-per-client-max, 1,024 by
// default), and a busy network can hold far more instances of our type than that. So instances
// that are not yet decided share a few slots (resolve, decide, free); the others wait, the newest
// first, so a peer that starts during a flood is looked at within a few resolves. A resolver that
// fails, or that the daemon refuses, frees its slot and queues again after a back-off (1 s,
// doubling to 30 s), behind the fresh ones. Costs: one queue entry per waiting instance, one
// timer for all back-offs. Runs on the bridge's queue.

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

namespace nearby {

class ResolveSchedule {
 public:
  enum class Opened { Yes, Failed, Gone };
  // Opens a resolver for the instance: Failed when the daemon refused (retried after a back-off),
  // Gone when there is no such instance any more.
  using Open = std::function<Opened(const std::string& key)>;

  static constexpr auto firstBackoff = std::chrono::seconds(1);
  static constexpr auto lastBackoff = std::chrono::seconds(30);

  ResolveSchedule(boost::asio::io_context& queue, size_t slots, Open open);
  ResolveSchedule(const ResolveSchedule&) = delete;
  ResolveSchedule& operator=(const ResolveSchedule&) = delete;

  // The instance needs a resolver: it goes ahead of those waiting (a back-off is cut short).
  void want(const std::string& key);
  // Its resolver answered and the instance is decided (the resolver freed, or kept for a reported
  // endpoint, which costs no slot): the slot is free and the back-off starts over.
  void settled(const std::string& key);
  // Its resolver failed: the slot is free and the instance queues again after its back-off.
  void failed(const std::string& key);
  // The instance is gone: forgotten wherever it is.
  void forget(const std::string& key);
  void clear();

  size_t active() const { return active_.size(); }
  size_t waiting() const { return waiting_.size(); }
  size_t backingOff() const { return due_.size(); }

 private:
  using Clock = std::chrono::steady_clock;
  void pump();
  void backOff(const std::string& key);
  void armRetry();
  void unqueue(const std::string& key);
  void cancelRetry(const std::string& key);

  size_t slots_;
  Open open_;
  std::deque<std::string> waiting_;  // front first
  std::set<std::string> queued_;  // what waiting_ holds
  std::set<std::string> active_;  // have a slot
  std::map<std::string, std::chrono::milliseconds> delay_;  // the next back-off of each failed one
  std::multimap<Clock::time_point, std::string> due_;  // backing off, until then
  std::map<std::string, Clock::time_point> dueOf_;  // the inverse of due_
  boost::asio::steady_timer retry_;
  std::shared_ptr<int> alive_;  // held weakly by the retry's completion
  bool pumping_ = false;
};

}  // namespace nearby
