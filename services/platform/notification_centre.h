#pragma once

#include <chrono>
#include <functional>
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

// How a post ended. `handedOver` also when it was withdrawn before the server showed it.
struct Posted {
  enum class Outcome { handedOver, denied, declined, failed } outcome;
  std::string error;  // the server's own text, passed through as it is, when `failed`
};

// The desktop's notification centre, shaped after the commands. Every operation returns at once and
// may be called from any thread; they take effect in the order they were called. Answers come later,
// each exactly once, on the centre's own thread.
class NotificationCentre {
 public:
  using Admit = std::function<bool()>;
  using PostDone = std::function<void(Posted)>;
  using Listing = std::function<void(std::vector<NotificationRequest>)>;
  using Activation = std::function<void(const NotificationRequest&)>;

  virtual ~NotificationCentre() = default;

  // Answers whether notifications are denied: no server runs and none can be started.
  virtual void status(std::function<void(bool denied)> answer) = 0;

  // Asks the server for leave (one round trip, shared by the posts made while it is out); denied
  // when it does not answer. Once granted, `admit` is asked on the centre's thread whether the
  // notification is still wanted (declined when not); if it is, the notification is handed over
  // at once, before any operation called after `admit` returned. One with the identifier of a
  // notification still shown takes its place.
  virtual void post(NotificationRequest request, Admit admit, PostDone done) = 0;

  // Takes notifications away, shown or still on their way (what a Notify already out shows is
  // closed when it answers).
  virtual void withdraw(std::vector<std::string> identifiers) = 0;
  virtual void withdrawAll() = 0;
  // Every notification of ours, shown or on its way.
  virtual void list(Listing answer) = 0;

  // Installs the handler for clicks; set once at start-up, before anything is posted. The clicked
  // notification is closed after the handler ran; one of the same identifier on its way goes on.
  virtual void onActivated(Activation activated) = 0;

  // For the process end, which runs no destructors: closes every notification of ours still shown
  // and waits until that has been written to the bus (GDBus writes from a thread of its own), at
  // most `bound`. What is still on its way is left alone and never answered.
  virtual void closeShownBeforeExit(std::chrono::milliseconds bound) = 0;
};

}  // namespace mirelo::services::platform
