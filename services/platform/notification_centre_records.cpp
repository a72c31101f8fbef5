// The notification centre's bookkeeping (see the header). Costs: a map lookup per operation, a
// deadline per request, a linear pass only for the "all" and listing operations.
#include "notification_centre_records.h"

#include <algorithm>

namespace mirelo::services::platform {

void NotificationRecords::add(NotificationRequest request, Completion done) {
  Entry& entry = entries_[request.identifier];
  entry.room = std::move(request.room);
  entry.messageId = std::move(request.messageId);
  const uint64_t number = ++requestNumber_;
  entry.queued.push_back({number, std::move(done), link_.armDeadline(request.identifier, number)});
  // While a Notify of this identifier is out, its id is not known yet: the next Notify replaces it
  // once it is, and requests that pile up meanwhile share that one Notify.
  if (!entry.out && !entry.ready) {
    entry.ready = true;
    ready_.push_back(request.identifier);
  }
  pump();
}

void NotificationRecords::pump() {
  if (pumping_) return;
  pumping_ = true;
  while (inFlight_ < kMaxNotifyInFlight && !ready_.empty()) {
    const std::string identifier = std::move(ready_.front());
    ready_.pop_front();
    auto it = entries_.find(identifier);
    if (it == entries_.end()) continue;  // removed while it waited
    Entry& entry = it->second;
    entry.ready = false;
    if (entry.out || entry.queued.empty()) continue;
    entry.out = true;
    entry.dropWhenAnswered = false;
    entry.answering = std::move(entry.queued);
    entry.queued.clear();
    ++inFlight_;
    link_.sendNotify(identifier, entry.shownId);
  }
  pumping_ = false;
}

void NotificationRecords::notified(const std::string& identifier, std::optional<uint32_t> id,
                                   std::optional<std::string> error) {
  if (inFlight_) --inFlight_;
  auto it = entries_.find(identifier);
  if (it == entries_.end() || !it->second.out) return pump();  // cannot happen: an entry with a Notify out is kept
  Entry& entry = it->second;
  entry.out = false;
  std::vector<Request> answered = std::move(entry.answering);
  entry.answering.clear();
  if (id) {
    const bool late = answered.empty() && !entry.dropWhenAnswered;
    const bool stoodIn = entry.shownId != 0;
    if (entry.shownId && entry.shownId != *id) {  // not replaced: a new one, and the old one is still up
      link_.close(entry.shownId);
      forgetShown(entry);
    }
    if (entry.dropWhenAnswered || *id == 0 || (late && !stoodIn)) {
      // Nobody will learn of it, or it was taken back meanwhile: it must not stay up unreachable.
      if (*id) link_.close(*id);
      if (entry.shownId == *id) forgetShown(entry);
      if (*id) {
        auto owner = shown_.find(*id);
        if (owner != shown_.end() && owner->second != identifier) closed(*id);  // the server reused it
      }
    } else {
      show(identifier, entry, *id);
    }
  } else if (!error) {
    error = "No reply";
  }
  if (!entry.queued.empty() && !entry.ready) {
    entry.ready = true;
    ready_.push_back(identifier);
  }
  eraseIfIdle(it);
  finish(answered, id ? std::nullopt : error);
  pump();
}

void NotificationRecords::expired(const std::string& identifier, uint64_t request) {
  auto it = entries_.find(identifier);
  if (it == entries_.end()) return;
  for (auto* list : {&it->second.queued, &it->second.answering}) {
    auto found = std::find_if(list->begin(), list->end(), [&](const Request& r) { return r.number == request; });
    if (found == list->end()) continue;
    Completion done = std::move(found->done);
    list->erase(found);
    eraseIfIdle(it);
    done(std::string(kTimedOut));
    return;
  }
}

void NotificationRecords::show(const std::string& identifier, Entry& entry, uint32_t id) {
  // A server that gives an id again has closed the notification that had it: that record goes.
  if (auto owner = shown_.find(id); owner != shown_.end() && owner->second != identifier) closed(id);
  if (entry.shownId) forgetShown(entry);
  entry.shownId = id;
  entry.shownOrder = ++shownSequence_;
  shown_[id] = identifier;
  shownByOrder_[entry.shownOrder] = id;
  if (shown_.size() > kMaxShown) {
    const uint32_t oldest = shownByOrder_.begin()->second;
    if (auto other = entries_.find(shown_[oldest]); other != entries_.end()) dropShown(other);
  }
}

void NotificationRecords::forgetShown(Entry& entry) {
  if (!entry.shownId) return;
  shown_.erase(entry.shownId);
  shownByOrder_.erase(entry.shownOrder);
  entry.shownId = 0;
}

void NotificationRecords::eraseIfIdle(Entries::iterator it) {
  if (it->second.idle()) entries_.erase(it);
}

void NotificationRecords::finish(std::vector<Request>& requests, const std::optional<std::string>& error) {
  for (auto& request : requests) link_.cancelDeadline(request.deadline);
  for (auto& request : requests) request.done(error);
}

void NotificationRecords::dropShown(Entries::iterator it) {
  Entry& entry = it->second;
  if (entry.shownId) link_.close(entry.shownId);
  forgetShown(entry);
  eraseIfIdle(it);
}

void NotificationRecords::dropPending(Entries::iterator it) {
  Entry& entry = it->second;
  if (entry.out) entry.dropWhenAnswered = true;
  // Handed over but never sent: taken away before it was shown.
  std::vector<Request> waiting = std::move(entry.queued);
  entry.queued.clear();
  eraseIfIdle(it);
  finish(waiting, std::nullopt);
}

void NotificationRecords::withdraw(const std::string& identifier) {
  if (auto it = entries_.find(identifier); it != entries_.end()) dropPending(it);
  closeShown(identifier);
}

void NotificationRecords::withdrawAll() {
  for (auto it = entries_.begin(); it != entries_.end();) dropPending(it++);
  closeAllShown();
}

void NotificationRecords::closeShown(const std::string& identifier) {
  if (auto it = entries_.find(identifier); it != entries_.end()) dropShown(it);
}

void NotificationRecords::closeAllShown() {
  for (auto it = entries_.begin(); it != entries_.end();) dropShown(it++);
}

std::vector<NotificationRequest> NotificationRecords::list() const {
  std::vector<NotificationRequest> list;
  for (const auto& [identifier, entry] : entries_) {
    if (!entry.idle()) list.push_back({identifier, entry.room, entry.messageId});
  }
  return list;
}

std::optional<NotificationRequest> NotificationRecords::shown(uint32_t id) const {
  auto owner = shown_.find(id);
  if (owner == shown_.end()) return std::nullopt;
  auto entry = entries_.find(owner->second);
  if (entry == entries_.end()) return std::nullopt;
  return NotificationRequest{entry->first, entry->second.room, entry->second.messageId};
}

void NotificationRecords::closed(uint32_t id) {
  auto owner = shown_.find(id);
  if (owner == shown_.end()) return;
  auto it = entries_.find(owner->second);
  if (it == entries_.end()) {
    shown_.erase(owner);
    return;
  }
  forgetShown(it->second);
  eraseIfIdle(it);
}

void NotificationRecords::forgetAllShown() {
  for (auto it = entries_.begin(); it != entries_.end();) {
    forgetShown(it->second);
    eraseIfIdle(it++);
  }
  shown_.clear();
  shownByOrder_.clear();
}

}  // namespace mirelo::services::platform
