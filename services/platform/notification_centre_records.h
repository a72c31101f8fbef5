#pragma once

// The notification centre's bookkeeping, apart from D-Bus: which of our notifications the server
// shows under which id, which Notify calls are out, and which requests wait for one. The D-Bus side
// acts through a Link and feeds in the server's answers and signals. One thread calls everything.
//
// Bounds: at most kMaxNotifyInFlight Notify calls out at once (the rest wait in a FIFO, so a burst
// never meets the bus's limit on pending replies), at most one record per identifier and one per
// server id (a server that reuses an id has closed what had it), at most kMaxShown shown (past
// that the oldest is closed). Every request is answered once: by its Notify's answer, or with
// kTimedOut at its deadline, whether it was still waiting or already sent. A Notify that answers
// after all its requests have failed is late: what it shows is closed at once, unless it stands in
// for a notification of the same identifier shown before (the content is the same), which stays.

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "notification_centre.h"

namespace mirelo::services::platform {

inline constexpr size_t kMaxNotifyInFlight = 8;
inline constexpr size_t kMaxShown = 1024;
// GDBus's own text for a call that timed out, which this replaced.
inline constexpr const char* kTimedOut = "Timeout was reached";

class NotificationRecords {
 public:
  // An error text of the notification server, passed through as it is; nullopt for success.
  using Completion = std::function<void(std::optional<std::string> error)>;

  class Link {
   public:
    virtual ~Link() = default;
    // A Notify for `identifier`, replacing the server's `replacesId` (0: none). Its answer comes
    // back through notified(), possibly from inside this call (no bus).
    virtual void sendNotify(const std::string& identifier, uint32_t replacesId) = 0;
    // CloseNotification, expecting no reply.
    virtual void close(uint32_t id) = 0;
    // Calls expired(identifier, request) once at the request's deadline unless cancelled first.
    virtual uintptr_t armDeadline(const std::string& identifier, uint64_t request) = 0;
    virtual void cancelDeadline(uintptr_t deadline) = 0;
  };

  explicit NotificationRecords(Link& link) : link_(link) {}

  void add(NotificationRequest request, Completion done);
  // The answer to the Notify of `identifier`: the server's id, or its error text.
  void notified(const std::string& identifier, std::optional<uint32_t> id, std::optional<std::string> error);
  void expired(const std::string& identifier, uint64_t request);

  // Pending and shown alike: a pending one's waiting requests are answered as handed over, and what a
  // Notify already out shows is closed when it answers.
  void withdraw(const std::string& identifier);
  void withdrawAll();
  // Only what is shown: pending requests go on (a click; the process end).
  void closeShown(const std::string& identifier);
  void closeAllShown();
  // Every record, pending or shown.
  std::vector<NotificationRequest> list() const;

  // Ours when the server shows it under `id`.
  std::optional<NotificationRequest> shown(uint32_t id) const;
  // NotificationClosed.
  void closed(uint32_t id);
  // The server left or was replaced: its ids mean nothing any more.
  void forgetAllShown();

  size_t records() const { return entries_.size(); }
  size_t inFlight() const { return inFlight_; }

 private:
  struct Request {
    uint64_t number;
    Completion done;
    uintptr_t deadline;
  };
  struct Entry {
    std::string room;
    std::string messageId;
    uint32_t shownId = 0;  // the server's id while shown
    uint64_t shownOrder = 0;
    bool out = false;  // a Notify is with the server
    bool dropWhenAnswered = false;  // removed while out: close whatever the answer shows
    bool ready = false;  // in ready_
    std::vector<Request> answering;  // what the Notify out answers (expired ones have left)
    std::vector<Request> queued;  // waiting for the next Notify
    bool idle() const { return !shownId && !out && queued.empty(); }
  };
  using Entries = std::map<std::string, Entry>;

  void pump();
  void show(const std::string& identifier, Entry& entry, uint32_t id);
  void forgetShown(Entry& entry);
  void dropShown(Entries::iterator it);
  void dropPending(Entries::iterator it);
  void eraseIfIdle(Entries::iterator it);
  void finish(std::vector<Request>& requests, const std::optional<std::string>& error);

  Link& link_;
  Entries entries_;
  std::unordered_map<uint32_t, std::string> shown_;  // the server's id → identifier
  std::map<uint64_t, uint32_t> shownByOrder_;  // oldest first
  std::deque<std::string> ready_;  // identifiers with queued requests and no Notify out
  size_t inFlight_ = 0;
  bool pumping_ = false;
  uint64_t requestNumber_ = 0;
  uint64_t shownSequence_ = 0;
};

}  // namespace mirelo::services::platform
