// Which proxy a connection takes. Two sources, in this order:
//   1. GIO's proxy resolver when glib-networking serves more than the plain default (GNOME's
//      settings, the desktop portal, libproxy on KDE): asked per connection, on the main GLib
//      context (proxy_gio.h); its URIs become routes here (`routesFromUris`).
//   2. Otherwise the environment, read once at start-up, with curl's rules: https_proxy (or
//      HTTPS_PROXY) for https and wss, then all_proxy (ALL_PROXY); no_proxy (NO_PROXY) a comma
//      list of names matched as suffixes at a dot, address literals and ranges, or "*".
// Pure functions over text: no I/O beyond getenv in `fromEnvironment`.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "route.h"

namespace mirelo::services::network::proxy {

// A proxy URL: [scheme://][user[:password]@]host[:port][/], the port 1080 when absent (curl's
// default), user and password percent-decoded. Schemes: "http" (CONNECT), "socks5", "socks5h";
// no scheme is "http". With `gio`, "socks" and "socks5" both mean SOCKS5 with the name sent to the
// proxy, as GIO's own client does. nullopt for what cannot be followed.
std::optional<Route> parseProxyUrl(std::string_view text, bool gio = false);

// Whether `host` (a name, or an address literal without brackets) is exempted by a no_proxy list.
bool noProxyMatches(std::string_view list, std::string_view host);

struct Environment {
  std::string proxy;  // https_proxy, else all_proxy: the raw text ("" = none)
  std::string variable;  // which variable it came from, for errors
  std::string noProxy;

  static Environment fromProcess();  // getenv, lower case before upper case, as curl reads them
  Routes routesFor(std::string_view host) const;
};

// GIO's answer: "direct://", "http://…", "socks5://…"/"socks://…" in order; others (socks4,
// https proxies) are skipped. No usable entry is a failure.
Routes routesFromUris(const std::vector<std::string>& uris);

}  // namespace mirelo::services::network::proxy
