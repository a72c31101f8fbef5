// GIO's proxy resolver (glib-networking): GNOME's settings, the desktop portal, libproxy. Asked on
// the main GLib context, where GIO's resolvers expect to run; the caller bounds the wait and may
// cancel. The one place the network client touches GLib.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace mirelo::services::network::proxy {

// Whether the default resolver serves more than the plain default: GNOME's (the desktop names
// GNOME), the portal's (inside a sandbox), or libproxy's on a KDE desktop, whose settings it
// reads. libproxy elsewhere reads the same environment variables with rules of its own, so the
// environment's own rules are used instead. Call on the main thread (it loads GIO's modules).
bool gioServesMore();

struct GioLookup;
using GioDone = std::function<void(std::vector<std::string> uris, std::string failure)>;

// Any thread. Asks for `uri` ("https://host:port"); `done` runs once on the main thread, unless
// cancelled first.
std::shared_ptr<GioLookup> lookupGio(const std::string& uri, GioDone done);
// Any thread: `done` never runs after this, and GIO's lookup is cancelled.
void cancel(const std::shared_ptr<GioLookup>& lookup);

}  // namespace mirelo::services::network::proxy
