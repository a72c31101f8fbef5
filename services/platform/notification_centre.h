#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace mirelo::services::platform {

// One notification of this program as the centre knows it: the request identifier and the user
// info it was posted with.
struct NotificationRequest {
  std::string identifier;
  std::string room;
  std::string messageId;
};

// The desktop's notification centre. Every operation returns at once; answers come later through
// the callbacks, each called exactly once, on the centre's own thread. The operations may be
// called from any thread and take effect in the order they were called.
class NotificationCentre {
 public:
  // An error text of the notification server, passed through as it is; nullopt for success.
  using Completion = std::function<void(std::optional<std::string> error)>;
  using Requests = std::function<void(std::vector<NotificationRequest>)>;
  // The user clicked one of our notifications.
  using Activation = std::function<void(const NotificationRequest&)>;

  virtual ~NotificationCentre() = default;

  // Installs the handler for clicks; set once at start-up, before anything is posted.
  virtual void setDelegate(Activation activated) = 0;

  // Answers whether notifications are denied (no server to show them).
  virtual void settings(std::function<void(bool denied)> answer) = 0;
  // One round trip to the notification server; granted when it answers.
  virtual void requestAuthorization(std::function<void(bool granted)> answer) = 0;
  // Hands a notification over; one with the identifier of a notification already shown takes its
  // place. `done` tells how the server took it.
  virtual void add(NotificationRequest request, Completion done) = 0;

  // Pending: handed over, not yet shown. Delivered: shown and not closed since.
  virtual void removePending(std::vector<std::string> identifiers) = 0;
  virtual void removeDelivered(std::vector<std::string> identifiers) = 0;
  virtual void removeAllPending() = 0;
  virtual void removeAllDelivered() = 0;
  virtual void pending(Requests answer) = 0;
  virtual void delivered(Requests answer) = 0;

  // For the process end: waits until everything asked so far has been sent to the server, at
  // most `bound`.
  virtual void flush(std::chrono::milliseconds bound) = 0;
};

}  // namespace mirelo::services::platform
