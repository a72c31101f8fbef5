#pragma once

// org.freedesktop.Notifications on one session-bus connection: its calls, its signals, and the
// server's comings and goings (g_bus_watch_name_on_connection). Everything runs in the context that
// was the thread default when it was made; it is not thread-safe. Without a connection every call
// fails at once, as a server nobody owns would.

#include <gio/gio.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "bus_gdbus.h"
#include "glib_handle.h"

namespace mirelo::services::platform {

class FdoNotifications {
 public:
  struct Signals {
    std::function<void(uint32_t id)> activated;  // ActionInvoked(id, "default")
    std::function<void(uint32_t id)> closed;  // NotificationClosed(id, reason)
    // The server left, another took its name, or the bus closed: the ids it gave mean nothing now.
    std::function<void()> serverGone;
  };

  FdoNotifications(glib::Object<GDBusConnection> bus, Signals signals);
  FdoNotifications(const FdoNotifications&) = delete;
  FdoNotifications& operator=(const FdoNotifications&) = delete;
  ~FdoNotifications();

  // Whether notifications can be shown: the name has an owner, or the bus can start one. Two round
  // trips to the bus daemon at most, none to the server.
  void reachable(std::function<void(bool)> answer);
  // GetCapabilities: nullopt when the server did not answer, else whether it lists "actions".
  void capabilities(std::function<void(std::optional<bool> actions)> answer);
  // Notify with Mirelo's fixed content, replacing `replacesId` (0: none), with the "default"
  // action when `withAction`. No timeout of ours: the server answers, or the bus ends the call.
  using Notified = std::function<void(std::optional<uint32_t> id, std::string error)>;
  void notify(uint32_t replacesId, bool withAction, Notified answer);
  // CloseNotification, expecting no reply.
  void close(uint32_t id);
  // `done` once everything asked so far has been written to the bus (at once without a bus).
  void flush(std::function<void()> done);

 private:
  bool usable() const;

  glib::Object<GDBusConnection> bus_;
  Signals signals_;
  std::vector<Subscription> subscriptions_;
  guint watch_ = 0;
};

}  // namespace mirelo::services::platform
