#pragma once

#include <gio/gio.h>

#include <functional>
#include <string>

#include "glib_handle.h"

namespace mirelo::services::platform {

// The session bus address: DBUS_SESSION_BUS_ADDRESS, else $XDG_RUNTIME_DIR/bus when that socket
// exists, else "". Never GLib's dbus-launch fallback: a process that finds no session bus must not
// start daemons of its own.
std::string sessionBusAddress();

// The system bus address as GLib resolves it (DBUS_SYSTEM_BUS_ADDRESS or the standard socket).
std::string systemBusAddress();

// Connects to the message bus at `address` from the calling thread's thread-default context, where
// `done` later gets the connection, or null (no address, refused, or not done within `timeoutMs`:
// a bus that accepts the socket but never answers is given up on). `exit-on-close` is off, so a bus
// that goes away does not end the process.
using Connected = std::function<void(glib::Object<GDBusConnection>)>;
void connectBusAsync(const std::string& address, int timeoutMs, Connected done);

// The same, waited for on a private context that is gone on return, so the connection's "closed"
// signal is never delivered: callers check `g_dbus_connection_is_closed`. Nothing else runs
// meanwhile. Call on the main thread.
glib::Object<GDBusConnection> connectBus(const std::string& address, int timeoutMs);

// The connection kept in `bus`, made anew (connectBus to the address `address` gives) when there is
// none or the bus has closed it: a bus that appears later, or comes back, is found. Null when none
// can be made. The address is looked up only to connect.
GDBusConnection* liveBus(glib::Object<GDBusConnection>& bus, std::string (*address)(), int timeoutMs);

// One interface of one object of one peer.
struct BusObject {
  const char* name;
  const char* path;
  const char* interface;
};
inline constexpr BusObject kBusDaemon{"org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus"};

// An asynchronous call's answer: the reply (null on error) or the error, both freed after `done`.
using CallDone = std::function<void(GVariant* reply, GError* error)>;

// Calls `method` of `object`; a floating `parameters` is consumed. `done` runs in the calling
// thread's thread-default context; without one, no reply is asked for and nothing waits for it.
void callAsync(GDBusConnection* bus, const BusObject& object, const char* method, GVariant* parameters,
               const char* replyType, int timeoutMs, CallDone done, GDBusCallFlags flags = G_DBUS_CALL_FLAGS_NONE,
               GCancellable* cancellable = nullptr);

// A signal subscription that lasts as long as the object. The handler gets the signal's
// parameters in the thread-default context of the thread that subscribed; null filters match all.
class Subscription {
 public:
  using Handler = std::function<void(GVariant* parameters)>;
  Subscription(GDBusConnection* bus, const char* sender, const char* interface, const char* member, const char* path,
               const char* arg0, Handler handler);
  Subscription(Subscription&& other) noexcept;
  Subscription(const Subscription&) = delete;
  Subscription& operator=(const Subscription&) = delete;
  Subscription& operator=(Subscription&&) = delete;
  ~Subscription();

 private:
  glib::Object<GDBusConnection> bus_;
  guint id_ = 0;
};

}  // namespace mirelo::services::platform
