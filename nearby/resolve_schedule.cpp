// The resolver schedule of the browse side (see resolve_schedule.h).
#include "resolve_schedule.h"

#include <algorithm>

namespace nearby {

ResolveSchedule::ResolveSchedule(boost::asio::io_context& queue, size_t slots, Open open)
    : slots_(slots), open_(std::move(open)), retry_(queue), alive_(std::make_shared<int>(0)) {}

// Drops the key's pending retry, if it has one.
void ResolveSchedule::cancelRetry(const std::string& key) {
  auto due = dueOf_.find(key);
  if (due != dueOf_.end()) {
    auto range = due_.equal_range(due->second);
    for (auto it = range.first; it != range.second; ++it)
      if (it->second == key) {
        due_.erase(it);
        break;
      }
    dueOf_.erase(due);
  }
}

void ResolveSchedule::want(const std::string& key) {
  if (active_.count(key)) return;
  unqueue(key);
  cancelRetry(key);
  waiting_.push_front(key);
  queued_.insert(key);
  pump();
}

void ResolveSchedule::settled(const std::string& key) {
  delay_.erase(key);
  if (active_.erase(key)) pump();
}

void ResolveSchedule::failed(const std::string& key) {
  active_.erase(key);
  backOff(key);
  pump();
}

void ResolveSchedule::forget(const std::string& key) {
  unqueue(key);
  delay_.erase(key);
  cancelRetry(key);
  if (active_.erase(key)) pump();
}

void ResolveSchedule::clear() {
  waiting_.clear();
  queued_.clear();
  active_.clear();
  delay_.clear();
  due_.clear();
  dueOf_.clear();
  retry_.cancel();
}

void ResolveSchedule::unqueue(const std::string& key) {
  if (!queued_.erase(key)) return;
  waiting_.erase(std::find(waiting_.begin(), waiting_.end(), key));
}

void ResolveSchedule::pump() {
  if (pumping_) return;
  pumping_ = true;
  while (active_.size() < slots_ && !waiting_.empty()) {
    std::string key = std::move(waiting_.front());
    waiting_.pop_front();
    queued_.erase(key);
    active_.insert(key);
    switch (open_(key)) {
      case Opened::Yes: break;
      case Opened::Failed:
        active_.erase(key);
        backOff(key);
        break;
      case Opened::Gone:
        active_.erase(key);
        delay_.erase(key);
        break;
    }
  }
  pumping_ = false;
}

void ResolveSchedule::backOff(const std::string& key) {
  auto [it, fresh] = delay_.try_emplace(key, firstBackoff);
  const std::chrono::milliseconds delay = it->second;
  it->second = std::min<std::chrono::milliseconds>(delay * 2, lastBackoff);
  if (dueOf_.count(key)) return;
  const Clock::time_point when = Clock::now() + delay;
  due_.emplace(when, key);
  dueOf_[key] = when;
  armRetry();
}

void ResolveSchedule::armRetry() {
  if (due_.empty()) return;
  retry_.expires_at(due_.begin()->first);
  // A wait that completed just before the schedule was destroyed still runs: it checks the token.
  retry_.async_wait([this, alive = std::weak_ptr<int>(alive_)](boost::system::error_code error) {
    if (error || !alive.lock()) return;  // cancelled, re-armed, or the schedule is gone
    const Clock::time_point now = Clock::now();
    while (!due_.empty() && due_.begin()->first <= now) {
      std::string key = std::move(due_.begin()->second);
      due_.erase(due_.begin());
      dueOf_.erase(key);
      if (active_.count(key) || queued_.count(key)) continue;
      waiting_.push_back(key);  // behind the fresh ones
      queued_.insert(std::move(key));
    }
    armRetry();
    pump();
  });
}

}  // namespace nearby
