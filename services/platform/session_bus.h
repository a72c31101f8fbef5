#pragma once

#include <string>

namespace mirelo::services::platform {

// The session bus address: DBUS_SESSION_BUS_ADDRESS, else $XDG_RUNTIME_DIR/bus when that socket
// exists; empty when neither. Never GLib's dbus-launch fallback, which would start a daemon.
std::string sessionBusAddress();

}  // namespace mirelo::services::platform
