#pragma once

#include <gio/gio.h>

#include <string>

namespace mirelo::services::platform {

// The session bus address: DBUS_SESSION_BUS_ADDRESS, else $XDG_RUNTIME_DIR/bus when that socket
// exists, else "". Never GLib's dbus-launch fallback: a process that finds no session bus must not
// start daemons of its own.
std::string sessionBusAddress();

// The system bus address as GLib resolves it (DBUS_SYSTEM_BUS_ADDRESS or the standard socket).
std::string systemBusAddress();

// A private connection to a message bus, or null. The connection and its authentication are bounded
// by `timeoutMs`, so a bus that stalls costs that long at most; `exit-on-close` is off, so a bus that
// goes away does not end the process. Call on the main thread. The connection is made in a private
// context that is gone on return, so its "closed" signal is never delivered: callers check
// `g_dbus_connection_is_closed`. (The notification centre, which needs that signal on its own
// thread, connects asynchronously there instead.)
GDBusConnection* connectBus(const std::string& address, int timeoutMs);

// The connection kept in `bus`, made anew (connectBus to the address `address` gives) when there is
// none or the bus has closed it: a bus that appears later, or comes back, is found. Null when none
// can be made. The address is looked up only to connect.
GDBusConnection* liveBus(GDBusConnection*& bus, std::string (*address)(), int timeoutMs);

}  // namespace mirelo::services::platform
